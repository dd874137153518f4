// The release validation summary and the fingerprint payload.
#include <gtest/gtest.h>

#include "core/provenance/fingerprint.h"
#include "core/releases/validation_summary.h"

namespace {

using orvane::releases::MeasuredKpi;

TEST(ValidationSummary, CountsOnlyTargetedKpis) {
    const std::vector<MeasuredKpi> kpis = {
        {"cd", 0.3, std::nullopt, 0.32},          // pass
        {"cl", 0.1, std::nullopt, 0.05},          // fail
        {"cm", 9.0, std::nullopt, std::nullopt},  // no target: not counted
        {"lift", 1.0, 1.0, 1.0},                  // bounds are inclusive
    };
    EXPECT_EQ(orvane::releases::domain_summary("aero", kpis), "aero 2/3 pass (cl FAIL)");
    EXPECT_EQ(orvane::releases::domain_summary("aero", {{"cm", 1, {}, {}}}), std::nullopt);
}

TEST(ValidationSummary, JoinsDomainsOrSaysThereAreNone) {
    EXPECT_EQ(orvane::releases::join_summary({"aero 1/1 pass", "dynamics 0/1 pass (g FAIL)"}),
              "aero 1/1 pass · dynamics 0/1 pass (g FAIL)");
    EXPECT_EQ(orvane::releases::join_summary({}), "(no gate results recorded)");
}

TEST(ValidationSummary, KpiKeysLeaveOutBookkeeping) {
    for (const char* key : {"domain", "timestamp", "override_speed", "solver", "status_x"}) {
        EXPECT_FALSE(orvane::releases::is_kpi_key(key)) << key;
    }
    EXPECT_TRUE(orvane::releases::is_kpi_key("cd"));
}

TEST(Fingerprint, PayloadMembersInKeyOrder) {
    const orvane::provenance::FingerprintInputs inputs{
        R"({"speed":40})", R"("")", R"("img")", R"("none")", "{}", R"("verified")", R"("1.0")"};
    EXPECT_EQ(orvane::provenance::fingerprint_payload(inputs),
              R"({"case":{"speed":40},"geometry":"","image":"img","mesh_cache":"none",)"
              R"("parameters":{},"solver_cert":"verified","solver_version":"1.0"})");
}

}  // namespace
