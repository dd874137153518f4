// Stands in for the surrounding package's configuration service: top-level
// keys of ORVANE_HOME/config.yaml. The real one layers the package's settings.
#include <nanobind/nanobind.h>

#include "native/domain/services.h"
#include "native/py.h"
#include "native/yaml_cache.h"

namespace nb = nanobind;
using namespace orvane;

namespace {

yaml_cache::FileCache config_files;

nb::object get_config_value(nb::handle key, nb::handle fallback) {
    py::require_str(key, "get_config_value", "key");
    nb::object home = services::paths::orvane_home.get();
    nb::object settings = config_files.load_mapping(py::fs_path(home / nb::str("config.yaml")));
    if (!settings.is_valid()) return nb::borrow(fallback);
    nb::object value = py::dict_get(settings, key);
    return value.is_valid() ? py::deep_copy(value) : nb::borrow(fallback);
}

}  // namespace

NB_MODULE(config, m) {
    m.doc() = "Values from the platform's configuration file, ORVANE_HOME/config.yaml.";
    config_files.attach(m, "_file_cache");
    m.def("get_config_value", &get_config_value, nb::arg("key").none(),
          nb::arg("default").none() = nb::none(),
          nb::sig("def get_config_value(key: str, default: typing.Any = None) -> typing.Any"),
          R"(The top-level value `key` of ORVANE_HOME/config.yaml, or `default` when the
          file or the key is missing. A malformed file raises ValueError naming it.)");
}
