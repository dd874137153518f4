#include "native/yaml.h"

#include "native/fs.h"
#include "native/py.h"

namespace orvane::yaml {

using namespace nb::literals;

namespace {

py::CachedModule yaml_module{"yaml"};
py::CachedModule io_module{"io"};

nb::object safe_loader(Loader loader) {
    if (loader == Loader::libyaml) {
        nb::object fast = nb::getattr(yaml_module.get(), "CSafeLoader", nb::none());
        if (!fast.is_none()) return fast;
    }
    return yaml_module.attr("SafeLoader");
}

// The parsed document, refused when its aliases expand it past the bound.
nb::object bounded(nb::object document, const std::string& what) {
    py::require_acyclic(document, what, kMaxEntries);
    return document;
}

}  // namespace

nb::object load(nb::handle text, const std::string& what, Loader loader) {
    if (!nb::isinstance<nb::str>(text)) py::raise_argument_type("yaml.load", "text", "str", text);
    if (nb::len(text) > kMaxBytes) {
        py::raise(py::exc::value_error(), what + " is longer than " + std::to_string(kMaxBytes) +
                                              " characters, the most YAML read");
    }
    return bounded(yaml_module.attr("load")(text, "Loader"_a = safe_loader(loader)), what);
}

nb::object load_file(const std::string& path) {
    const std::string content = fs::read_small_file(path, kMaxBytes + 1);
    if (content.size() > kMaxBytes) {
        py::raise(py::exc::value_error(), path + " is larger than " + std::to_string(kMaxBytes) +
                                              " bytes (1 MiB), the most a YAML file may hold");
    }
    // A named stream, so that PyYAML names the file in its marks.
    nb::object stream = io_module.attr("BytesIO")(nb::bytes(content.data(), content.size()));
    stream.attr("name") = py::decode_fs(path);
    nb::object document;
    try {
        document = yaml_module.attr("safe_load")(stream);
    } catch (nb::python_error& error) {
        if (!error.matches(yaml_module.attr("YAMLError"))) throw;
        nb::str reason(error.value());
        nb::raise_from(error, py::exc::value_error(), "malformed YAML in %s: %s", path.c_str(),
                       reason.c_str());
    }
    return bounded(document, "malformed YAML in " + path + ": the document");
}

}  // namespace orvane::yaml
