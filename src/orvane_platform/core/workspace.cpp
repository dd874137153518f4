// The platform workspace.
#include <nanobind/nanobind.h>

#include "native/py.h"

namespace nb = nanobind;
using namespace orvane;

namespace {

py::CachedModule pathlib{"pathlib"};

nb::object workspace_root() {
    nb::object configured = py::environment_value("ORVANE_WORKSPACE");
    if (configured.is_valid()) return pathlib.attr("Path")(configured);
    return pathlib.attr("Path").attr("cwd")();
}

}  // namespace

NB_MODULE(workspace, m) {
    m.doc() = "The platform workspace: the folder the platform works in.";
    m.def("workspace_root", &workspace_root, nb::sig("def workspace_root() -> pathlib.Path"),
          "The workspace folder: ORVANE_WORKSPACE when set, else the current directory.");
}
