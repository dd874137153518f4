// How KPI range targets are named: <prefix><kpi><suffix>, with the derived
// prefix "target_" or the hand-set one "orvane:target:".
#pragma once

#include <array>
#include <string_view>

namespace orvane::targets {

inline constexpr std::string_view kDerivedPrefix = "target_";
inline constexpr std::string_view kHandSetPrefix = "orvane:target:";
inline constexpr std::array<std::string_view, 3> kRangeSuffixes = {"_min", "_nominal", "_max"};

// Whether `name` ends with one of the range suffixes.
bool has_range_suffix(std::string_view name);

// Whether `name` is a range target of `kpi` under `prefix`: <prefix><kpi>_...,
// but not the tolerance <prefix><kpi>_tol.
bool is_range_target_of(std::string_view name, std::string_view prefix, std::string_view kpi);

}  // namespace orvane::targets
