// A small HTML writer for the report: every text goes through the escaper;
// only markup this module writes itself (tags, classes) goes in raw.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace orvane::report {

namespace nb = nanobind;

// A value as the report shows it: floats to 6 significant digits, None as
// nothing, anything else as str() (undecodable characters as "?").
std::string shown(nb::handle value);

class Html {
  public:
    // Escaped text.
    Html& text(std::string_view utf8);
    Html& text(nb::handle value) { return text(shown(value)); }
    // Markup made by this module or by matplotlib, as it is.
    Html& raw(std::string_view markup);
    // <tag attributes>; the attributes are this module's own, never file text.
    Html& open(std::string_view tag, std::string_view attributes = {});
    Html& close(std::string_view tag);
    // <tag attributes>text</tag>
    Html& element(std::string_view tag, std::string_view utf8, std::string_view attributes = {});
    Html& element(std::string_view tag, nb::handle value, std::string_view attributes = {});

    // A table's head row.
    Html& head_row(std::initializer_list<std::string_view> headings);
    // A table cell with a value: right-aligned when it is a number.
    Html& cell(nb::handle value);

    const std::string& str() const { return markup_; }

  private:
    std::string markup_;
};

// A class name made of `text`: lower-case letters, digits and "-" only.
std::string class_name(std::string_view text);

}  // namespace orvane::report
