// Every YAML document the platform reads, parsed with PyYAML's safe loader
// within two bounds, so that no file or text costs more than its size allows:
// its length, and the entries its aliases expand to.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>

namespace orvane::yaml {

namespace nb = nanobind;

// The largest YAML file (in bytes) or text (in characters) read: 1 MiB.
inline constexpr std::size_t kMaxBytes = std::size_t{1} << 20;
// The most entries (mapping entries, sequence items) a document may hold
// once its aliases are expanded. Each entry takes at least one character, so
// no document within kMaxBytes reaches it without aliases; walks over loaded
// data that do not share what it shares (canonical JSON) stay bounded by it.
inline constexpr std::size_t kMaxEntries = kMaxBytes;

// Which implementation of the safe loader parses a text.
enum class Loader { python, libyaml };

// The document in `text` (a str). ValueError naming `what` when the text is
// longer than kMaxBytes, expands to more than kMaxEntries or refers to
// itself; yaml.YAMLError when it is not YAML. libyaml is used when PyYAML
// was built with it (else the Python loader): it may read a few documents
// differently, so it is for what only searches.
nb::object load(nb::handle text, const std::string& what, Loader loader = Loader::python);

// The document in the file at `path` (None for an empty file), read with the
// GIL released. ValueError naming the file when it is larger than kMaxBytes,
// is not YAML, expands to more than kMaxEntries or refers to itself.
nb::object load_file(const std::string& path);

}  // namespace orvane::yaml
