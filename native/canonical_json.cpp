#include "native/canonical_json.h"

#include <charconv>

#include "native/numbers.h"
#include "native/py.h"

namespace orvane::canonical_json {

namespace {

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

// Writes one value and everything inside it. Each container entered counts
// against the host's recursion limit, so a deep tree raises RecursionError as
// the host's own serialiser would; one inside itself raises ValueError.
class Emitter {
  public:
    Emitter(std::string& out, const char* what) : out_(out), walk_(what) {}

    void value(nb::handle item) {
        if (item.is_none()) {
            out_ += "null";
        } else if (nb::isinstance<nb::bool_>(item)) {
            out_ += item.is(nb::bool_(true)) ? "true" : "false";
        } else if (nb::isinstance<nb::int_>(item)) {
            emit_int(item, out_);
        } else if (nb::isinstance<nb::float_>(item)) {
            out_ += float_text(py::float_value(item));
        } else if (nb::isinstance<nb::str>(item)) {
            emit_string(item, out_);
        } else if (nb::isinstance<nb::dict>(item)) {
            mapping(item);
        } else if (nb::isinstance<nb::list>(item)) {
            sequence(nb::borrow<nb::list>(item));
        } else if (nb::isinstance<nb::tuple>(item)) {
            sequence(nb::borrow<nb::tuple>(item));
        } else {
            emit_string(nb::str(item), out_);
        }
    }

  private:
    void mapping(nb::handle members) {
        py::Walk::Level level(walk_, members);
        out_ += '{';
        bool first = true;
        for (nb::handle key : py::sorted_keys(members)) {
            if (!first) out_ += ',';
            first = false;
            emit_string(nb::str(key), out_);
            out_ += ':';
            nb::object member = py::dict_get(members, key);
            if (!member.is_valid()) py::raise(py::exc::key_error(), py::repr(key));
            value(member);
        }
        out_ += '}';
    }

    template <typename Sequence>
    void sequence(const Sequence& items) {
        py::Walk::Level level(walk_, items);
        out_ += '[';
        bool first = true;
        for (nb::handle item : items) {
            if (!first) out_ += ',';
            first = false;
            value(item);
        }
        out_ += ']';
    }

    std::string& out_;
    py::Walk walk_;
};

nb::object canonical(py::Walk& walk, nb::handle value);

template <typename Sequence>
nb::list canonical_list(py::Walk& walk, const Sequence& items) {
    py::Walk::Level level(walk, items);
    nb::list copy;
    for (nb::handle item : items) copy.append(canonical(walk, item));
    return copy;
}

nb::object canonical(py::Walk& walk, nb::handle value) {
    if (value.is_none() || nb::isinstance<nb::bool_>(value) || nb::isinstance<nb::int_>(value) ||
        nb::isinstance<nb::str>(value) || nb::isinstance<nb::float_>(value)) {
        return nb::borrow(value);
    }
    if (nb::isinstance<nb::dict>(value)) {
        py::Walk::Level level(walk, value);
        nb::dict copy;
        for (auto [key, member] : nb::borrow<nb::dict>(value)) {
            // Borrowed from the source dict: hold both across the recursion.
            nb::object key_ref = nb::borrow(key);
            nb::object normalised = canonical(walk, nb::borrow(member));
            copy[key_ref] = normalised;
        }
        return copy;
    }
    if (nb::isinstance<nb::list>(value)) return canonical_list(walk, nb::borrow<nb::list>(value));
    if (nb::isinstance<nb::tuple>(value)) return canonical_list(walk, nb::borrow<nb::tuple>(value));
    return nb::str(value);
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

void emit(nb::handle value, std::string& out, const char* what) { Emitter(out, what).value(value); }

std::string text(nb::handle value, const char* what) {
    std::string out;
    emit(value, out, what);
    return out;
}

nb::object canonicalise(nb::handle value, const char* what) {
    py::Walk walk(what);
    return canonical(walk, value);
}

}  // namespace orvane::canonical_json
