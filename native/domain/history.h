// The results-history grammar: entries of `|`-separated fields, the first a
// time stamp, later ones `key=value` pairs. Plain C++ over UTF-8 texts.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane::history {

// A KPI value as an entry holds it: ".6e" when its magnitude is at least 1e6
// or below 0.001 (and not 0), else ".6f".
std::string kpi_value_text(double value);

// Calls visit(key, value) for every field after the first that holds "=",
// split at its first "=".
template <typename Visit>
void for_each_pair(std::string_view entry, Visit&& visit) {
    std::size_t start = entry.find('|');
    while (start != std::string_view::npos) {
        const std::size_t end = entry.find('|', start + 1);
        const std::string_view field = entry.substr(start + 1, end - start - 1);
        const std::size_t equals = field.find('=');
        if (equals != std::string_view::npos)
            visit(field.substr(0, equals), field.substr(equals + 1));
        start = end;
    }
}

// The domain an entry names: the first `domain=` pair at its start or after a
// "|" whose value begins with [a-z0-9_+-], that run of characters. Nothing
// when the entry names none.
std::optional<std::string_view> entry_domain(std::string_view entry);

// YYYY-MM-DD of an entry's leading ISO (YYYY-MM-DD...) or legacy (YYYYMMDD...)
// time stamp; nothing when it has neither.
std::optional<std::string> entry_date(std::string_view entry);

// The run id an entry carries for a fingerprint: the first 12 characters of
// the hexadecimal part of "sha256:<hex>"; nothing for any other text.
std::optional<std::string> run_id_of(std::string_view fingerprint);

// Everything one results-history entry records, in the order it is written.
struct EntryPlan {
    std::string timestamp;
    std::string prefix;                                          // "domain=aero", or empty
    std::vector<std::pair<std::string, double>> kpis;            // by the domain's KPI order
    std::string solver;                                          // empty: none
    std::vector<std::pair<std::string, std::string>> metadata;   // extra key=value texts
    std::vector<std::pair<std::string, std::string>> overrides;  // parameter name, value text
    std::optional<std::string> run;                              // see run_id_of
};

// The entry's text: time stamp, prefix, KPIs, solver, metadata, overrides
// (as override_<name>) and run, joined with "|".
std::string format_entry(const EntryPlan& plan);

}  // namespace orvane::history
