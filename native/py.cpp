#include "native/py.h"

namespace orvane::py {

namespace {
CachedModule pathlib{"pathlib"};
CachedModule os_module{"os"};
}  // namespace

nb::handle CachedModule::get() {
    if (module_ == nullptr) {
        // The import may release the GIL; another thread can finish first.
        PyObject* module = PyImport_ImportModule(name_);
        if (module == nullptr) throw nb::python_error();
        if (module_ == nullptr) {
            module_ = module;  // kept for the life of the process
        } else {
            Py_DECREF(module);
        }
    }
    return module_;
}

nb::handle Name::get() {
    if (interned_ == nullptr) {
        PyObject* text = PyUnicode_InternFromString(text_);
        if (text == nullptr) throw nb::python_error();
        interned_ = text;  // kept for the life of the process
    }
    return interned_;
}

nb::handle Logger::get() {
    if (logger_ == nullptr) {
        nb::object logger = import_from("logging", "getLogger")(name_);
        if (logger_ == nullptr) logger_ = logger.release().ptr();  // kept for the process
    }
    return logger_;
}

void ModuleGlobals::bind(nb::module_& module) {
    globals_ = nb::borrow(module.attr("__dict__")).release().ptr();
}

nb::object ModuleGlobals::get(const char* name) const {
    PyObject* value = PyDict_GetItemString(globals_, name);
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

nb::object import_from(const char* module, const char* name) {
    nb::object imported = nb::steal(PyImport_ImportModule(module));
    if (!imported.is_valid()) throw nb::python_error();
    return imported.attr(name);
}

nb::object environment_value(const char* name) {
    nb::object value = os_module.attr("environ").attr("get")(name);
    if (value.is_none() || nb::len(value) == 0) return nb::object();
    return value;
}

nb::object call_method(nb::handle obj, Name& name) {
    PyObject* result = PyObject_CallMethodNoArgs(obj.ptr(), name.get().ptr());
    if (result == nullptr) throw nb::python_error();
    return nb::steal(result);
}

std::string type_name_of(nb::handle value) { return nb::type_name(value.type()).c_str(); }

std::string format(nb::handle value, const char* spec) {
    nb::object formatted = nb::steal(PyObject_Format(value.ptr(), nb::str(spec).ptr()));
    if (!formatted.is_valid()) throw nb::python_error();
    return std::string(utf8(formatted));
}

std::string text(nb::handle value) { return std::string(utf8(nb::str(value))); }

nb::object to_int(nb::handle value) {
    PyObject* number = PyNumber_Long(value.ptr());
    if (number == nullptr) throw nb::python_error();
    return nb::steal(number);
}

bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result != 0;
}

void raise_argument_type(const char* function, const char* argument, const char* expected,
                         nb::handle value) {
    throw nb::type_error((std::string(function) + "() argument '" + argument + "' must be " +
                          expected + ", not " + type_name_of(value))
                             .c_str());
}

void require_str(nb::handle value, const char* function, const char* argument) {
    if (!PyUnicode_Check(value.ptr())) raise_argument_type(function, argument, "str", value);
}

void require_str_or_none(nb::handle value, const char* function, const char* argument) {
    if (!value.is_none() && !PyUnicode_Check(value.ptr())) {
        raise_argument_type(function, argument, "str or None", value);
    }
}

void require_dict(nb::handle value, const char* function, const char* argument) {
    if (!PyDict_Check(value.ptr())) raise_argument_type(function, argument, "dict", value);
}

void require_dict_or_none(nb::handle value, const char* function, const char* argument) {
    if (!value.is_none() && !PyDict_Check(value.ptr())) {
        raise_argument_type(function, argument, "dict or None", value);
    }
}

nb::object require_path(nb::handle value, const char* function, const char* argument) {
    if (!PyUnicode_Check(value.ptr())) {
        int is_path_like = PyObject_IsInstance(value.ptr(), os_module.attr("PathLike").ptr());
        if (is_path_like < 0) throw nb::python_error();
        if (is_path_like == 0) {
            raise_argument_type(function, argument, "str or os.PathLike", value);
        }
    }
    return pathlib.attr("Path")(value);
}

std::string_view utf8(nb::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) throw nb::python_error();
    return {data, static_cast<size_t>(size)};
}

std::string fs_path(nb::handle path) {
    nb::object fspath = nb::steal(PyOS_FSPath(path.ptr()));
    if (!fspath.is_valid()) throw nb::python_error();
    if (PyBytes_Check(fspath.ptr())) {
        return {PyBytes_AS_STRING(fspath.ptr()),
                static_cast<size_t>(PyBytes_GET_SIZE(fspath.ptr()))};
    }
    nb::object encoded = nb::steal(PyUnicode_EncodeFSDefault(fspath.ptr()));
    if (!encoded.is_valid()) throw nb::python_error();
    return {PyBytes_AS_STRING(encoded.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.ptr()))};
}

nb::str make_str(std::string_view utf8_text) { return nb::str(utf8_text.data(), utf8_text.size()); }

nb::str concat(nb::handle a, nb::handle b) {
    PyObject* joined = PyUnicode_Concat(a.ptr(), b.ptr());
    if (joined == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(joined);
}

nb::str concat(const char* a, nb::handle b) { return concat(nb::str(a), b); }

nb::object get(nb::handle mapping, const char* key, nb::handle fallback) {
    return mapping.attr("get")(key, fallback);
}

bool is_number(nb::handle value) {
    return value.is_valid() && (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()));
}

nb::object dict_get(nb::handle dict, nb::handle key) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (value == nullptr && PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(value);
}

nb::object dict_get(nb::handle dict, const char* key) {
    PyObject* value = PyDict_GetItemString(dict.ptr(), key);
    return nb::borrow(value);
}

nb::dict dict_member(nb::handle dict, const char* key) {
    if (PyDict_Check(dict.ptr())) {
        nb::object member = dict_get(dict, key);
        if (member.is_valid() && PyDict_Check(member.ptr())) return nb::borrow<nb::dict>(member);
    }
    return nb::dict();
}

nb::object deep_copy(nb::handle value) {
    PyObject* ptr = value.ptr();
    if (PyDict_Check(ptr)) {
        nb::dict copy;
        for (auto [key, item] : nb::borrow<nb::dict>(value)) copy[key] = deep_copy(item);
        return copy;
    }
    if (PyList_Check(ptr)) {
        nb::list copy;
        for (nb::handle item : nb::borrow<nb::list>(value)) copy.append(deep_copy(item));
        return copy;
    }
    if (PySet_Check(ptr)) {
        nb::object copy = nb::steal(PySet_New(ptr));
        if (!copy.is_valid()) throw nb::python_error();
        return copy;
    }
    return nb::borrow(value);
}

}  // namespace orvane::py
