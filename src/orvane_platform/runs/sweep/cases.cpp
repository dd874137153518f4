#include "cases.h"

#include <charconv>
#include <cmath>
#include <numeric>
#include <random>
#include <utility>

#include "native/text.h"

namespace orvane::sweep {

namespace {

double number(std::string_view text, std::string_view spec) {
    text = text::strip(text);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value)) {
        throw SpecError("'" + std::string(text) + "' in '" + std::string(spec) +
                        "' is not a finite number");
    }
    return value;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

// A uniform double in [0, 1) from 53 bits of the generator: the same on
// every standard library, unlike std::uniform_real_distribution.
double unit(std::mt19937_64& generator) {
    return static_cast<double>(generator() >> 11) * 0x1.0p-53;
}

// `where` (0 to 1) of the way from `low` to `high`. Ends of opposite signs
// may be further apart than a double holds: there each end is weighted alone.
double between(double low, double high, double where) {
    const double span = high - low;
    if (std::isfinite(span)) return low + span * where;
    return low * (1 - where) + high * where;
}

// Step `step` of `steps` from `start` to `stop`, as it has always been
// computed where that stays finite (so earlier sweeps' cases keep their
// values and fingerprints), else without overflow.
double spaced(double start, double stop, std::size_t step, std::size_t steps) {
    const double scaled = (stop - start) * static_cast<double>(step);
    if (std::isfinite(scaled)) return start + scaled / static_cast<double>(steps);
    return between(start, stop, static_cast<double>(step) / static_cast<double>(steps));
}

}  // namespace

std::vector<double> parse_spec(std::string_view spec) {
    const std::vector<std::string_view> range = split(spec, ':');
    if (range.size() == 3) {
        const double start = number(range[0], spec);
        const double stop = number(range[1], spec);
        const std::string_view count_text = text::strip(range[2]);
        std::size_t count = 0;
        const auto [end, error] =
            std::from_chars(count_text.data(), count_text.data() + count_text.size(), count);
        if (count_text.empty() || error != std::errc() ||
            end != count_text.data() + count_text.size() || count == 0 || count > 100000) {
            throw SpecError("the count in '" + std::string(spec) +
                            "' must be a whole number from 1 to 100000");
        }
        if (count == 1 && start != stop) {
            throw SpecError("'" + std::string(spec) + "' asks for one value between two ends");
        }
        std::vector<double> values(count);
        for (std::size_t i = 0; i < count; ++i) {
            // Both ends exactly, whatever the rounding of the steps between.
            values[i] = i + 1 == count ? stop : spaced(start, stop, i, count - 1);
        }
        return values;
    }
    if (range.size() != 1) {
        throw SpecError("'" + std::string(spec) + "' is neither start:stop:count nor a comma list");
    }
    std::vector<double> values;
    for (std::string_view part : split(spec, ',')) values.push_back(number(part, spec));
    return values;
}

std::vector<double> variable_values(std::string_view name, std::string_view spec) {
    const std::string variable = "variable '" + std::string(name) + "': ";
    std::vector<double> values;
    try {
        values = parse_spec(spec);
    } catch (const SpecError& error) {
        throw SpecError(variable + error.what());
    }
    for (double value : values) {
        if (!std::isfinite(value)) {
            throw SpecError(variable + "'" + std::string(spec) +
                            "' gives values that are not finite numbers");
        }
    }
    return values;
}

std::vector<std::vector<double>> grid(const std::vector<std::vector<double>>& values,
                                      std::size_t limit) {
    std::size_t total = values.empty() ? 0 : 1;
    for (const auto& list : values) {
        if (list.empty()) throw SpecError("a variable has no values");
        if (total > limit / list.size()) {
            throw SpecError("the grid has more than " + std::to_string(limit) + " cases");
        }
        total *= list.size();
    }
    std::vector<std::vector<double>> cases;
    cases.reserve(total);
    std::vector<std::size_t> position(values.size(), 0);
    for (std::size_t made = 0; made < total; ++made) {
        std::vector<double>& point = cases.emplace_back(values.size());
        for (std::size_t v = 0; v < values.size(); ++v) point[v] = values[v][position[v]];
        // Odometer order: the last variable turns fastest.
        for (std::size_t v = values.size(); v-- > 0;) {
            if (++position[v] < values[v].size()) break;
            position[v] = 0;
        }
    }
    return cases;
}

std::vector<std::vector<double>> latin_hypercube(const std::vector<Range>& ranges,
                                                 std::size_t samples, std::uint64_t seed) {
    if (samples == 0) throw SpecError("a Latin hypercube needs at least one sample");
    std::mt19937_64 generator(seed);
    std::vector<std::vector<double>> cases(samples, std::vector<double>(ranges.size()));
    std::vector<std::size_t> strata(samples);
    for (std::size_t v = 0; v < ranges.size(); ++v) {
        std::iota(strata.begin(), strata.end(), 0);
        for (std::size_t i = samples; i-- > 1;) {
            std::swap(strata[i], strata[static_cast<std::size_t>(generator() % (i + 1))]);
        }
        const auto [low, high] = ranges[v];
        for (std::size_t s = 0; s < samples; ++s) {
            const double where =
                (static_cast<double>(strata[s]) + unit(generator)) / static_cast<double>(samples);
            cases[s][v] = between(low, high, where);
        }
    }
    return cases;
}

}  // namespace orvane::sweep
