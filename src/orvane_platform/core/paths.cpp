// Stands in for the surrounding package's paths service: the platform's home
// folder. The real one also names the package's other fixed locations.
#include <nanobind/nanobind.h>

#include "native/py.h"

namespace nb = nanobind;
using namespace orvane;

namespace {
py::CachedModule pathlib{"pathlib"};
}

NB_MODULE(paths, m) {
    m.doc() = "Where the platform keeps its own files (ORVANE_HOME, by default ~/.orvane).";
    nb::object path_type = pathlib.attr("Path");
    nb::object home = py::environment_value("ORVANE_HOME");
    m.attr("ORVANE_HOME") =
        home.is_valid() ? path_type(home) : path_type.attr("home")() / nb::str(".orvane");
}
