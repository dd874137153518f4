#include "native/domain/history.h"

#include <cmath>

#include "native/numbers.h"
#include "native/text.h"

namespace orvane::history {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Builds one entry field by field.
class EntryWriter {
  public:
    void field(std::string_view text) {
        if (!text_.empty()) text_ += '|';
        text_ += text;
    }
    // A '|' in a value (text a solver printed, say) is written as "%7C", so
    // that no value can end its field and pose as another.
    void pair(std::string_view key, std::string_view value) {
        if (!text_.empty()) text_ += '|';
        text_.append(key).append(1, '=');
        for (char c : value) c == '|' ? text_.append("%7C") : text_.append(1, c);
    }
    std::string take() { return std::move(text_); }

  private:
    std::string text_;
};

}  // namespace

std::string kpi_value_text(double value) {
    const double magnitude = std::fabs(value);
    if (magnitude >= 1e6 || (magnitude > 0 && magnitude < 0.001)) {
        return numbers::scientific(value, 6);
    }
    return numbers::fixed(value, 6);
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

std::optional<std::string> run_id_of(std::string_view fingerprint) {
    if (!fingerprint.starts_with("sha256:")) return std::nullopt;
    const std::string_view digest = fingerprint.substr(fingerprint.rfind(':') + 1);
    return std::string(text::leading_characters(digest, 12));
}

std::string format_entry(const EntryPlan& plan) {
    EntryWriter entry;
    entry.field(plan.timestamp);
    entry.field(plan.prefix);
    for (const auto& [key, value] : plan.kpis) entry.pair(key, kpi_value_text(value));
    if (!plan.solver.empty()) entry.pair("solver", plan.solver);
    for (const auto& [key, value] : plan.metadata) entry.pair(key, value);
    for (const auto& [name, value] : plan.overrides) entry.pair("override_" + name, value);
    if (plan.run) entry.pair("run", *plan.run);
    return entry.take();
}

}  // namespace orvane::history
