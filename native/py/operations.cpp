#include "native/py/operations.h"

#include <cmath>

#include "native/py/detail.h"
#include "native/py/modules.h"
#include "native/py/text.h"

namespace orvane::py {

using detail::checked;
using detail::raise_pending;

namespace {
CachedModule numbers_module{"numbers"};
}

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

std::optional<double> finite_double(nb::handle value) {
    if (!is_number(value)) return std::nullopt;
    double number = 0;
    if (PyFloat_Check(value.ptr())) {
        number = PyFloat_AS_DOUBLE(value.ptr());
    } else {
        number = PyLong_AsDouble(value.ptr());
        if (number == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise_pending();
            PyErr_Clear();
            return std::nullopt;
        }
    }
    if (!std::isfinite(number)) return std::nullopt;
    return number;
}

bool is_real(nb::handle value) {
    // ints and floats without the abstract class's (slower) check
    return PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr()) ||
           nb::isinstance(value, numbers_module.attr("Real"));
}

}  // namespace orvane::py
