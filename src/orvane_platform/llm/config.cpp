// Which model the platform talks to, and where.
#include <nanobind/nanobind.h>

#include "native/py.h"
#include "native/py_class.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

constexpr const char* kDefaultModel = "llama3.1:8b";
constexpr const char* kDefaultServer = "http://localhost:11434";  // a local Ollama server

nb::object setting(const char* name, const char* fallback) {
    nb::object value = py::environment_value(name);
    return value.is_valid() ? value : nb::object(nb::str(fallback));
}

}  // namespace

NB_MODULE(config, m) {
    m.doc() = "The LLM configuration: the model and the Ollama server.";
    nb::object field = nb::module_::import_("dataclasses").attr("field");
    nb::handle str_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    nb::list fields;
    fields.append(nb::make_tuple(
        "model", str_type,
        field("default_factory"_a = nb::cpp_function(
                  [] { return setting("ORVANE_LLM_MODEL", kDefaultModel); }, nb::name("model")))));
    fields.append(nb::make_tuple(
        "base_url", str_type,
        field("default_factory"_a =
                  nb::cpp_function([] { return setting("ORVANE_OLLAMA_URL", kDefaultServer); },
                                   nb::name("base_url")))));
    py::make_dataclass(
        m, "LLMConfig",
        "The model (ORVANE_LLM_MODEL, default llama3.1:8b) and the Ollama server's URL "
        "(ORVANE_OLLAMA_URL, default http://localhost:11434), read when a config is made.",
        fields);
}
