#include "native/py/text.h"

#include "native/py/detail.h"

namespace orvane::py {

using detail::checked;
using detail::raise_pending;

std::string_view utf8(nb::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) raise_pending();
    return {data, static_cast<size_t>(size)};
}

nb::str make_str(std::string_view utf8_text) { return nb::str(utf8_text.data(), utf8_text.size()); }

nb::str decode_utf8(std::string_view bytes, Undecodable undecodable) {
    return nb::borrow<nb::str>(
        checked(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()),
                                     undecodable == Undecodable::replace ? "replace" : "strict")));
}

std::size_t validate_utf8(std::string_view bytes, AtEnd at_end) {
    Py_ssize_t complete = static_cast<Py_ssize_t>(bytes.size());
    checked(PyUnicode_DecodeUTF8Stateful(bytes.data(), static_cast<Py_ssize_t>(bytes.size()),
                                         nullptr, at_end == AtEnd::yes ? nullptr : &complete));
    return static_cast<std::size_t>(complete);
}

nb::str decode_fs(std::string_view path) {
    return nb::borrow<nb::str>(checked(
        PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()))));
}

std::string fs_path(nb::handle path) {
    nb::object fspath = checked(PyOS_FSPath(path.ptr()));
    if (!PyBytes_Check(fspath.ptr())) fspath = checked(PyUnicode_EncodeFSDefault(fspath.ptr()));
    return {PyBytes_AS_STRING(fspath.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(fspath.ptr()))};
}

nb::str concat(nb::handle a, nb::handle b) {
    return nb::borrow<nb::str>(checked(PyUnicode_Concat(a.ptr(), b.ptr())));
}

nb::str concat(const char* a, nb::handle b) { return concat(nb::str(a), b); }

std::string text(nb::handle value) { return std::string(utf8(nb::str(value))); }

std::string display_text(nb::handle value) {
    nb::str shown(value);
    nb::object encoded = checked(PyUnicode_AsEncodedString(shown.ptr(), "utf-8", "replace"));
    return std::string(PyBytes_AS_STRING(encoded.ptr()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

std::string repr(nb::handle value) { return std::string(utf8(nb::repr(value))); }

std::string format(nb::handle value, const char* spec) {
    return std::string(utf8(checked(PyObject_Format(value.ptr(), nb::str(spec).ptr()))));
}

std::string type_name_of(nb::handle value) { return nb::type_name(value.type()).c_str(); }

}  // namespace orvane::py
