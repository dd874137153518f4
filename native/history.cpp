#include "native/history.h"

#include <charconv>
#include <cmath>
#include <unordered_set>
#include <vector>

#include "native/numbers.h"
#include "native/py.h"

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

nb::object number_or_text(std::string_view text) {
    bool ascii = true;
    bool has_digit = false;
    for (char c : text) {
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        has_digit = has_digit || is_digit(c);
    }
    nb::object number;
    if (ascii && has_digit) {
        // Plain decimal texts, the usual case, without a trip through the host.
        std::string_view digits = text.starts_with('+') ? text.substr(1) : text;
        double value = 0;
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        const bool plain = error == std::errc() && end == digits.data() + digits.size() &&
                           !std::isnan(value) && !std::isinf(value);
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

nb::dict parse_record(nb::handle entry) {
    const std::string_view raw = py::utf8(entry);
    nb::dict record;
    record["raw"] = entry;
    record["timestamp"] = py::make_str(raw.substr(0, raw.find('|')));
    std::optional<std::string> type_text;
    for_each_pair(raw, [&](std::string_view key, std::string_view value) {
        nb::str lowered = text::is_ascii(key) ? py::make_str(text::lower_ascii(key))
                                              : nb::borrow<nb::str>(py::make_str(key).attr("lower")());
        record[lowered] = number_or_text(value);
        const std::string_view lowered_text = py::utf8(lowered);
        if (lowered_text == "domain") {
            type_text = std::string("simulated:").append(value);
            record["type"] = py::make_str(*type_text);
        } else if (lowered_text == "type") {
            type_text = std::string(value);
        }
    });
    if (!record.contains("domain")) {
        std::string domain = type_text.value_or("");
        constexpr std::string_view kMarker = "simulated:";
        for (std::size_t at = domain.find(kMarker); at != std::string::npos; at = domain.find(kMarker, at)) {
            domain.erase(at, kMarker.size());
        }
        record["domain"] = py::make_str(domain);
    }
    return record;
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
