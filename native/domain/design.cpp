#include "native/domain/design.h"

#include <cmath>

#include "native/domain/targets.h"
#include "native/numbers.h"
#include "native/py.h"

namespace orvane::design {

namespace {

// A bound as declared: a finite number (not a bool), or nothing for none.
std::optional<double> declared_bound(nb::handle bounds, const char* key, const std::string& where,
                                     const std::string& context) {
    nb::object value = py::dict_get(bounds, key);
    if (!value.is_valid() || value.is_none()) return std::nullopt;
    const bool number = py::is_number(value) && !nb::isinstance<nb::bool_>(value);
    if (!number || !std::isfinite(py::to_double(value)))
        py::raise(py::exc::value_error(), context + "'" + where + "." + key +
                                              "' must be a finite number, got " + py::repr(value));
    return py::to_double(value);
}

nb::object declared_choices(nb::handle bounds, const std::string& where,
                            const std::string& context) {
    nb::object choices = py::dict_get(bounds, "choices");
    if (!choices.is_valid() || choices.is_none()) return {};
    bool texts = nb::isinstance<nb::list>(choices) && nb::len(choices) > 0;
    if (texts) {
        for (nb::handle choice : choices) texts = texts && nb::isinstance<nb::str>(choice);
    }
    if (!texts)
        py::raise(py::exc::value_error(), context + "'" + where +
                                              ".choices' must be a non-empty list of texts, got " +
                                              py::repr(choices));
    return choices;
}

// One entry of the mapping form: null, or {min, max} or {choices}.
Parameter declared_entry(nb::handle name, nb::handle bounds, const std::string& context) {
    Parameter parameter{nb::borrow(name), std::nullopt, std::nullopt, {}};
    if (bounds.is_none()) return parameter;
    const std::string where = "design." + py::display_text(name);
    if (!nb::isinstance<nb::dict>(bounds))
        py::raise(py::exc::value_error(), context + "'" + where +
                                              "' must be a mapping of min, max or choices, or "
                                              "null, got " +
                                              py::type_name_of(bounds));
    for (nb::handle key : bounds) {
        // A misspelt bound would silently bound nothing.
        const bool known =
            nb::isinstance<nb::str>(key) &&
            (py::utf8(key) == "min" || py::utf8(key) == "max" || py::utf8(key) == "choices");
        if (!known)
            py::raise(py::exc::value_error(), context + "'" + where + "' has an unknown member " +
                                                  py::repr(key) + " (min, max or choices)");
    }
    parameter.min = declared_bound(bounds, "min", where, context);
    parameter.max = declared_bound(bounds, "max", where, context);
    parameter.choices = declared_choices(bounds, where, context);
    if (parameter.choices.is_valid() && (parameter.min || parameter.max))
        py::raise(py::exc::value_error(),
                  context + "'" + where + "' has choices (texts) and min or max (numbers)");
    if (parameter.min && parameter.max && *parameter.min > *parameter.max)
        py::raise(py::exc::value_error(),
                  context + "'" + where + "' has its min " + numbers::shortest(*parameter.min) +
                      " above its max " + numbers::shortest(*parameter.max));
    return parameter;
}

}  // namespace

std::vector<Parameter> declared(nb::handle design, const std::string& context) {
    std::vector<Parameter> parameters;
    if (!design.is_valid() || design.is_none()) return parameters;
    if (nb::isinstance<nb::list>(design)) {
        for (nb::handle name : design) {
            if (!nb::isinstance<nb::str>(name))
                py::raise(py::exc::value_error(),
                          context + "'design' must list names, got " + py::repr(name));
            parameters.push_back({nb::borrow(name), std::nullopt, std::nullopt, {}});
        }
        return parameters;
    }
    if (!nb::isinstance<nb::dict>(design))
        py::raise(py::exc::value_error(),
                  context +
                      "'design' must be a list of names or a mapping of names to bounds, "
                      "got " +
                      py::type_name_of(design));
    for (auto [name, bounds] : nb::borrow<nb::dict>(design)) {
        if (!nb::isinstance<nb::str>(name))
            py::raise(py::exc::value_error(),
                      context + "'design' must map names to bounds, got the key " + py::repr(name));
        parameters.push_back(declared_entry(name, bounds, context));
    }
    return parameters;
}

bool all_present(const std::vector<Parameter>& parameters, nb::handle names) {
    for (const Parameter& parameter : parameters) {
        if (!py::contains(names, parameter.name)) return false;
    }
    return true;
}

nb::dict values(nb::handle product) {
    nb::list names(py::get(product, "_design_keys", nb::set()));
    names.sort();
    nb::dict found;
    for (nb::handle name : names) {
        if (nb::isinstance<nb::str>(name) && py::utf8(name).starts_with(targets::kDerivedPrefix))
            continue;
        nb::object value = py::dict_get_or(product, name, nb::none());
        if (nb::isinstance<nb::float_>(value) || nb::isinstance<nb::int_>(value) ||
            nb::isinstance<nb::str>(value))
            found[name] = value;
    }
    return found;
}

}  // namespace orvane::design
