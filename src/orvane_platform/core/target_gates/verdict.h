// Range gates as plain C++: the verdict of one KPI value against its range
// target, the gate's message and the evaluation's summary line.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace orvane::target_gates {

// Which way a KPI improves.
enum class Direction { minimize, maximize, neutral };

// "minimize" and "maximize" by name; any other word is neutral.
Direction direction_of(std::string_view word);

// A range target; any bound may be missing.
template <typename Number>
struct Range {
    std::optional<Number> min;
    std::optional<Number> nominal;
    std::optional<Number> max;
};

struct Verdict {
    bool passed;
    const char* status;  // PASS, WARN, FAIL or NO_TARGET
};

// The verdict of `value` against `range`. Bounds are inclusive: only a value
// strictly beyond one fails; beyond the nominal alone warns, on the side the
// direction cares about. `Number` needs < and >: for the host's objects these
// are the host's comparisons, which may raise.
template <typename Number>
Verdict range_verdict(const Number& value, const Range<Number>& range, Direction direction) {
    if (!range.min && !range.max) return {false, "NO_TARGET"};
    const auto worse = [&](const std::optional<Number>& bound) {
        if (!bound) return false;
        return direction == Direction::minimize ? value > *bound : value < *bound;
    };
    if (direction != Direction::neutral) {
        const std::optional<Number>& limit =
            direction == Direction::minimize ? range.max : range.min;
        if (limit) {
            if (worse(limit)) return {false, "FAIL"};
            if (worse(range.nominal)) return {true, "WARN"};
            return {true, "PASS"};
        }
        if (worse(range.nominal)) return {false, "FAIL"};
        return {true, "PASS"};
    }
    if (range.min && value < *range.min) return {false, "FAIL"};
    if (range.max && value > *range.max) return {false, "FAIL"};
    return {true, "PASS"};
}

// One gate as its message shows it.
struct GateReading {
    std::string kpi;
    std::optional<double> value;  // none: the KPI was not run
    Range<double> range;
    std::string status;
};

// "cd=0.3100 ≤ 0.3200 (nominal 0.3000) → WARN", or "cd: not run".
std::string gate_message(const GateReading& gate);

struct GateCounts {
    std::size_t passed = 0;
    std::size_t failed = 0;
    std::size_t not_run = 0;  // neither passed nor failed: not run or inconclusive
};

// "2 passed, 1 failed, 0 not run (3 total)".
std::string summary_line(const GateCounts& counts);

}  // namespace orvane::target_gates
