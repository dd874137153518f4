#include "native/domain/history_records.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <unordered_map>
#include <unordered_set>

#include "native/domain/history.h"
#include "native/py.h"
#include "native/text.h"

namespace orvane::history_records {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether an ASCII character may appear in a text the host reads as a float:
// digits, signs, point, exponent, underscores, spaces, and the letters of
// inf, infinity and nan.
bool may_be_in_float(char c) {
    static constexpr std::string_view kAllowed =
        "0123456789+-._eEiInNfFtTyYaA \t\n\r\f\v\x1c\x1d\x1e\x1f";
    return kAllowed.find(c) != std::string_view::npos;
}

}  // namespace

nb::str lowercase(std::string_view text) {
    if (text::is_ascii(text)) return py::make_str(text::lower_ascii(text));
    return nb::borrow<nb::str>(py::make_str(text).attr("lower")());
}

nb::object number_or_text(std::string_view text) {
    bool ascii = true;
    bool has_digit = false;
    bool plausible = true;
    for (char c : text) {
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        has_digit = has_digit || is_digit(c);
        plausible = plausible && (static_cast<unsigned char>(c) >= 0x80 || may_be_in_float(c));
    }
    nb::object number;
    if (!plausible) {
        // A letter outside inf/nan (a solver name, a hex run id): text.
    } else if (ascii && has_digit) {
        // Plain decimal texts, the usual case, without a trip through the host.
        // from_chars takes a leading "-" but not "+": drop one "+", and leave
        // any second sign ("+-0") to the host, which refuses it.
        std::string_view digits = text.starts_with('+') ? text.substr(1) : text;
        double value = 0;
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        const bool plain =
            error == std::errc() && end == digits.data() + digits.size() && !std::isnan(value) &&
            !std::isinf(value) &&
            !(text.starts_with('+') && (digits.starts_with('-') || digits.starts_with('+')));
        number = plain ? nb::float_(value) : py::parse_float(text);
    } else if (!ascii) {
        number = py::parse_float(text);  // non-ASCII digits and spaces count too
    } else {
        // Without digits only the words inf, infinity and nan can be numbers.
        const std::string word = text::lower_ascii(text::strip(text));
        std::string_view bare = word;
        if (bare.starts_with('+') || bare.starts_with('-')) bare.remove_prefix(1);
        if (bare == "inf" || bare == "infinity" || bare == "nan") number = py::parse_float(text);
    }
    return number.is_valid() ? number : nb::object(py::make_str(text));
}

namespace {

struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
        return std::hash<std::string_view>{}(text);
    }
};

// Record keys as the host lower-cases them, made once per distinct key: the
// same few keys recur in every entry.
class KeyCache {
  public:
    nb::handle lowered(std::string_view key) {
        auto found = keys_.find(key);
        if (found != keys_.end()) return found->second;
        return keys_.emplace(std::string(key), lowercase(key)).first->second;
    }

  private:
    std::unordered_map<std::string, nb::object, TextHash, std::equal_to<>> keys_;
};

py::Name raw_key{"raw"};
py::Name timestamp_key{"timestamp"};
py::Name type_key{"type"};
py::Name domain_key{"domain"};

nb::dict parse_record(nb::handle entry, KeyCache& keys) {
    const std::string_view raw = py::utf8(entry);
    nb::dict record;
    py::set_item(record, raw_key.get(), entry);
    py::set_item(record, timestamp_key.get(), py::make_str(raw.substr(0, raw.find('|'))));
    std::string type_text;  // the text of the latest `type`, for a missing domain
    history::for_each_pair(raw, [&](std::string_view key, std::string_view value) {
        nb::handle lowered = keys.lowered(key);
        py::set_item(record, lowered, number_or_text(value));
        const std::string_view lowered_text = py::utf8(lowered);
        if (lowered_text == "domain") {
            type_text = std::string("simulated:").append(value);
            py::set_item(record, type_key.get(), py::make_str(type_text));
        } else if (lowered_text == "type") {
            type_text = value;
        }
    });
    if (!record.contains(domain_key.get())) {
        std::string domain = std::move(type_text);
        constexpr std::string_view kMarker = "simulated:";
        for (std::size_t at = domain.find(kMarker); at != std::string::npos;
             at = domain.find(kMarker, at)) {
            domain.erase(at, kMarker.size());
        }
        py::set_item(record, domain_key.get(), py::make_str(domain));
    }
    return record;
}

}  // namespace

nb::list parse_records(const nb::list& entries) {
    KeyCache keys;
    nb::list records;
    for (nb::handle entry : entries) records.append(parse_record(entry, keys));
    return records;
}

Cleaned deduplicate_and_trim(const nb::list& entries, std::string_view cutoff) {
    Cleaned cleaned;
    std::unordered_set<std::string_view> seen;
    const std::size_t total = nb::len(entries);
    for (nb::handle entry : entries) {
        const std::string_view text = py::utf8(entry);  // the list keeps the text alive
        if (!seen.insert(text).second) continue;
        const std::optional<std::string> date = history::entry_date(text);
        if (date && *date < cutoff) {
            ++cleaned.old_removed;
        } else {
            cleaned.kept.append(entry);
        }
    }
    cleaned.duplicates_removed = total - seen.size();
    return cleaned;
}

}  // namespace orvane::history_records
