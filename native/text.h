// Text helpers with the host's semantics where it matters (str.split,
// str.isspace), on UTF-8 bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::text {

// str.split(separator): always one more piece than separators.
std::vector<std::string_view> split(std::string_view text, char separator);

std::string lower_ascii(std::string_view text);
bool is_ascii(std::string_view text);
bool equals_ignore_ascii_case(std::string_view a, std::string_view b);
std::string replace_all(std::string_view text, char from, char to);

// Length in bytes of the whitespace character (as str.isspace() sees it) that
// starts at `pos`, or 0 when the character there is not whitespace.
std::size_t space_length(std::string_view text, std::size_t pos);

// str.strip() with no argument.
std::string_view strip(std::string_view text);

// Whether `text` holds a C0 control character or DEL (a line break, say).
bool has_control_characters(std::string_view text);

// The first `count` characters of UTF-8 text.
std::string_view leading_characters(std::string_view text, std::size_t count);

// `text` cut to its first `count` characters, with "..." when it was longer:
// for messages that quote what an outside program printed.
std::string brief(std::string_view text, std::size_t count = 80);

// `text` safe inside HTML and XML, in element content and in quoted
// attribute values alike: & < > " ' as character references.
std::string escape_html(std::string_view text);

}  // namespace orvane::text
