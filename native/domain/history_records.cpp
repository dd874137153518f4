#include "native/domain/history_records.h"

#include <array>
#include <charconv>
#include <cmath>
#include <deque>
#include <unordered_set>

#include "native/domain/history.h"
#include "native/py.h"
#include "native/text.h"

namespace orvane::history_records {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether an ASCII character may appear in a text the host reads as a float:
// digits, signs, point, exponent, underscores, spaces, and the letters of
// inf, infinity and nan. A table: the scan runs over every character.
bool may_be_in_float(char c) {
    static constexpr auto kAllowed = [] {
        std::array<bool, 128> allowed{};
        for (char each :
             std::string_view("0123456789+-._eEiInNfFtTyYaA \t\n\r\f\v\x1c\x1d\x1e\x1f"))
            allowed[static_cast<unsigned char>(each)] = true;
        return allowed;
    }();
    return kAllowed[static_cast<unsigned char>(c) & 0x7F];
}

}  // namespace

nb::str lowercase(std::string_view text) {
    if (text::is_ascii(text)) return py::make_str(text::lower_ascii(text));
    return nb::borrow<nb::str>(py::make_str(text).attr("lower")());
}

namespace {

// float(text) when the text parses as one, else the text.
nb::object value_of(std::string_view text) {
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

}  // namespace

nb::object number_or_text(std::string_view text) { return value_of(text); }

namespace {

// What a record key means to the parser.
enum class KeyRole { plain, domain, type };

// One distinct record key: its lower-cased text, made once, and the last
// value met under it. Keys and values recur from entry to entry (the same
// domain, solver and often the same numbers), so a repeat reuses the object.
struct Key {
    std::string text;
    nb::object lowered;
    KeyRole role;
    std::string last_text;
    nb::object last_value;
    nb::object last_type;  // "simulated:<value>" of the last domain value

    nb::object value(std::string_view value_text) {
        if (!last_value.is_valid() || value_text != last_text) {
            last_value = value_of(value_text);
            last_text = value_text;
            last_type = nb::object();
        }
        return last_value;
    }

    nb::object type() {
        if (!last_type.is_valid()) last_type = py::make_str("simulated:" + last_text);
        return last_type;
    }
};

// The keys met so far. There are few, so a search of a short list beats
// hashing every key of every entry.
class KeyCache {
  public:
    Key& get(std::string_view text) {
        for (Key& key : keys_) {
            if (key.text == text) return key;
        }
        // No non-ASCII text lower-cases to "domain" or "type", so an ASCII
        // comparison decides the role.
        const KeyRole role = text::equals_ignore_ascii_case(text, "domain") ? KeyRole::domain
                             : text::equals_ignore_ascii_case(text, "type") ? KeyRole::type
                                                                            : KeyRole::plain;
        return keys_.emplace_back(Key{std::string(text), lowercase(text), role, {}, {}, {}});
    }

  private:
    std::deque<Key> keys_;  // stable addresses
};

py::Name raw_key{"raw"};
py::Name timestamp_key{"timestamp"};
py::Name type_key{"type"};
py::Name domain_key{"domain"};

class RecordParser {
  public:
    nb::dict parse(nb::handle entry) {
        const std::string_view raw = py::utf8(entry);
        nb::dict record = py::dict_with_capacity(12);
        py::set_item(record, raw_key.get(), entry);
        py::set_item(record, timestamp_key.get(), py::make_str(raw.substr(0, raw.find('|'))));
        std::string_view type_text;  // the latest `type`, for a missing domain
        bool has_domain = false;
        history::for_each_pair(raw, [&](std::string_view key_text, std::string_view value) {
            Key& key = keys_.get(key_text);
            py::set_item(record, key.lowered, key.value(value));
            if (key.role == KeyRole::domain) {
                has_domain = true;
                py::set_item(record, type_key.get(), key.type());
            } else if (key.role == KeyRole::type) {
                type_text = value;
            }
        });
        if (!has_domain) {
            std::string domain(type_text);
            constexpr std::string_view kMarker = "simulated:";
            for (std::size_t at = domain.find(kMarker); at != std::string::npos;
                 at = domain.find(kMarker, at)) {
                domain.erase(at, kMarker.size());
            }
            py::set_item(record, domain_key.get(), py::make_str(domain));
        }
        return record;
    }

  private:
    KeyCache keys_;
};

}  // namespace

nb::list parse_records(const std::vector<nb::list>& entry_lists) {
    std::size_t total = 0;
    for (const nb::list& entries : entry_lists) total += nb::len(entries);
    py::ListFiller records(total);
    RecordParser parser;
    for (const nb::list& entries : entry_lists) {
        for (nb::handle entry : entries) records.push(parser.parse(entry));
    }
    return records.finish();
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
