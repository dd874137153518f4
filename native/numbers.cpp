#include "native/numbers.h"

#include <charconv>
#include <cmath>

namespace orvane::numbers {

namespace {

// The host writes the specials as bare words, never "-nan".
const char* special_text(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    return nullptr;
}

std::string to_text(double value, std::chars_format format, int precision) {
    if (const char* special = special_text(value)) return special;
    // 1e308 in fixed notation takes 309 digits before the point.
    char buffer[400];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, format, precision);
    (void)error;  // the buffer holds any double at these precisions
    return {buffer, end};
}

}  // namespace

std::string fixed(double value, int precision) {
    return to_text(value, std::chars_format::fixed, precision);
}

std::string scientific(double value, int precision) {
    return to_text(value, std::chars_format::scientific, precision);
}

std::string shortest(double value) {
    if (const char* special = special_text(value)) return special;
    char buffer[32];  // the shortest form of any double takes at most 24
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    (void)error;
    return {buffer, end};
}

}  // namespace orvane::numbers
