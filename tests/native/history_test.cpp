// The results-history grammar and the naming of range targets.
#include "native/domain/history.h"

#include <gtest/gtest.h>

#include "native/domain/targets.h"

namespace {

namespace history = orvane::history;
namespace targets = orvane::targets;

TEST(History, KpiValuesSwitchToExponentsOutsideTheMiddleRange) {
    EXPECT_EQ(history::kpi_value_text(0.25), "0.250000");
    EXPECT_EQ(history::kpi_value_text(0), "0.000000");
    EXPECT_EQ(history::kpi_value_text(0.001), "0.001000");
    EXPECT_EQ(history::kpi_value_text(0.000999), "9.990000e-04");
    EXPECT_EQ(history::kpi_value_text(-1e6), "-1.000000e+06");
}

TEST(History, EntryFieldsInTheirOrder) {
    history::EntryPlan plan;
    plan.timestamp = "2026-01-02T03:04:05+00:00";
    plan.prefix = "domain=aero";
    plan.kpis = {{"cd", 0.25}, {"cl", -0.02}};
    plan.solver = "sample_aero";
    plan.metadata = {{"iterations", "500"}};
    plan.overrides = {{"speed", "40"}};
    plan.run = "0123456789ab";
    EXPECT_EQ(history::format_entry(plan),
              "2026-01-02T03:04:05+00:00|domain=aero|cd=0.250000|cl=-0.020000|solver=sample_aero|"
              "iterations=500|override_speed=40|run=0123456789ab");
}

TEST(History, AnEmptyPrefixStillTakesItsField) {
    history::EntryPlan plan;
    plan.timestamp = "t";
    plan.kpis = {{"cd", 1}};
    EXPECT_EQ(history::format_entry(plan), "t||cd=1.000000");
}

TEST(History, RunIdsCountCharactersNotBytes) {
    EXPECT_EQ(history::run_id_of("sha256:0123456789abcdef"), "0123456789ab");
    EXPECT_EQ(history::run_id_of("sha256:x:abc"), "abc");
    EXPECT_EQ(history::run_id_of("sha256:\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"
                                 "\u00e9\u00e9\u00e9\u00e9"),
              "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9");
    EXPECT_EQ(history::run_id_of("md5:abc"), std::nullopt);
}

TEST(History, DatesOfIsoAndLegacyStamps) {
    EXPECT_EQ(history::entry_date("2026-03-04T00:00:00|x=1"), "2026-03-04");
    EXPECT_EQ(history::entry_date("20260304T000000|x=1"), "2026-03-04");
    EXPECT_EQ(history::entry_date("2026-3-4|x=1"), std::nullopt);
}

TEST(History, DomainOfAnEntry) {
    EXPECT_EQ(history::entry_domain("t|domain=aero|cd=1"), "aero");
    EXPECT_EQ(history::entry_domain("t|xdomain=aero|domain=dyn_2+x"), "dyn_2+x");
    EXPECT_EQ(history::entry_domain("t|domain=Aero"), std::nullopt);
}

TEST(Targets, RangeTargetsButNotTolerances) {
    EXPECT_TRUE(targets::is_range_target_of("target_cd_max", targets::kDerivedPrefix, "cd"));
    EXPECT_TRUE(targets::is_range_target_of("orvane:target:cd_min", targets::kHandSetPrefix, "cd"));
    EXPECT_FALSE(targets::is_range_target_of("target_cd_tol", targets::kDerivedPrefix, "cd"));
    EXPECT_FALSE(targets::is_range_target_of("target_cdx_max", targets::kDerivedPrefix, "cd"));
    EXPECT_FALSE(targets::is_range_target_of("target_cd", targets::kDerivedPrefix, "cd"));
    EXPECT_TRUE(targets::has_range_suffix("cd_nominal"));
    EXPECT_FALSE(targets::has_range_suffix("cd_tol"));
}

}  // namespace
