// Checked operations on any object: truth, containment and number
// conversions that raise what the host raises instead of returning -1.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string_view>

namespace orvane::py {

namespace nb = nanobind;

// bool(value), raising what __bool__ or __len__ raises.
bool truthy(nb::handle value);
// `item in container`, raising what __contains__ (or __hash__) raises.
bool contains(nb::handle container, nb::handle item);
// int(value) and float(value), raising what the host's int() and float() raise.
nb::object to_int(nb::handle value);
nb::object to_float(nb::handle value);
// float(value) as a C double.
double to_double(nb::handle value);
// float(text) by the host's own rules; invalid when the host refuses the text
// with ValueError.
nb::object parse_float(std::string_view text);
// An int that fits in 64 bits, or nothing (a bigger int, or not an exact int).
inline std::optional<long long> small_int(nb::handle value) {
    if (!PyLong_CheckExact(value.ptr())) return std::nullopt;
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0) return std::nullopt;
    return number;
}
// The value of an exact or derived float object.
inline double float_value(nb::handle value) { return PyFloat_AS_DOUBLE(value.ptr()); }
// An int (bool included) or a float.
bool is_number(nb::handle value);
// An int (bool included) or a float as a finite C double; nothing for any
// other value, NaN, the infinities and ints too big for a double.
std::optional<double> finite_double(nb::handle value);
// A real number as the numbers module counts one (int, float, Fraction, ...).
bool is_real(nb::handle value);

}  // namespace orvane::py
