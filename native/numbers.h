// Number texts byte-identical to the host's format specifications.
#pragma once

#include <string>

namespace orvane::numbers {

// format(value, ".<precision>f"): correctly rounded from the exact double.
std::string fixed(double value, int precision);
// format(value, ".<precision>e"): at least two exponent digits.
std::string scientific(double value, int precision);

}  // namespace orvane::numbers
