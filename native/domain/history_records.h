// Results-history entries as the host's objects: records for callers, and
// the cleaned entry list a trim writes back.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string_view>
#include <vector>

namespace orvane::history_records {

namespace nb = nanobind;

// text.lower() as the host lower-cases it.
nb::str lowercase(std::string_view text);

// float(text) when the text parses as one, else the text.
nb::object number_or_text(std::string_view text);

// The records of lists of entries, one after the other. A record holds `raw`, `timestamp`, each
// pair under its lower-cased key (numbers as floats), `type` for a domain
// pair, and always `domain`.
nb::list parse_records(const std::vector<nb::list>& entry_lists);

struct Cleaned {
    nb::list kept;
    std::size_t duplicates_removed = 0;
    std::size_t old_removed = 0;
};

// The first occurrence of each entry (a list of str), in order, without those
// dated before `cutoff` (YYYY-MM-DD); undated entries are kept.
Cleaned deduplicate_and_trim(const nb::list& entries, std::string_view cutoff);

}  // namespace orvane::history_records
