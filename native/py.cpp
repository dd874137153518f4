#include "native/py.h"

#include <cerrno>
#include <cstdarg>

#include "native/text.h"

namespace orvane::py {

namespace {
CachedModule pathlib{"pathlib"};
CachedModule os_module{"os"};
CachedModule numbers_module{"numbers"};
CachedModule dataclasses_module{"dataclasses"};

nb::handle borrowed_type(PyTypeObject* type) { return reinterpret_cast<PyObject*>(type); }

[[noreturn]] void raise_pending() { throw nb::python_error(); }

// The result of a C API call that returns a new reference or null with an
// exception set.
nb::object checked(PyObject* result) {
    if (result == nullptr) raise_pending();
    return nb::steal(result);
}
}  // namespace

// --- imports, names and module state ----------------------------------------------

namespace {
// The object in `slot`, made by `make` on first use and kept for the life of
// the process. Making it may release the GIL (an import, say), so another
// thread can fill the slot first; its object is the one kept.
template <typename Make>
nb::handle kept(PyObject*& slot, Make&& make) {
    if (slot == nullptr) {
        nb::object made = make();
        if (slot == nullptr) slot = made.release().ptr();
    }
    return slot;
}
}  // namespace

nb::handle CachedModule::get() {
    return kept(module_, [this] { return checked(PyImport_ImportModule(name_)); });
}

nb::handle Name::get() {
    return kept(interned_, [this] { return checked(PyUnicode_InternFromString(text_)); });
}

nb::handle Logger::get() {
    return kept(logger_, [this] { return import_from("logging", "getLogger")(name_); });
}

void ModuleGlobals::bind(nb::module_& module) {
    globals_ = nb::borrow(module.attr("__dict__")).release().ptr();
}

nb::object ModuleGlobals::get(const char* name) const {
    PyObject* value = PyDict_GetItemString(globals_, name);
    if (value == nullptr) raise(PyExc_NameError, "name '%s' is not defined", name);
    return nb::borrow(value);
}

nb::object ModuleGlobals::get(Name& name) const {
    nb::object value = dict_get(globals_, name.get());
    if (!value.is_valid()) raise(PyExc_NameError, "name %R is not defined", name.get().ptr());
    return value;
}

double ModuleGlobals::number(const char* name) const { return to_double(get(name)); }

nb::object import_from(const char* module, const char* name) {
    return checked(PyImport_ImportModule(module)).attr(name);
}

nb::object environment_value(const char* name) {
    nb::object value = os_module.attr("environ").attr("get")(name);
    if (value.is_none() || nb::len(value) == 0) return nb::object();
    return value;
}

nb::dict thread_state_dict() {
    PyObject* state = PyThreadState_GetDict();
    if (state == nullptr) raise(exc::runtime_error(), "no thread state dict");
    return nb::borrow<nb::dict>(state);
}

nb::object call_method(nb::handle obj, Name& name) {
    return checked(PyObject_CallMethodNoArgs(obj.ptr(), name.get().ptr()));
}

// --- builtin types and exceptions -------------------------------------------------

nb::handle type_type() { return borrowed_type(&PyType_Type); }
nb::handle str_type() { return borrowed_type(&PyUnicode_Type); }
nb::handle int_type() { return borrowed_type(&PyLong_Type); }
nb::handle float_type() { return borrowed_type(&PyFloat_Type); }
nb::handle bool_type() { return borrowed_type(&PyBool_Type); }
nb::handle list_type() { return borrowed_type(&PyList_Type); }
nb::handle dict_type() { return borrowed_type(&PyDict_Type); }
nb::handle property_type() { return borrowed_type(&PyProperty_Type); }
nb::handle staticmethod_type() { return borrowed_type(&PyStaticMethod_Type); }
nb::handle classmethod_type() { return borrowed_type(&PyClassMethod_Type); }

namespace exc {
nb::handle base_exception() { return PyExc_BaseException; }
nb::handle exception() { return PyExc_Exception; }
nb::handle value_error() { return PyExc_ValueError; }
nb::handle type_error() { return PyExc_TypeError; }
nb::handle key_error() { return PyExc_KeyError; }
nb::handle runtime_error() { return PyExc_RuntimeError; }
nb::handle os_error() { return PyExc_OSError; }
nb::handle connection_error() { return PyExc_ConnectionError; }
nb::handle timeout_error() { return PyExc_TimeoutError; }
nb::handle eof_error() { return PyExc_EOFError; }
nb::handle keyboard_interrupt() { return PyExc_KeyboardInterrupt; }
}  // namespace exc

bool is_exception(const nb::python_error& error) { return error.matches(PyExc_Exception); }

void raise(nb::handle type, std::string_view message) {
    PyErr_SetObject(type.ptr(), decode_utf8(message, Undecodable::replace).ptr());
    raise_pending();
}

void raise(nb::handle type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type.ptr(), format, args);
    va_end(args);
    raise_pending();
}

void raise_instance(nb::handle error) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    raise_pending();
}

void raise_from(nb::handle error, nb::handle cause) {
    // PyException_SetCause steals the cause and marks the context suppressed.
    PyException_SetCause(error.ptr(),
                         cause.is_valid() ? nb::borrow(cause).release().ptr() : nullptr);
    raise_instance(error);
}

void check_signals() {
    if (PyErr_CheckSignals() != 0) raise_pending();
}

void raise_os_error(int error, const std::string& path) {
    errno = error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    raise_pending();
}

// --- checked operations ------------------------------------------------------------

bool truthy(nb::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) raise_pending();
    return result != 0;
}

bool contains(nb::handle container, nb::handle item) {
    const int result = PySequence_Contains(container.ptr(), item.ptr());
    if (result < 0) raise_pending();
    return result != 0;
}

nb::object to_int(nb::handle value) { return checked(PyNumber_Long(value.ptr())); }

nb::object to_float(nb::handle value) { return checked(PyNumber_Float(value.ptr())); }

double to_double(nb::handle value) {
    if (PyFloat_Check(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    return PyFloat_AS_DOUBLE(to_float(value).ptr());
}

nb::object parse_float(std::string_view text) {
    nb::str as_text = make_str(text);
    PyObject* number = PyFloat_FromString(as_text.ptr());
    if (number != nullptr) return nb::steal(number);
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) raise_pending();
    PyErr_Clear();
    return nb::object();
}

bool is_number(nb::handle value) {
    return value.is_valid() && (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()));
}

bool is_real(nb::handle value) {
    // ints and floats without the abstract class's (slower) check
    return PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr()) ||
           nb::isinstance(value, numbers_module.attr("Real"));
}

// --- text ----------------------------------------------------------------------------

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

// --- containers ----------------------------------------------------------------------

ListFiller::ListFiller(std::size_t size)
    : list_(nb::borrow<nb::list>(checked(PyList_New(static_cast<Py_ssize_t>(size))))) {}

void ListFiller::push(nb::handle item) {
    if (filled_ >= list_.size()) raise(exc::runtime_error(), "more items than places");
    PyList_SET_ITEM(list_.ptr(), static_cast<Py_ssize_t>(filled_++),
                    nb::borrow(item).release().ptr());
}

nb::list ListFiller::finish() {
    if (filled_ != list_.size()) raise(exc::runtime_error(), "fewer items than places");
    return std::move(list_);
}

nb::object get(nb::handle mapping, const char* key, nb::handle fallback) {
    return mapping.attr("get")(key, fallback);
}

nb::object dict_get(nb::handle dict, const char* key) { return dict_get(dict, nb::str(key)); }

nb::object dict_get_or(nb::handle dict, const char* key, nb::handle fallback) {
    nb::object value = dict_get(dict, key);
    return value.is_valid() ? value : nb::borrow(fallback);
}

nb::object dict_get_or(nb::handle dict, nb::handle key, nb::handle fallback) {
    nb::object value = dict_get(dict, key);
    return value.is_valid() ? value : nb::borrow(fallback);
}

nb::object dict_value_or(nb::handle dict, const char* key, nb::handle fallback) {
    nb::object value = dict_get(dict, key);
    return (value.is_valid() && !value.is_none()) ? value : nb::borrow(fallback);
}

nb::dict dict_member(nb::handle dict, const char* key) {
    if (PyDict_Check(dict.ptr())) {
        nb::object member = dict_get(dict, key);
        if (member.is_valid() && PyDict_Check(member.ptr())) return nb::borrow<nb::dict>(member);
    }
    return nb::dict();
}

nb::object required_item(nb::handle dict, const char* key, const char* what) {
    if (!PyDict_Check(dict.ptr()))
        raise(exc::type_error(), "%s must be a dict, not %s", what, Py_TYPE(dict.ptr())->tp_name);
    nb::object item = dict_get(dict, key);
    if (!item.is_valid()) raise(exc::value_error(), "%s has no '%s'", what, key);
    return item;
}

nb::dict dict_with_capacity(std::size_t size) {
    return nb::borrow<nb::dict>(checked(_PyDict_NewPresized(static_cast<Py_ssize_t>(size))));
}

nb::dict shallow_copy(const nb::dict& dict) {
    return nb::borrow<nb::dict>(checked(PyDict_Copy(dict.ptr())));
}

nb::dict dict_copy(nb::handle mapping) { return nb::borrow<nb::dict>(dict_type()(mapping)); }

void set_default(nb::handle dict, nb::handle key, nb::handle value) {
    if (PyDict_SetDefault(dict.ptr(), key.ptr(), value.ptr()) == nullptr) raise_pending();
}

void discard_key(nb::handle dict, nb::handle key) {
    if (PyDict_DelItem(dict.ptr(), key.ptr()) == 0) return;
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise_pending();
    PyErr_Clear();
}

nb::list sorted_keys(nb::handle dict) {
    nb::list keys = nb::borrow<nb::list>(checked(PyDict_Keys(dict.ptr())));
    keys.sort();
    return keys;
}

namespace {

nb::object copy_within(Walk& walk, nb::handle value) {
    if (nb::isinstance<nb::dict>(value)) {
        Walk::Level level(walk, value);
        nb::dict copy;
        for (auto [key, item] : nb::borrow<nb::dict>(value)) copy[key] = copy_within(walk, item);
        return copy;
    }
    if (nb::isinstance<nb::list>(value)) {
        Walk::Level level(walk, value);
        nb::list copy;
        for (nb::handle item : nb::borrow<nb::list>(value)) copy.append(copy_within(walk, item));
        return copy;
    }
    if (nb::isinstance<nb::set>(value)) return checked(PySet_New(value.ptr()));
    return nb::borrow(value);
}

void check_within(Walk& walk, nb::handle value) {
    if (nb::isinstance<nb::dict>(value)) {
        Walk::Level level(walk, value);
        for (auto [key, item] : nb::borrow<nb::dict>(value)) check_within(walk, item);
    } else if (nb::isinstance<nb::list>(value) || nb::isinstance<nb::tuple>(value)) {
        Walk::Level level(walk, value);
        for (nb::handle item : value) check_within(walk, item);
    }
}

}  // namespace

void Walk::refuse_cycle() const { raise(exc::value_error(), "%s refers to itself", what_.c_str()); }

void Walk::refuse_depth() const {
    raise(PyExc_RecursionError, "%s is nested more than %zu levels deep", what_.c_str(), kMaxDepth);
}

void require_acyclic(nb::handle value, const std::string& what) {
    Walk walk(what);
    check_within(walk, value);
}

nb::object deep_copy(nb::handle value) {
    Walk walk("the document");
    return copy_within(walk, value);
}

nb::dict error_status(nb::handle message) {
    nb::dict status;
    status["status"] = "error";
    status["error"] = message;
    return status;
}

nb::dict error_status(std::string_view message) { return error_status(make_str(message)); }

// --- argument checks ---------------------------------------------------------------

void raise_argument_type(const char* function, const char* argument, const char* expected,
                         nb::handle value) {
    raise(exc::type_error(), "%s() argument '%s' must be %s, not %s", function, argument, expected,
          type_name_of(value).c_str());
}

void require_exact_type(nb::handle value, nb::handle type, NoneAllowed none, const char* function,
                        const char* argument, const char* expected) {
    if ((none == NoneAllowed::yes && value.is_none()) || value.type().is(type)) return;
    raise_argument_type(function, argument, expected, value);
}

void require_no_control_characters(nb::handle value, const char* argument) {
    if (text::has_control_characters(utf8(value))) {
        raise(exc::value_error(), "%s must not contain control characters, not %R", argument,
              value.ptr());
    }
}

std::optional<long long> require_count_or_none(nb::handle value, const char* function,
                                               const char* argument) {
    if (value.is_none()) return std::nullopt;
    if (!PyLong_CheckExact(value.ptr()))
        raise_argument_type(function, argument, "int or None", value);
    const std::optional<long long> count = small_int(value);
    if (!count || *count < 0) {
        raise(exc::value_error(), "%s must be 0 or more, not %R", argument, value.ptr());
    }
    return count;
}

nb::object require_path(nb::handle value, const char* function, const char* argument) {
    if (!nb::isinstance<nb::str>(value) && !nb::isinstance(value, os_module.attr("PathLike"))) {
        raise_argument_type(function, argument, "str or os.PathLike", value);
    }
    return pathlib.attr("Path")(value);
}

// --- classes -----------------------------------------------------------------------

ClassBuilder::ClassBuilder(nb::module_& module, const char* name, const char* doc, nb::handle bases,
                           Layout layout)
    : module_(module) {
    nb::dict namespace_;
    namespace_["__module__"] = module.attr("__name__");
    namespace_["__qualname__"] = name;
    namespace_["__doc__"] = doc;
    if (layout == Layout::none) namespace_["__slots__"] = nb::tuple();
    class_ = type_type()(name, bases, namespace_);
}

nb::object ClassBuilder::finish() {
    module_.attr(nb::str(class_.attr("__name__"))) = class_;
    return class_;
}

nb::object make_dataclass(nb::module_& module, const char* name, const char* doc, nb::list fields,
                          nb::dict namespace_) {
    nb::object made =
        dataclasses_module.attr("make_dataclass")(name, fields, nb::arg("namespace") = namespace_);
    made.attr("__module__") = module.attr("__name__");
    made.attr("__qualname__") = name;
    made.attr("__doc__") = doc;
    module.attr(name) = made;
    return made;
}

nb::object make_exception_class(nb::module_& module, const char* name, nb::handle base,
                                const char* doc) {
    nb::dict namespace_;
    namespace_["__module__"] = module.attr("__name__");
    namespace_["__doc__"] = doc;
    nb::object made = type_type()(name, nb::make_tuple(base), namespace_);
    module.attr(name) = made;
    return made;
}

}  // namespace orvane::py
