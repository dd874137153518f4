// The cases of a design sweep: value lists from their specifications, the
// full factorial of several lists, and Latin hypercube samples over ranges.
// Plain C++: no Python objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::sweep {

// A specification that cannot be read; the message names it.
struct SpecError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// The values of `spec`: "start:stop:count" (evenly spaced, both ends
// included), a comma list "a,b,c", or one number.
std::vector<double> parse_spec(std::string_view spec);

// The values of the variable `name` by parse_spec, refused unless every one
// is finite; SpecError names the variable.
std::vector<double> variable_values(std::string_view name, std::string_view spec);

// Every combination of the lists, the first list varying slowest. Refuses
// more than `limit` cases.
std::vector<std::vector<double>> grid(const std::vector<std::vector<double>>& values,
                                      std::size_t limit);

struct Range {
    double low;
    double high;
};

// `samples` points of a Latin hypercube over the ranges: each range cut into
// `samples` equal strata, one point drawn in each stratum, the strata of the
// ranges paired by independent shuffles. The same seed gives the same points
// on every machine.
std::vector<std::vector<double>> latin_hypercube(const std::vector<Range>& ranges,
                                                 std::size_t samples, std::uint64_t seed);

}  // namespace orvane::sweep
