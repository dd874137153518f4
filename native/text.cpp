#include "native/text.h"

namespace orvane::text {

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

namespace {
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

std::string lower_ascii(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) c = lower(c);
    return lowered;
}

bool is_ascii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

bool equals_ignore_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string replace_all(std::string_view text, char from, char to) {
    std::string replaced(text);
    for (char& c : replaced) {
        if (c == from) c = to;
    }
    return replaced;
}

std::size_t space_length(std::string_view text, std::size_t pos) {
    auto byte = [&](std::size_t i) -> unsigned {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
    };
    unsigned b0 = byte(pos);
    if ((b0 >= 0x09 && b0 <= 0x0D) || (b0 >= 0x1C && b0 <= 0x20)) return 1;
    unsigned b1 = byte(pos + 1);
    if (b0 == 0xC2) return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;  // U+0085, U+00A0
    unsigned b2 = byte(pos + 2);
    if (b0 == 0xE1) return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;  // U+1680
    if (b0 == 0xE2 && b1 == 0x80) {
        // U+2000..U+200A, U+2028, U+2029, U+202F
        return ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
    }
    if (b0 == 0xE2 && b1 == 0x81) return b2 == 0x9F ? 3 : 0;    // U+205F
    if (b0 == 0xE3) return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;  // U+3000
    return 0;
}

std::string_view strip(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t length = space_length(text, start);
        if (length == 0) break;
        start += length;
    }
    std::size_t end = text.size();
    while (end > start) {
        // Whitespace characters are one to three bytes long; find the one
        // that ends exactly at `end`, if any.
        std::size_t length = 0;
        for (std::size_t candidate = 1; candidate <= 3 && candidate <= end - start; ++candidate) {
            if (space_length(text, end - candidate) == candidate) {
                length = candidate;
                break;
            }
        }
        if (length == 0) break;
        end -= length;
    }
    return text.substr(start, end - start);
}

bool has_control_characters(std::string_view text) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return true;
    }
    return false;
}

std::string_view leading_characters(std::string_view text, std::size_t count) {
    std::size_t end = 0;
    for (std::size_t seen = 0; end < text.size(); ++end) {
        const bool starts_character = (static_cast<unsigned char>(text[end]) & 0xC0) != 0x80;
        if (starts_character && seen++ == count) break;
    }
    return text.substr(0, end);
}

std::string brief(std::string_view text, std::size_t count) {
    const std::string_view kept = leading_characters(text, count);
    return kept.size() == text.size() ? std::string(text) : std::string(kept) + "...";
}

std::string escape_html(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&#39;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

}  // namespace orvane::text
