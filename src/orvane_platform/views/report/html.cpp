#include "html.h"

#include "native/py.h"
#include "native/text.h"

namespace orvane::report {

std::string shown(nb::handle value) {
    if (value.is_none()) return {};
    if (nb::isinstance<nb::float_>(value)) return py::format(value, ".6g");
    return py::display_text(value);
}

Html& Html::text(std::string_view utf8) {
    markup_ += text::escape_html(utf8);
    return *this;
}

Html& Html::raw(std::string_view markup) {
    markup_ += markup;
    return *this;
}

Html& Html::open(std::string_view tag, std::string_view attributes) {
    markup_.append("<").append(tag);
    if (!attributes.empty()) markup_.append(" ").append(attributes);
    markup_ += ">";
    return *this;
}

Html& Html::close(std::string_view tag) {
    markup_.append("</").append(tag).append(">");
    return *this;
}

Html& Html::element(std::string_view tag, std::string_view utf8, std::string_view attributes) {
    return open(tag, attributes).text(utf8).close(tag);
}

Html& Html::element(std::string_view tag, nb::handle value, std::string_view attributes) {
    return element(tag, std::string_view(shown(value)), attributes);
}

Html& Html::head_row(std::initializer_list<std::string_view> headings) {
    open("tr");
    for (std::string_view heading : headings) element("th", heading);
    return close("tr");
}

Html& Html::cell(nb::handle value) {
    const bool number = !nb::isinstance<nb::bool_>(value) && py::is_number(value);
    return element("td", value, number ? "class=\"number\"" : "");
}

std::string class_name(std::string_view text) {
    std::string name = text::lower_ascii(text);
    for (char& c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) c = '-';
    }
    return name;
}

}  // namespace orvane::report
