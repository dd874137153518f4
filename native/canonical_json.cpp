#include "native/canonical_json.h"

#include <charconv>

#include "native/numbers.h"
#include "native/py.h"

namespace orvane::canonical_json {

namespace {

// Each nesting level counts against the host's recursion limit, so a deep
// tree raises RecursionError as the host's own serialiser would.
constexpr const char* kNesting = " while encoding canonical JSON";

void emit_int(nb::handle value, std::string& out) {
    if (const auto small = py::small_int(value)) {
        char buffer[24];
        auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, *small);
        (void)error;  // 24 characters hold any 64-bit integer
        out.append(buffer, end);
        return;
    }
    out.append(py::utf8(nb::str(value)));
}

void emit_hex4(unsigned code, std::string& out) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0xF];
}

void emit_mapping(nb::handle mapping, std::string& out) {
    out += '{';
    bool first = true;
    for (nb::handle key : py::sorted_keys(mapping)) {
        if (!first) out += ',';
        first = false;
        emit_string(nb::str(key), out);
        out += ':';
        nb::object member = py::dict_get(mapping, key);
        if (!member.is_valid()) py::raise(py::exc::key_error(), "%R", key.ptr());
        emit(member, out);
    }
    out += '}';
}

template <typename Sequence>
void emit_sequence(const Sequence& items, std::string& out) {
    out += '[';
    bool first = true;
    for (nb::handle item : items) {
        if (!first) out += ',';
        first = false;
        emit(item, out);
    }
    out += ']';
}

template <typename Sequence>
nb::list canonical_list(const Sequence& items) {
    nb::list copy;
    for (nb::handle item : items) copy.append(canonicalise(item));
    return copy;
}

}  // namespace

std::string float_text(double value) {
    if (value == 0) return "0";  // 0.0 and -0.0 alike
    std::string text = numbers::fixed(value, 6);
    if (text.find('.') == std::string::npos) return text;  // inf, -inf, nan
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
    return text;
}

void emit_string(nb::handle text, std::string& out) {
    if (const auto ascii = py::ascii_text(text)) {
        // Most texts need no escape at all: copy them whole.
        bool plain = true;
        for (char c : *ascii) plain = plain && c >= 0x20 && c != 0x7F && c != '"' && c != '\\';
        if (plain) {
            out.append(1, '"').append(*ascii).append(1, '"');
            return;
        }
    }
    const py::Characters characters(text);
    out += '"';
    for (std::size_t i = 0; i < characters.size(); ++i) {
        const char32_t code = characters[i];
        switch (code) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (code >= 0x20 && code <= 0x7E) {
                    out += static_cast<char>(code);
                } else if (code <= 0xFFFF) {
                    emit_hex4(code, out);
                } else {
                    const char32_t offset = code - 0x10000;
                    emit_hex4(0xD800 | (offset >> 10), out);
                    emit_hex4(0xDC00 | (offset & 0x3FF), out);
                }
        }
    }
    out += '"';
}

void emit(nb::handle value, std::string& out) {
    if (value.is_none()) {
        out += "null";
    } else if (nb::isinstance<nb::bool_>(value)) {
        out += value.is(nb::bool_(true)) ? "true" : "false";
    } else if (nb::isinstance<nb::int_>(value)) {
        emit_int(value, out);
    } else if (nb::isinstance<nb::float_>(value)) {
        out += float_text(py::float_value(value));
    } else if (nb::isinstance<nb::str>(value)) {
        emit_string(value, out);
    } else if (nb::isinstance<nb::dict>(value)) {
        py::RecursionGuard guard(kNesting);
        emit_mapping(value, out);
    } else if (nb::isinstance<nb::list>(value)) {
        py::RecursionGuard guard(kNesting);
        emit_sequence(nb::borrow<nb::list>(value), out);
    } else if (nb::isinstance<nb::tuple>(value)) {
        py::RecursionGuard guard(kNesting);
        emit_sequence(nb::borrow<nb::tuple>(value), out);
    } else {
        emit_string(nb::str(value), out);
    }
}

std::string text(nb::handle value) {
    std::string out;
    emit(value, out);
    return out;
}

nb::object canonicalise(nb::handle value) {
    if (value.is_none() || nb::isinstance<nb::bool_>(value) || nb::isinstance<nb::int_>(value) ||
        nb::isinstance<nb::str>(value) || nb::isinstance<nb::float_>(value)) {
        return nb::borrow(value);
    }
    if (nb::isinstance<nb::dict>(value)) {
        py::RecursionGuard guard(kNesting);
        nb::dict copy;
        for (auto [key, member] : nb::borrow<nb::dict>(value)) {
            // Borrowed from the source dict: hold both across the recursion.
            nb::object key_ref = nb::borrow(key);
            nb::object normalised = canonicalise(nb::borrow(member));
            copy[key_ref] = normalised;
        }
        return copy;
    }
    if (nb::isinstance<nb::list>(value)) {
        py::RecursionGuard guard(kNesting);
        return canonical_list(nb::borrow<nb::list>(value));
    }
    if (nb::isinstance<nb::tuple>(value)) {
        py::RecursionGuard guard(kNesting);
        return canonical_list(nb::borrow<nb::tuple>(value));
    }
    return nb::str(value);
}

}  // namespace orvane::canonical_json
