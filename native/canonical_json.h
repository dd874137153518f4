// Canonical JSON: one text for one logical payload, so that its SHA-256 is
// reproducible. Floats are written fixed-point at six places (trailing zeros
// dropped), never in exponent form; strings as json.dumps escapes them; the
// members of a mapping sorted by the host's own comparison of their keys.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace orvane::canonical_json {

namespace nb = nanobind;

// The normalised tree: None, bools, ints, floats and strings unchanged,
// mappings and sequences copied, anything else as its str(). A structure
// that contains itself raises ValueError "<what> refers to itself".
nb::object canonicalise(nb::handle value, const char* what);

// Appends the JSON text of `value` (normalised or not: what normalisation
// would change is written the same way) to `out`; ValueError as above.
void emit(nb::handle value, std::string& out, const char* what);

// The JSON text of `value`.
std::string text(nb::handle value, const char* what);

// json.dumps(text) with the default ensure_ascii escaping.
void emit_string(nb::handle text, std::string& out);

// A float as canonical JSON writes it.
std::string float_text(double value);

}  // namespace orvane::canonical_json
