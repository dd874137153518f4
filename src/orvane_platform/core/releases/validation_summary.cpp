#include "validation_summary.h"

namespace orvane::releases {

bool is_kpi_key(std::string_view key) {
    return key != "domain" && key != "timestamp" && !key.starts_with("override_") &&
           !key.starts_with("solver") && !key.starts_with("status");
}

std::optional<std::string> domain_summary(std::string_view domain,
                                          const std::vector<MeasuredKpi>& kpis) {
    std::size_t recorded = 0;
    std::vector<std::string_view> failed;
    for (const MeasuredKpi& kpi : kpis) {
        if (!kpi.min && !kpi.max) continue;
        ++recorded;
        if ((kpi.min && kpi.value < *kpi.min) || (kpi.max && kpi.value > *kpi.max))
            failed.push_back(kpi.key);
    }
    if (recorded == 0) return std::nullopt;
    std::string part(domain);
    part.append(" ")
        .append(std::to_string(recorded - failed.size()))
        .append("/")
        .append(std::to_string(recorded))
        .append(" pass");
    if (!failed.empty()) {
        part.append(" (");
        for (std::size_t i = 0; i < failed.size(); ++i)
            part.append(i ? ", " : "").append(failed[i]);
        part.append(" FAIL)");
    }
    return part;
}

std::string join_summary(const std::vector<std::string>& parts) {
    if (parts.empty()) return kNoGateResults;
    std::string summary;
    for (const std::string& part : parts) summary.append(summary.empty() ? "" : " · ").append(part);
    return summary;
}

}  // namespace orvane::releases
