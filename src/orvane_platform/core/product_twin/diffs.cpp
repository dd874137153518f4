// Comparing two products, or a product with one of its competitors.
#include <algorithm>
#include <string>
#include <vector>

#include "native/py.h"
#include "native/usd.h"
#include "product_twin.h"

namespace orvane::product_twin {

namespace {

// (first, second, first - second), the difference None unless both are numbers.
nb::object diff_entry(nb::handle first, nb::handle second) {
    nb::object a = first.is_valid() ? nb::borrow(first) : nb::none();
    nb::object b = second.is_valid() ? nb::borrow(second) : nb::none();
    if (!py::is_number(a) || !py::is_number(b)) return nb::make_tuple(a, b, nb::none());
    nb::object difference = nb::steal(PyNumber_Subtract(a.ptr(), b.ptr()));
    if (!difference.is_valid()) throw nb::python_error();
    return nb::make_tuple(a, b, difference);
}

// Attribute names of a prim, without provenance.
std::vector<std::string> compared_names(nb::handle prim) {
    std::vector<std::string> names;
    for (nb::handle attribute : prim.attr("GetAttributes")()) {
        std::string name(py::utf8(attribute.attr("GetName")()));
        if (!name.starts_with("orvane:provenance:")) names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return names;
}

nb::object attribute_value(nb::handle prim, nb::handle name) {
    nb::object attribute = prim.attr("GetAttribute")(name);
    return py::truthy(attribute.attr("IsValid")()) ? attribute.attr("Get")() : nb::none();
}

}  // namespace

nb::object diff_products(nb::handle path_a, nb::handle path_b, nb::handle attrs) {
    py::require_path(path_a, "diff_products", "path_a");
    py::require_path(path_b, "diff_products", "path_b");
    if (!attrs.is_none() && !PyList_Check(attrs.ptr())) {
        py::raise_argument_type("diff_products", "attrs", "list or None", attrs);
    }
    nb::object first = load_product(path_a);
    nb::object second = load_product(path_b);
    nb::list keys;
    if (!attrs.is_none() && nb::len(attrs) > 0) {
        keys = nb::borrow<nb::list>(attrs);
    } else {
        for (auto [key, value] : nb::borrow<nb::dict>(first)) {
            if (py::is_number(value) && py::is_number(py::dict_get(second, key))) keys.append(key);
        }
        keys.sort();
    }
    nb::dict diff;
    for (nb::handle key : keys)
        diff[key] = diff_entry(py::dict_get(first, key), py::dict_get(second, key));
    return diff;
}

nb::object diff_against_benchmark(nb::handle usda_path, nb::handle competitor_name) {
    nb::object path = py::require_path(usda_path, "diff_against_benchmark", "usda_path");
    py::require_str(competitor_name, "diff_against_benchmark", "competitor_name");
    nb::object stage = usd::open_stage(nb::str(path));
    nb::object prim = stage.attr("GetDefaultPrim")();
    nb::object competitors_path = prim.attr("GetPath")().attr("AppendChild")("Competitors");
    nb::object competitor =
        stage.attr("GetPrimAtPath")(competitors_path.attr("AppendChild")(competitor_name));
    if (!py::truthy(competitor.attr("IsValid")())) {
        nb::list available;
        nb::object competitors = stage.attr("GetPrimAtPath")(competitors_path);
        if (py::truthy(competitors.attr("IsValid")())) {
            for (nb::handle child : competitors.attr("GetChildren")()) {
                available.append(child.attr("GetName")());
            }
        }
        PyErr_Format(PyExc_ValueError, "Competitor '%U' not found. Available: %R",
                     competitor_name.ptr(), available.ptr());
        throw nb::python_error();
    }
    const std::vector<std::string> own = compared_names(prim);
    const std::vector<std::string> theirs = compared_names(competitor);
    std::vector<std::string> shared;
    std::set_intersection(own.begin(), own.end(), theirs.begin(), theirs.end(),
                          std::back_inserter(shared));
    nb::dict diff;
    for (const std::string& name : shared) {
        nb::str key = py::make_str(name);
        diff[key] = diff_entry(attribute_value(prim, key), attribute_value(competitor, key));
    }
    return diff;
}

}  // namespace orvane::product_twin
