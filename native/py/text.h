// str objects and UTF-8: decoding, encoding, file system names, and the
// typed text (str, repr, format) that messages are built from.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace orvane::py {

namespace nb = nanobind;

// UTF-8 view of a str object, valid while the object lives.
std::string_view utf8(nb::handle text);
nb::str make_str(std::string_view utf8_text);
// Bytes decoded as UTF-8: strictly (UnicodeDecodeError) or with U+FFFD for
// every undecodable byte.
enum class Undecodable : bool { raise, replace };
nb::str decode_utf8(std::string_view bytes, Undecodable undecodable);
// Whether a text ends where the bytes end, or may go on in bytes not read yet.
enum class AtEnd : bool { no, yes };
// Checks `bytes` as the host's UTF-8 decoder does, raising UnicodeDecodeError
// for invalid ones. With AtEnd::no a character cut off at the end is not an
// error. Returns how many leading bytes hold complete characters.
std::size_t validate_utf8(std::string_view bytes, AtEnd at_end);
// A path in the file system's encoding, as the host decodes os.listdir names.
nb::str decode_fs(std::string_view path);
// A path-like object in the file system's encoding, for native file calls.
std::string fs_path(nb::handle path);
// a + b for two str objects (TypeError when either is not a str).
nb::str concat(nb::handle a, nb::handle b);
nb::str concat(const char* a, nb::handle b);
// str(value), repr(value) and format(value, spec) as UTF-8.
std::string text(nb::handle value);
// str(value) as UTF-8 for display: a character UTF-8 cannot hold (a lone
// surrogate from an undecodable file name) becomes "?" instead of raising.
std::string display_text(nb::handle value);
std::string repr(nb::handle value);
std::string format(nb::handle value, const char* spec);
std::string type_name_of(nb::handle value);

// The text of a str whose characters are all ASCII, read in place; nothing
// for any other str.
inline std::optional<std::string_view> ascii_text(nb::handle text) {
    if (!PyUnicode_IS_ASCII(text.ptr())) return std::nullopt;
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(text.ptr())),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr())));
}

// The characters of a str, read in place (no copy): for scans over every
// character of long texts.
class Characters {
  public:
    explicit Characters(nb::handle text)
        : kind_(PyUnicode_KIND(text.ptr())),
          data_(PyUnicode_DATA(text.ptr())),
          length_(static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr()))) {}
    std::size_t size() const { return length_; }
    char32_t operator[](std::size_t index) const {
        return PyUnicode_READ(kind_, data_, static_cast<Py_ssize_t>(index));
    }

  private:
    int kind_;
    const void* data_;
    std::size_t length_;
};

}  // namespace orvane::py
