#include "native/yaml_files.h"

#include "native/fs.h"
#include "native/py.h"

namespace orvane::yaml {

namespace {
py::CachedModule yaml_module{"yaml"};
py::CachedModule io_module{"io"};

nb::object parse(const std::string& path) {
    nb::object path_text = nb::steal(
        PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (!path_text.is_valid()) throw nb::python_error();
    // A file object, not the text: PyYAML streams it and names it in marks.
    nb::object stream = io_module.attr("open")(path_text, "rb");
    nb::object document;
    try {
        document = yaml_module.attr("safe_load")(stream);
    } catch (nb::python_error& error) {
        stream.attr("close")();
        if (error.matches(yaml_module.attr("YAMLError"))) {
            nb::str reason(error.value());
            nb::raise_from(error, PyExc_ValueError, "malformed YAML in %s: %s", path.c_str(),
                           reason.c_str());
        }
        throw;
    }
    stream.attr("close")();
    return document;
}
}  // namespace

void FileCache::attach(nb::module_& module, const char* attribute) {
    nb::dict entries;
    module.attr(attribute) = entries;
    entries_ = entries.ptr();
}

nb::object FileCache::load(const std::string& path) {
    nb::object stamp = fs::stat_stamp(path);
    nb::bytes key(path.data(), path.size());
    if (!stamp.is_valid()) {
        if (PyDict_DelItem(entries_, key.ptr()) != 0) PyErr_Clear();  // nothing cached
        return nb::object();
    }
    nb::object cached = py::dict_get(entries_, key);
    // Entries are (stamp, document) pairs; anything else is stale.
    if (cached.is_valid() && PyTuple_Check(cached.ptr()) && PyTuple_GET_SIZE(cached.ptr()) == 2 &&
        nb::handle(PyTuple_GET_ITEM(cached.ptr(), 0)).equal(stamp)) {
        return nb::borrow(PyTuple_GET_ITEM(cached.ptr(), 1));
    }
    if (!fs::is_regular_file(path)) {
        throw nb::value_error(("not a regular file: " + path).c_str());
    }
    nb::object document = parse(path);
    if (PyDict_SetItem(entries_, key.ptr(), nb::make_tuple(stamp, document).ptr()) != 0) {
        throw nb::python_error();
    }
    return document;
}

nb::object FileCache::load_mapping(const std::string& path) {
    nb::object document = load(path);
    if (!document.is_valid() || PyDict_Check(document.ptr())) return document;
    if (document.is_none()) return nb::dict();
    throw nb::value_error(("malformed YAML in " + path +
                           ": expected a mapping at the top level, got " +
                           py::type_name_of(document))
                              .c_str());
}

}  // namespace orvane::yaml
