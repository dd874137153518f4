// Writing the driver's result: a JSON object built member by member.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::foam {

inline std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

// A non-finite number is null: JSON has no NaN.
inline std::string json_number(double value) {
    if (!std::isfinite(value)) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

class JsonObject {
  public:
    JsonObject& add(std::string_view key, double value) { return raw(key, json_number(value)); }
    JsonObject& add(std::string_view key, int value) { return raw(key, std::to_string(value)); }
    JsonObject& add(std::string_view key, long value) { return raw(key, std::to_string(value)); }
    JsonObject& add(std::string_view key, bool value) { return raw(key, value ? "true" : "false"); }
    JsonObject& add(std::string_view key, std::string_view value) {
        return raw(key, json_string(value));
    }
    JsonObject& add(std::string_view key, const char* value) {
        return raw(key, json_string(value));
    }
    JsonObject& add(std::string_view key, const JsonObject& value) { return raw(key, value.str()); }
    JsonObject& add_null(std::string_view key) { return raw(key, "null"); }
    template <typename T, typename Show>
    JsonObject& add_list(std::string_view key, const std::vector<T>& values, Show show) {
        std::string text = "[";
        for (std::size_t i = 0; i < values.size(); ++i) text += (i ? ", " : "") + show(values[i]);
        return raw(key, text + "]");
    }
    JsonObject& raw(std::string_view key, std::string_view json) {
        body_ += (body_.empty() ? "" : ", ") + json_string(key) + ": ";
        body_ += json;
        return *this;
    }
    std::string str() const { return "{" + body_ + "}"; }

  private:
    std::string body_;
};

}  // namespace orvane::foam
