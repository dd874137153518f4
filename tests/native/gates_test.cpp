// Range-gate verdicts, messages and the summary line.
#include <gtest/gtest.h>

#include "core/target_gates/verdict.h"

namespace {

using namespace orvane::target_gates;

struct Case {
    Direction direction;
    double value;
    Range<double> range;
    bool passed;
    std::string status;
};

class RangeVerdict : public testing::TestWithParam<Case> {};

TEST_P(RangeVerdict, Decides) {
    const Case& c = GetParam();
    const Verdict verdict = range_verdict(c.value, c.range, c.direction);
    EXPECT_EQ(verdict.passed, c.passed);
    EXPECT_EQ(verdict.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(Table, RangeVerdict,
                         testing::Values(
                             // Bounds are inclusive; the nominal only warns beside a hard limit.
                             Case{Direction::minimize, 0.30, {{}, 0.28, 0.30}, true, "WARN"},
                             Case{Direction::minimize, 0.28, {{}, 0.28, 0.30}, true, "PASS"},
                             Case{Direction::minimize, 0.31, {{}, 0.28, 0.30}, false, "FAIL"},
                             Case{Direction::minimize, 0.29, {0.1, 0.28, {}}, false, "FAIL"},
                             Case{Direction::maximize, 0.9, {1.0, {}, {}}, false, "FAIL"},
                             Case{Direction::maximize, 1.1, {1.0, 1.2, {}}, true, "WARN"},
                             Case{Direction::neutral, 5, {1, 100, 10}, true, "PASS"},
                             Case{Direction::neutral, 11, {1, {}, 10}, false, "FAIL"},
                             Case{Direction::neutral, 0, {{}, 1, {}}, false, "NO_TARGET"}));

TEST(Direction, UnknownWordsAreNeutral) {
    EXPECT_EQ(direction_of("minimize"), Direction::minimize);
    EXPECT_EQ(direction_of("Minimize"), Direction::neutral);
}

TEST(GateMessage, ShowsTheBoundsThatExist) {
    EXPECT_EQ(gate_message({"cd", 0.31, {{}, 0.3, 0.32}, "WARN"}),
              "cd=0.3100 ≤ 0.3200 (nominal 0.3000) → WARN");
    EXPECT_EQ(gate_message({"g", 1, {0.5, {}, 2}, "PASS"}),
              "g=1.0000 range [0.5000, 2.0000] → PASS");
    EXPECT_EQ(gate_message({"g", 0.4, {0.5, {}, {}}, "FAIL"}), "g=0.4000 ≥ 0.5000 → FAIL");
    EXPECT_EQ(gate_message({"cd", {}, {}, "NOT RUN"}), "cd: not run");
}

TEST(Summary, CountsEveryGate) {
    EXPECT_EQ(summary_line({2, 1, 3}), "2 passed, 1 failed, 3 not run (6 total)");
}

}  // namespace
