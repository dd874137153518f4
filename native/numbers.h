// Number texts byte-identical to the host's format specifications.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace orvane::numbers {

namespace nb = nanobind;

// format(value, ".<precision>f"): correctly rounded from the exact double.
std::string fixed(double value, int precision);
// format(value, ".<precision>e"): at least two exponent digits.
std::string scientific(double value, int precision);

// float(value), raising what the host's float() raises.
double to_double(nb::handle value);

}  // namespace orvane::numbers
