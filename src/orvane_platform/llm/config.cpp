// Stands in for the surrounding package's LLM configuration: which model the
// platform talks to, and where. The real one is part of the package's
// settings.
#include <nanobind/nanobind.h>

#include "native/py.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

py::CachedModule dataclasses_module{"dataclasses"};

constexpr const char* kDefaultModel = "llama3.1:8b";
constexpr const char* kDefaultServer = "http://localhost:11434";  // a local Ollama server

nb::object setting(const char* name, const char* fallback) {
    nb::object value = py::environment_value(name);
    return value.is_valid() ? value : nb::object(nb::str(fallback));
}

// dataclasses.field(default_factory=...) reading one setting when a config is made.
nb::object setting_field(const char* field_name, const char* variable, const char* fallback) {
    nb::object factory = nb::cpp_function(
        [variable, fallback] { return setting(variable, fallback); }, nb::name(field_name));
    return dataclasses_module.attr("field")("default_factory"_a = factory);
}

}  // namespace

NB_MODULE(config, m) {
    m.doc() = "The LLM configuration: the model and the Ollama server.";
    nb::list fields;
    fields.append(nb::make_tuple("model", py::str_type(),
                                 setting_field("model", "ORVANE_LLM_MODEL", kDefaultModel)));
    fields.append(nb::make_tuple("base_url", py::str_type(),
                                 setting_field("base_url", "ORVANE_OLLAMA_URL", kDefaultServer)));
    py::make_dataclass(
        m, "LLMConfig",
        "The model (ORVANE_LLM_MODEL, default llama3.1:8b) and the Ollama server's URL "
        "(ORVANE_OLLAMA_URL, default http://localhost:11434), read when a config is made.",
        fields);
}
