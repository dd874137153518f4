// Comparing two products, or a product with one of its competitors.
#include <algorithm>
#include <string>
#include <vector>

#include "native/domain/diff.h"
#include "native/domain/usd.h"
#include "native/py.h"
#include "product_twin.h"

namespace orvane::product_twin {

namespace {

// Attribute names of a prim, without provenance.
std::vector<std::string> compared_names(nb::handle prim) {
    std::vector<std::string> names;
    const usd::AttributeMethods& methods = usd::attribute_methods();
    for (nb::handle attribute : prim.attr("GetAttributes")()) {
        std::string name(py::utf8(methods.get_name(attribute)));
        if (!name.starts_with("orvane:provenance:")) names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return names;
}

nb::object attribute_value(nb::handle prim, nb::handle name) {
    nb::object attribute = prim.attr("GetAttribute")(name);
    return py::truthy(attribute.attr("IsValid")()) ? attribute.attr("Get")() : nb::none();
}

nb::object diff_products(nb::handle path_a, nb::handle path_b, nb::handle attrs) {
    py::require_path(path_a, "diff_products", "path_a");
    py::require_path(path_b, "diff_products", "path_b");
    py::require<nb::list>(attrs, "diff_products", "attrs", py::NoneAllowed::yes);
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
        diff[key] = diff::triple(py::dict_get(first, key), py::dict_get(second, key));
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
        py::raise(py::exc::value_error(), "Competitor '" + py::display_text(competitor_name) +
                                              "' not found. Available: " + py::repr(available));
    }
    const std::vector<std::string> own = compared_names(prim);
    const std::vector<std::string> theirs = compared_names(competitor);
    std::vector<std::string> shared;
    std::set_intersection(own.begin(), own.end(), theirs.begin(), theirs.end(),
                          std::back_inserter(shared));
    nb::dict diff;
    for (const std::string& name : shared) {
        nb::str key = py::make_str(name);
        diff[key] = diff::triple(attribute_value(prim, key), attribute_value(competitor, key));
    }
    return diff;
}

}  // namespace

void bind_diffs(nb::module_& m) {
    m.def(
        "diff_products", &diff_products, nb::arg("path_a").none(), nb::arg("path_b").none(),
        nb::arg("attrs").none() = nb::none(),
        nb::sig("def diff_products(path_a: str | os.PathLike[str], path_b: str | "
                "os.PathLike[str], attrs: list[str] | None = None) -> dict[str, tuple[typing.Any, "
                "typing.Any, typing.Any]]"),
        R"((first, second, first - second) per product-dictionary key: the keys in `attrs`, or
        every key numeric in both.)");
    m.def("diff_against_benchmark", &diff_against_benchmark, nb::arg("usda_path").none(),
          nb::arg("competitor_name").none(),
          nb::sig("def diff_against_benchmark(usda_path: str | os.PathLike[str], "
                  "competitor_name: str) -> dict[str, tuple[typing.Any, typing.Any, typing.Any]]"),
          R"((own, competitor, own - competitor) per attribute shared with the competitor prim
          Competitors/<name>, provenance left out.)");
}

}  // namespace orvane::product_twin
