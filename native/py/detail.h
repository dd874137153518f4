// What the sources of native/py share and module code never uses: a C API
// call's error return turned into the pending exception, raised.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::py::detail {

namespace nb = nanobind;

[[noreturn]] inline void raise_pending() { throw nb::python_error(); }

// The result of a C API call that returns a new reference or null with an
// exception set.
inline nb::object checked(PyObject* result) {
    if (result == nullptr) raise_pending();
    return nb::steal(result);
}

}  // namespace orvane::py::detail
