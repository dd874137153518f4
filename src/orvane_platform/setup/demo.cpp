// The demo workspace: a fresh copy of the bundled sample product and solver
// registry.
#include <nanobind/nanobind.h>

#include "native/domain/services.h"
#include "native/fs.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace orvane;

namespace {

// Marks a folder as made by the demo, so that preparing it again may replace
// what the demo put there and nothing else.
constexpr const char* kMarker = ".orvane-demo";

nb::object sample_dir() {
    return py::import_from("pathlib", "Path")(services::package::file.get()).attr("parent") /
           nb::str("examples");
}

nb::object prepare_workspace(nb::handle directory) {
    nb::object workspace =
        py::require_path(directory, "prepare_workspace", "directory").attr("absolute")();
    const std::string workspace_fs = py::fs_path(workspace);
    const std::string marker = workspace_fs + "/" + kMarker;
    if (!fs::list_directory(workspace_fs).empty() && !fs::is_regular_file(marker)) {
        py::raise(py::exc::value_error(),
                  "%R is not empty and was not made by the demo; choose another folder",
                  nb::str(workspace).ptr());
    }
    fs::make_directories(workspace_fs);
    fs::write_file_atomic(marker, "");

    nb::object samples = sample_dir();
    nb::object products_dir = workspace / nb::str("products");
    nb::object product_dir = products_dir / nb::str("sedan");
    nb::object ahmed_dir = products_dir / nb::str("ahmed");
    nb::object solvers_dir = workspace / nb::str("solvers");
    for (auto [source, destination] :
         {std::pair{samples / nb::str("products") / nb::str("sedan"), product_dir},
          std::pair{samples / nb::str("products") / nb::str("ahmed"), ahmed_dir},
          std::pair{samples / nb::str("solvers"), solvers_dir}}) {
        const std::string destination_fs = py::fs_path(destination);
        fs::remove_tree(destination_fs);
        fs::make_directories(py::fs_path(destination.attr("parent")));
        fs::copy_tree(py::fs_path(source), destination_fs);
    }
    // Commands run in the folder afterwards see the demo's registry, products
    // and home, not the user's.
    nb::dict settings;
    settings["products"] = "products";
    settings["solvers"] = "solvers";
    settings["home"] = ".orvane";
    nb::object workspace_file = py::import_from("orvane_platform.core.workspace",
                                                "write_workspace_file")(workspace, settings);
    nb::dict prepared;
    prepared["workspace"] = workspace;
    prepared["workspace_file"] = workspace_file;
    prepared["product"] = product_dir / nb::str("sedan.usda");
    prepared["ahmed"] = ahmed_dir / nb::str("ahmed.usda");
    prepared["solvers_dir"] = solvers_dir;
    return prepared;
}

}  // namespace

NB_MODULE(demo, m) {
    m.doc() = "The demo walk-through's workspace, made from the bundled samples.";
    m.def("sample_dir", &sample_dir, nb::sig("def sample_dir() -> pathlib.Path"),
          R"(The bundled samples: products/sedan and products/ahmed (sample products) and
          solvers (a sample solver registry).)");
    m.def("prepare_workspace", &prepare_workspace, nb::arg("directory").none(),
          nb::sig("def prepare_workspace(directory: str | os.PathLike[str]) -> "
                  "dict[str, pathlib.Path]"),
          R"(Copy the sample products to products/sedan and products/ahmed and the sample
          registry to solvers/ in `directory`, replacing an earlier demo copy, and write its
          orvane.yaml (registry, products and home inside the folder). Returns the workspace,
          its workspace file, the root files of the sedan (`product`) and of the Ahmed body
          (`ahmed`) and the registry folder. A non-empty folder the demo did
          not make is refused with ValueError.)");
}
