#include "native/py/errors.h"

#include <cerrno>

#include "native/py/detail.h"
#include "native/py/text.h"

namespace orvane::py {

using detail::raise_pending;

namespace exc {
nb::handle base_exception() { return PyExc_BaseException; }
nb::handle exception() { return PyExc_Exception; }
nb::handle value_error() { return PyExc_ValueError; }
nb::handle type_error() { return PyExc_TypeError; }
nb::handle overflow_error() { return PyExc_OverflowError; }
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

}  // namespace orvane::py
