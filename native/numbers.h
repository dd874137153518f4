// Number texts: byte-identical to what the host's format() writes, or the
// shortest that reads back.
#pragma once

#include <string>

namespace orvane::numbers {

// format(value, ".<precision>f"): correctly rounded from the exact double.
std::string fixed(double value, int precision);
// format(value, ".<precision>e"): at least two exponent digits.
std::string scientific(double value, int precision);
// The shortest text that reads back as `value`, in plain or exponent notation
// whichever is shorter: 30, 0.14, 1e+09. For people, where a value refused
// must not look like the bound it broke.
std::string shortest(double value);

}  // namespace orvane::numbers
