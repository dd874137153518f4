// Stands in for the surrounding package's run store: the folder of one solver
// run inside a product. The real one also manages the runs' storage.
#include <nanobind/nanobind.h>

#include "native/fs.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace orvane;

namespace {

nb::object run_dir(nb::handle product_dir, nb::handle solver, nb::handle timestamp) {
    nb::object product = py::require_path(product_dir, "run_dir", "product_dir");
    py::require_str(solver, "run_dir", "solver");
    py::require_str(timestamp, "run_dir", "timestamp");
    // Both names become folders; neither may lead out of simulation_runs/.
    fs::require_single_component(solver, "solver");
    fs::require_single_component(timestamp, "timestamp");
    // No part below the product may be a symbolic link leading out of it.
    nb::object directory = product / nb::str("simulation_runs") / solver / timestamp;
    fs::make_directories_within(py::fs_path(product),
                                py::fs_path(directory.attr("relative_to")(product)));
    return directory;
}

}  // namespace

NB_MODULE(run_store, m) {
    m.doc() = "Where solver runs are kept: simulation_runs/<solver>/<timestamp> in a product.";
    m.def("run_dir", &run_dir, nb::arg("product_dir").none(), nb::arg("solver").none(),
          nb::kw_only(), nb::arg("timestamp").none(),
          nb::sig("def run_dir(product_dir: str | os.PathLike[str], solver: str, *, "
                  "timestamp: str) -> pathlib.Path"),
          R"(Create and return simulation_runs/<solver>/<timestamp> under `product_dir`.
          A solver or timestamp that is not a single folder name raises ValueError.)");
}
