// The results-history grammar: entries of `|`-separated fields, the first a
// time stamp, later ones `key=value` pairs.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace orvane::history {

namespace nb = nanobind;

// A KPI value as an entry holds it: ".6e" when its magnitude is at least 1e6
// or below 0.001 (and not 0), else ".6f".
std::string kpi_value_text(double value);

// Builds one entry field by field.
class EntryWriter {
  public:
    void field(std::string_view text);
    void pair(std::string_view key, std::string_view value);
    const std::string& text() const { return text_; }

  private:
    std::string text_;
};

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

// text.lower() as the host lower-cases it.
nb::str lowercase(std::string_view text);

// float(text) when the text parses as one, else the text.
nb::object number_or_text(std::string_view text);

// The records of a list of entries. A record holds `raw`, `timestamp`, each
// pair under its lower-cased key (numbers as floats), `type` for a domain
// pair, and always `domain`.
nb::list parse_records(const nb::list& entries);

// The domain an entry names: the first `domain=` pair at its start or after a
// "|" whose value begins with [a-z0-9_+-], that run of characters. Nothing
// when the entry names none.
std::optional<std::string_view> entry_domain(std::string_view entry);

// YYYY-MM-DD of an entry's leading ISO (YYYY-MM-DD...) or legacy (YYYYMMDD...)
// time stamp; nothing when it has neither.
std::optional<std::string> entry_date(std::string_view entry);

struct Cleaned {
    nb::list kept;
    std::size_t duplicates_removed = 0;
    std::size_t old_removed = 0;
};

// The first occurrence of each entry (a list of str), in order, without those
// dated before `cutoff` (YYYY-MM-DD); undated entries are kept.
Cleaned deduplicate_and_trim(const nb::list& entries, std::string_view cutoff);

}  // namespace orvane::history
