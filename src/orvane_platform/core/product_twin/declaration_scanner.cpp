#include "declaration_scanner.h"

#include <array>

#include "native/text.h"

namespace orvane::product_twin {

namespace {

constexpr std::size_t kNeedMore = static_cast<std::size_t>(-1);
constexpr std::array<std::string_view, 5> kTypes = {"double", "int", "float", "string", "bool"};

bool is_name_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == ':';
}

// First position at or after `pos` that is not whitespace (\s, which spans
// line breaks too), or kNeedMore when the answer depends on text not yet seen.
std::size_t skip_space(std::string_view text, std::size_t pos, bool at_end) {
    while (pos < text.size()) {
        // A multi-byte character may be cut off at the end of this piece.
        if (!at_end && pos + 3 > text.size() && static_cast<unsigned char>(text[pos]) >= 0xC0) {
            return kNeedMore;
        }
        std::size_t length = text::space_length(text, pos);
        if (length == 0) return pos;
        pos += length;
    }
    return at_end ? pos : kNeedMore;
}

std::size_t find_line_break(std::string_view text, std::size_t from) {
    for (std::size_t i = from; i < text.size(); ++i) {
        if (text[i] == '\n' || text[i] == '\r') return i;
    }
    return std::string_view::npos;
}

enum class Outcome { kMatched, kFailed, kNeedMore };

struct Attempt {
    Outcome outcome;
    std::size_t resume_from;  // where the next line break is searched for
    std::string_view name;
};

// One match attempt from the line start `pos`. \s* skips to the first
// non-space character; from there the pattern is deterministic (no keyword
// is a prefix of another), so no backtracking is needed.
Attempt attempt_at(std::string_view text, std::size_t pos, bool at_end) {
    const std::size_t type_start = skip_space(text, pos, at_end);
    if (type_start == kNeedMore) return {Outcome::kNeedMore, 0, {}};
    const Attempt failed{Outcome::kFailed, type_start, {}};
    const std::string_view rest = text.substr(type_start);
    std::size_t type_end = 0;
    for (std::string_view type : kTypes) {
        if (rest.starts_with(type)) {
            type_end = type_start + type.size();
            break;
        }
        if (!at_end && rest.size() < type.size() && type.starts_with(rest) && !rest.empty()) {
            return {Outcome::kNeedMore, 0, {}};
        }
    }
    if (type_end == 0) return failed;
    const std::size_t name_start = skip_space(text, type_end, at_end);
    if (name_start == kNeedMore) return {Outcome::kNeedMore, 0, {}};
    if (name_start == type_end) return failed;
    std::size_t name_end = name_start;
    while (name_end < text.size() && is_name_char(text[name_end])) ++name_end;
    if (name_end == text.size() && !at_end) return {Outcome::kNeedMore, 0, {}};
    if (name_end == name_start) return failed;
    const std::size_t equals = skip_space(text, name_end, at_end);
    if (equals == kNeedMore) return {Outcome::kNeedMore, 0, {}};
    if (equals == text.size() || text[equals] != '=') return failed;
    return {Outcome::kMatched, equals + 1, text.substr(name_start, name_end - name_start)};
}

}  // namespace

std::size_t DeclarationScanner::scan(std::string_view text, bool at_end) {
    std::size_t line_start = 0;
    if (mid_line_) {
        std::size_t line_break = find_line_break(text, 0);
        if (line_break == std::string_view::npos) return text.size();
        line_start = line_break + 1;
        mid_line_ = false;
    }
    while (line_start < text.size()) {
        const Attempt attempt = attempt_at(text, line_start, at_end);
        if (attempt.outcome == Outcome::kNeedMore) return line_start;
        if (attempt.outcome == Outcome::kMatched) names_.emplace_back(attempt.name);
        // Every line start inside the skipped whitespace leads to the same
        // character, so the next candidate is the next line after it.
        std::size_t line_break = find_line_break(text, attempt.resume_from);
        if (line_break == std::string_view::npos) {
            mid_line_ = true;
            return text.size();
        }
        line_start = line_break + 1;
    }
    return text.size();
}

}  // namespace orvane::product_twin
