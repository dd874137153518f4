#include "verdict.h"

#include "native/numbers.h"

namespace orvane::target_gates {

namespace {
std::string four_places(double value) { return numbers::fixed(value, 4); }
}  // namespace

Direction direction_of(std::string_view word) {
    if (word == "minimize") return Direction::minimize;
    if (word == "maximize") return Direction::maximize;
    return Direction::neutral;
}

std::string gate_message(const GateReading& gate) {
    if (!gate.value) return gate.kpi + ": not run";
    std::string message = gate.kpi + "=" + four_places(*gate.value);
    const Range<double>& range = gate.range;
    if (range.min && range.max) {
        message.append(" range [")
            .append(four_places(*range.min))
            .append(", ")
            .append(four_places(*range.max))
            .append("]");
    } else if (range.max) {
        message.append(" ≤ ").append(four_places(*range.max));
    } else if (range.min) {
        message.append(" ≥ ").append(four_places(*range.min));
    }
    if (range.nominal) message.append(" (nominal ").append(four_places(*range.nominal)).append(")");
    return message.append(" → ").append(gate.status);
}

std::string summary_line(const GateCounts& counts) {
    const std::size_t total = counts.passed + counts.failed + counts.not_run;
    return std::to_string(counts.passed) + " passed, " + std::to_string(counts.failed) +
           " failed, " + std::to_string(counts.not_run) + " not run (" + std::to_string(total) +
           " total)";
}

}  // namespace orvane::target_gates
