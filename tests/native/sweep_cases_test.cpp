// Sweep cases: value specifications, the full factorial, Latin hypercubes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <set>

#include "runs/sweep/cases.h"

namespace {

using namespace orvane::sweep;

TEST(ParseSpec, ReadsRangesListsAndSingleValues) {
    EXPECT_EQ(parse_spec("14:18:5"), (std::vector<double>{14, 15, 16, 17, 18}));
    EXPECT_EQ(parse_spec("0.1:0.3:3").back(), 0.3);  // the end exactly, not 0.30000000000000004
    EXPECT_EQ(parse_spec(" 1 , 2.5,-3e-1"), (std::vector<double>{1, 2.5, -0.3}));
    EXPECT_EQ(parse_spec("7"), (std::vector<double>{7}));
    EXPECT_EQ(parse_spec("2:2:1"), (std::vector<double>{2}));
    EXPECT_EQ(parse_spec("5:1:3"), (std::vector<double>{5, 3, 1}));
}

class BadSpec : public testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(BadSpec, IsRefusedByName) {
    const auto [spec, message] = GetParam();
    try {
        parse_spec(spec);
        FAIL() << spec;
    } catch (const SpecError& error) {
        EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Specs, BadSpec,
    testing::Values(std::pair{"", "'' in '' is not a finite number"},
                    std::pair{"1,,2", "'' in '1,,2' is not a finite number"},
                    std::pair{"1:2", "neither start:stop:count nor a comma list"},
                    std::pair{"1:2:3:4", "neither start:stop:count"},
                    std::pair{"1:2:0", "must be a whole number from 1 to 100000"},
                    std::pair{"1:2:2.5", "must be a whole number"},
                    std::pair{"1:2:1", "one value between two ends"},
                    std::pair{"nan", "'nan' in 'nan' is not a finite number"},
                    std::pair{"1:inf:3", "'inf' in '1:inf:3'"}));

// Ends a double holds whose distance it does not: every value in between is
// still a finite number, evenly spaced, both ends exact.
class WideRange : public testing::TestWithParam<std::pair<const char*, std::vector<double>>> {};

TEST_P(WideRange, IsSpacedWithoutOverflow) {
    const auto [spec, expected] = GetParam();
    const std::vector<double> values = variable_values("mass", spec);
    ASSERT_EQ(values.size(), expected.size()) << spec;
    for (std::size_t i = 0; i < values.size(); ++i) {
        ASSERT_TRUE(std::isfinite(values[i])) << spec << " value " << i;
        EXPECT_NEAR(values[i], expected[i], std::fabs(expected[i]) * 1e-15)
            << spec << " value " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Specs, WideRange,
    testing::Values(std::pair{"-1e308:1e308:3", std::vector<double>{-1e308, 0, 1e308}},
                    std::pair{"1e308:-1e308:5",
                              std::vector<double>{1e308, 5e307, 0, -5e307, -1e308}},
                    std::pair{"0:1e308:5", std::vector<double>{0, 2.5e307, 5e307, 7.5e307, 1e308}},
                    std::pair{"1e308:1.7e308:3", std::vector<double>{1e308, 1.35e308, 1.7e308}},
                    std::pair{"-1.7976931348623157e308:1.7976931348623157e308:3",
                              std::vector<double>{-DBL_MAX, 0, DBL_MAX}},
                    std::pair{"1e-308:-1e-308:3", std::vector<double>{1e-308, 0, -1e-308}}));

TEST(VariableValues, NamesTheVariableOfABadSpec) {
    EXPECT_EQ(variable_values("a", "1,2"), (std::vector<double>{1, 2}));
    for (const char* spec : {"1,x", "1:1e309:3", "-inf:0:2"}) {
        try {
            variable_values("mass", spec);
            FAIL() << spec;
        } catch (const SpecError& error) {
            EXPECT_TRUE(std::string(error.what()).starts_with("variable 'mass': ")) << error.what();
        }
    }
}

TEST(Grid, IsTheFullFactorialLastVariableFastest) {
    const auto cases = grid({{1, 2}, {10, 20, 30}}, 100);
    ASSERT_EQ(cases.size(), 6u);
    EXPECT_EQ(cases.front(), (std::vector<double>{1, 10}));
    EXPECT_EQ(cases[1], (std::vector<double>{1, 20}));
    EXPECT_EQ(cases.back(), (std::vector<double>{2, 30}));
    EXPECT_TRUE(grid({}, 100).empty());
    EXPECT_THROW(grid({std::vector<double>(11, 0), std::vector<double>(10, 0)}, 100), SpecError);
}

TEST(LatinHypercube, PutsOneSampleInEachStratum) {
    const std::vector<Range> ranges{{0, 10}, {-1, 1}, {5, 5}};
    const auto cases = latin_hypercube(ranges, 8, 42);
    ASSERT_EQ(cases.size(), 8u);
    for (std::size_t v = 0; v < 2; ++v) {
        std::set<int> strata;
        for (const auto& point : cases) {
            const double where = (point[v] - ranges[v].low) / (ranges[v].high - ranges[v].low);
            ASSERT_GE(where, 0.0);
            ASSERT_LT(where, 1.0);
            strata.insert(static_cast<int>(where * 8));
        }
        EXPECT_EQ(strata.size(), 8u) << "variable " << v;
    }
    for (const auto& point : cases) EXPECT_EQ(point[2], 5.0);
}

TEST(LatinHypercube, SpansTheWidestRangesWithFiniteValues) {
    const std::vector<Range> ranges{{-DBL_MAX, DBL_MAX}, {-1e308, 1e308}, {1e308, 1.7e308}};
    const auto cases = latin_hypercube(ranges, 50, 3);
    for (std::size_t v = 0; v < ranges.size(); ++v) {
        std::set<int> strata;
        for (const auto& point : cases) {
            ASSERT_TRUE(std::isfinite(point[v])) << "variable " << v;
            ASSERT_GE(point[v], ranges[v].low);
            ASSERT_LE(point[v], ranges[v].high);
            // Halved, so that the width of the range is a finite number too.
            const double where =
                (point[v] / 2 - ranges[v].low / 2) / (ranges[v].high / 2 - ranges[v].low / 2);
            strata.insert(static_cast<int>(where * 50));
        }
        EXPECT_GE(strata.size(), 49u) << "variable " << v;  // a stratum's edge may round either way
    }
}

TEST(LatinHypercube, IsReproducibleBySeed) {
    const std::vector<Range> ranges{{0, 1}, {0, 1}};
    EXPECT_EQ(latin_hypercube(ranges, 16, 7), latin_hypercube(ranges, 16, 7));
    EXPECT_NE(latin_hypercube(ranges, 16, 7), latin_hypercube(ranges, 16, 8));
    // Pinned: a sweep described by its seed gives the same cases on every machine.
    const auto pinned = latin_hypercube(ranges, 4, 2026);
    EXPECT_DOUBLE_EQ(pinned[0][0], 0.68979952065784);
    EXPECT_DOUBLE_EQ(pinned[3][1], 0.33223852511693319);
    EXPECT_THROW(latin_hypercube(ranges, 0, 1), SpecError);
}

}  // namespace
