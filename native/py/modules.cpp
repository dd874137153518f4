#include "native/py/modules.h"

#include <string>

#include "native/py/containers.h"
#include "native/py/detail.h"
#include "native/py/errors.h"
#include "native/py/operations.h"
#include "native/py/text.h"

namespace orvane::py {

using detail::checked;

namespace {
CachedModule os_module{"os"};
CachedModule logging_module{"logging"};
CachedModule copyreg{"copyreg"};
CachedModule pydoc{"pydoc"};

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
    return kept(logger_, [this] { return logging_module.attr("getLogger")(name_); });
}

void ModuleGlobals::bind(nb::module_& module) {
    globals_ = nb::borrow(module.attr("__dict__")).release().ptr();
}

nb::object ModuleGlobals::get(const char* name) const {
    PyObject* value = PyDict_GetItemString(globals_, name);
    if (value == nullptr) raise(PyExc_NameError, "name '" + std::string(name) + "' is not defined");
    return nb::borrow(value);
}

nb::object ModuleGlobals::get(Name& name) const {
    nb::object value = dict_get(globals_, name.get());
    if (!value.is_valid())
        raise(PyExc_NameError, "name " + py::repr(name.get()) + " is not defined");
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

void pickle_by_name(nb::handle function) {
    copyreg.attr("pickle")(function.type(), nb::cpp_function([](nb::handle pickled) {
                               nb::object name =
                                   concat(concat(pickled.attr("__module__"), nb::str(".")),
                                          pickled.attr("__name__"));
                               return nb::make_tuple(pydoc.attr("locate"), nb::make_tuple(name));
                           }));
}

}  // namespace orvane::py
