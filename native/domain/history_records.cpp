#include "native/domain/history_records.h"

#include <array>
#include <charconv>
#include <cmath>
#include <deque>
#include <unordered_set>
#include <utility>
#include <vector>

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

// Whether the host's float() may accept a text that from_chars stopped
// short in: the host also takes surrounding spaces and "_" between digits.
bool may_need_host(std::string_view text) {
    for (char c : text) {
        if (c == '_' || c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f'))
            return true;
    }
    return false;
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
        if (plain) {
            number = nb::float_(value);
        } else if (end == digits.data() + digits.size() || may_need_host(text)) {
            number = py::parse_float(text);  // nan, inf, signs, spaces, underscores
        }  // else a text with a stray letter, a hex run id say: never a float
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

// One key=value pair of an entry, its value as the record holds it.
struct Pair {
    Key* key;
    nb::object value;
    nb::object type;  // "simulated:<value>" for a domain pair
};

// The domain a record names through `type` when it has no domain pair: the
// type's text without its "simulated:" markers.
nb::str domain_from_type(std::string_view type_text) {
    std::string domain(type_text);
    constexpr std::string_view kMarker = "simulated:";
    for (std::size_t at = domain.find(kMarker); at != std::string::npos;
         at = domain.find(kMarker, at)) {
        domain.erase(at, kMarker.size());
    }
    return py::make_str(domain);
}

// Builds records entry by entry. Consecutive entries usually have the same
// keys in the same order, and most of their values repeat: such a record
// starts as a copy of the one before (one table copy instead of a dozen
// insertions) and only the values that differ are set.
class RecordParser {
  public:
    nb::dict parse(nb::handle entry) {
        const std::string_view raw = py::utf8(entry);
        const std::string_view timestamp = raw.substr(0, raw.find('|'));
        if (!last_timestamp_.is_valid() || timestamp != last_timestamp_text_) {
            last_timestamp_ = py::make_str(timestamp);
            last_timestamp_text_ = timestamp;
        }
        pairs_.clear();
        std::string_view type_text;  // the latest `type`, for a missing domain
        bool has_domain = false;
        history::for_each_pair(raw, [&](std::string_view key_text, std::string_view value) {
            Key& key = keys_.get(key_text);
            Pair& pair = pairs_.emplace_back(Pair{&key, key.value(value), {}});
            if (key.role == KeyRole::domain) {
                has_domain = true;
                pair.type = key.type();
            } else if (key.role == KeyRole::type) {
                type_text = value;
            }
        });
        nb::dict record = same_keys_as_previous() ? from_previous(entry, has_domain, type_text)
                                                  : from_scratch(entry, has_domain, type_text);
        // Another record may start from this one only when every pair had a
        // key of its own: a repeated key, or one named like raw, timestamp,
        // type or domain, makes the order of assignment matter.
        const std::size_t distinct_keys = 2 + pairs_.size() + 1;
        previous_reusable_ = nb::len(record) == distinct_keys;
        previous_ = record;
        std::swap(pairs_, previous_pairs_);
        return record;
    }

  private:
    bool same_keys_as_previous() const {
        if (!previous_reusable_ || pairs_.size() != previous_pairs_.size()) return false;
        for (std::size_t i = 0; i < pairs_.size(); ++i) {
            if (pairs_[i].key != previous_pairs_[i].key) return false;
        }
        return true;
    }

    nb::dict from_scratch(nb::handle entry, bool has_domain, std::string_view type_text) {
        nb::dict record = py::dict_with_capacity(pairs_.size() + 3);
        py::set_item(record, raw_key.get(), entry);
        py::set_item(record, timestamp_key.get(), last_timestamp_);
        for (const Pair& pair : pairs_) {
            py::set_item(record, pair.key->lowered, pair.value);
            if (pair.type.is_valid()) py::set_item(record, type_key.get(), pair.type);
        }
        if (!has_domain) py::set_item(record, domain_key.get(), domain_from_type(type_text));
        return record;
    }

    // Values are shared objects while their text repeats, so identity tells
    // which ones changed.
    nb::dict from_previous(nb::handle entry, bool has_domain, std::string_view type_text) {
        nb::dict record = py::shallow_copy(previous_);
        py::set_item(record, raw_key.get(), entry);
        py::set_item(record, timestamp_key.get(), last_timestamp_);
        bool type_changed = false;
        for (std::size_t i = 0; i < pairs_.size(); ++i) {
            const Pair& pair = pairs_[i];
            if (pair.value.is(previous_pairs_[i].value)) continue;
            py::set_item(record, pair.key->lowered, pair.value);
            if (pair.type.is_valid()) py::set_item(record, type_key.get(), pair.type);
            type_changed = type_changed || pair.key->role == KeyRole::type;
        }
        if (!has_domain && type_changed)
            py::set_item(record, domain_key.get(), domain_from_type(type_text));
        return record;
    }

    KeyCache keys_;
    std::vector<Pair> pairs_;
    std::vector<Pair> previous_pairs_;
    nb::dict previous_;
    bool previous_reusable_ = false;
    nb::object last_timestamp_;
    std::string last_timestamp_text_;
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
