// The validation summary of a release as plain C++: one line of range gates
// over the latest recorded run of each domain.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::releases {

inline constexpr const char* kNoGateResults = "(no gate results recorded)";

// Whether a history key names a KPI value (not the domain, time stamp,
// solver, status or a parameter override).
bool is_kpi_key(std::string_view key);

// One KPI of a run with the product's range target for it.
struct MeasuredKpi {
    std::string key;
    double value;
    std::optional<double> min;
    std::optional<double> max;
};

// "aero 2/3 pass (cl FAIL)": the KPIs that have a target, passed when within
// it (bounds inclusive). Nothing when no KPI has a target.
std::optional<std::string> domain_summary(std::string_view domain,
                                          const std::vector<MeasuredKpi>& kpis);

// The domains' parts joined with " · ", or kNoGateResults when there are none.
std::string join_summary(const std::vector<std::string>& parts);

}  // namespace orvane::releases
