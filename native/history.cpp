#include "native/history.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <unordered_map>
#include <unordered_set>

#include "native/numbers.h"
#include "native/py.h"
#include "native/text.h"

namespace orvane::history {

std::string kpi_value_text(double value) {
    const double magnitude = std::fabs(value);
    if (magnitude >= 1e6 || (magnitude > 0 && magnitude < 0.001)) {
        return numbers::scientific(value, 6);
    }
    return numbers::fixed(value, 6);
}

void EntryWriter::field(std::string_view text) {
    if (!text_.empty()) text_ += '|';
    text_ += text;
}

void EntryWriter::pair(std::string_view key, std::string_view value) {
    if (!text_.empty()) text_ += '|';
    text_.append(key).append(1, '=').append(value);
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// float(text) by the host's own rules, or an invalid object when it refuses.
nb::object host_float(std::string_view text) {
    nb::str as_text = py::make_str(text);
    PyObject* number = PyFloat_FromString(as_text.ptr());
    if (number != nullptr) return nb::steal(number);
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
    PyErr_Clear();
    return nb::object();
}

}  // namespace

// Whether an ASCII character may appear in a text the host reads as a float:
// digits, signs, point, exponent, underscores, spaces, and the letters of
// inf, infinity and nan.
bool may_be_in_float(char c) {
    static constexpr std::string_view kAllowed =
        "0123456789+-._eEiInNfFtTyYaA \t\n\r\f\v\x1c\x1d\x1e\x1f";
    return kAllowed.find(c) != std::string_view::npos;
}

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
        const bool plain = error == std::errc() && end == digits.data() + digits.size() &&
                           !std::isnan(value) && !std::isinf(value) &&
                           !(text.starts_with('+') && (digits.starts_with('-') || digits.starts_with('+')));
        number = plain ? nb::steal(PyFloat_FromDouble(value)) : host_float(text);
    } else if (!ascii) {
        number = host_float(text);  // non-ASCII digits and spaces count too
    } else {
        // Without digits only the words inf, infinity and nan can be numbers.
        const std::string word = text::lower_ascii(text::strip(text));
        std::string_view bare = word;
        if (bare.starts_with('+') || bare.starts_with('-')) bare.remove_prefix(1);
        if (bare == "inf" || bare == "infinity" || bare == "nan") number = host_float(text);
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

void set_item(nb::handle dict, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
}

nb::dict parse_record(nb::handle entry, KeyCache& keys) {
    const std::string_view raw = py::utf8(entry);
    nb::dict record;
    set_item(record, raw_key.get(), entry);
    set_item(record, timestamp_key.get(), py::make_str(raw.substr(0, raw.find('|'))));
    std::string type_text;  // the text of the latest `type`, for a missing domain
    for_each_pair(raw, [&](std::string_view key, std::string_view value) {
        nb::handle lowered = keys.lowered(key);
        set_item(record, lowered, number_or_text(value));
        const std::string_view lowered_text = py::utf8(lowered);
        if (lowered_text == "domain") {
            type_text = std::string("simulated:").append(value);
            set_item(record, type_key.get(), py::make_str(type_text));
        } else if (lowered_text == "type") {
            type_text = value;
        }
    });
    if (!PyDict_Contains(record.ptr(), domain_key.get().ptr())) {
        std::string domain = std::move(type_text);
        constexpr std::string_view kMarker = "simulated:";
        for (std::size_t at = domain.find(kMarker); at != std::string::npos;
             at = domain.find(kMarker, at)) {
            domain.erase(at, kMarker.size());
        }
        set_item(record, domain_key.get(), py::make_str(domain));
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

std::optional<std::string_view> entry_domain(std::string_view entry) {
    constexpr std::string_view kKey = "domain=";
    auto domain_char = [](char c) {
        return (c >= 'a' && c <= 'z') || is_digit(c) || c == '_' || c == '+' || c == '-';
    };
    for (std::size_t at = entry.find(kKey); at != std::string_view::npos;
         at = entry.find(kKey, at + 1)) {
        if (at != 0 && entry[at - 1] != '|') continue;
        std::size_t end = at + kKey.size();
        while (end < entry.size() && domain_char(entry[end])) ++end;
        if (end > at + kKey.size()) return entry.substr(at + kKey.size(), end - at - kKey.size());
    }
    return std::nullopt;
}

std::optional<std::string> entry_date(std::string_view entry) {
    auto digits = [&](std::size_t from, std::size_t count) {
        if (entry.size() < from + count) return false;
        for (std::size_t i = from; i < from + count; ++i) {
            if (!is_digit(entry[i])) return false;
        }
        return true;
    };
    if (digits(0, 4) && entry.size() >= 10 && entry[4] == '-' && digits(5, 2) && entry[7] == '-' &&
        digits(8, 2)) {
        return std::string(entry.substr(0, 10));
    }
    if (digits(0, 8)) {
        return std::string(entry.substr(0, 4)) + "-" + std::string(entry.substr(4, 2)) + "-" +
               std::string(entry.substr(6, 2));
    }
    return std::nullopt;
}

Cleaned deduplicate_and_trim(const nb::list& entries, std::string_view cutoff) {
    Cleaned cleaned;
    std::unordered_set<std::string_view> seen;
    const std::size_t total = nb::len(entries);
    for (nb::handle entry : entries) {
        const std::string_view text = py::utf8(entry);  // the list keeps the text alive
        if (!seen.insert(text).second) continue;
        const std::optional<std::string> date = entry_date(text);
        if (date && *date < cutoff) {
            ++cleaned.old_removed;
        } else {
            cleaned.kept.append(entry);
        }
    }
    cleaned.duplicates_removed = total - seen.size();
    return cleaned;
}

}  // namespace orvane::history
