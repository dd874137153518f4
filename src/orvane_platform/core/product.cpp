// The product object: a product's root file with its dictionary, range
// targets and gates.
#include <nanobind/nanobind.h>

#include <string_view>

#include "native/history.h"
#include "native/py.h"
#include "native/py_class.h"

namespace nb = nanobind;
using namespace orvane;

namespace {

constexpr std::string_view kTargetPrefix = "target_";
constexpr std::string_view kSuffixes[] = {"_min", "_nominal", "_max"};

void init(nb::handle self, nb::handle usd_path) {
    nb::setattr(self, "usd_path", py::require_path(usd_path, "Product", "usd_path"));
}

nb::object name(nb::handle self) {
    return py::import_from("orvane_platform.core.product_twin",
                           "product_name_from_path")(self.attr("usd_path"));
}

nb::object specs(nb::handle self) {
    return py::import_from("orvane_platform.core.product_twin",
                           "load_product")(self.attr("usd_path"));
}

// target_<kpi>_<suffix> keys of the product dictionary, where a hand-set
// orvane:target: attribute already wins over a derived bare one.
nb::object targets(nb::handle self) {
    nb::dict found;
    for (auto [key, value] : nb::borrow<nb::dict>(self.attr("specs"))) {
        if (!PyUnicode_Check(key.ptr())) continue;
        const std::string_view text = py::utf8(key);
        if (!text.starts_with(kTargetPrefix)) continue;
        bool ranged = false;
        for (std::string_view suffix : kSuffixes) ranged = ranged || text.ends_with(suffix);
        const bool numeric =
            (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) || PyFloat_Check(value.ptr());
        if (!ranged || !numeric || text.size() <= kTargetPrefix.size()) continue;
        found[py::make_str(text.substr(kTargetPrefix.size()))] =
            nb::float_(PyFloat_AsDouble(value.ptr()));
    }
    return found;
}

// The latest recorded result of each domain, as a result dictionary the gates
// read: status "success" and the numbers of its history entry.
nb::object latest_results(nb::handle self) {
    nb::object records = py::import_from("orvane_platform.core.product_twin",
                                         "load_product_history")(self.attr("usd_path"));
    nb::dict latest;
    for (nb::handle record : records) {
        nb::object domain = record["domain"];
        if (!PyUnicode_Check(domain.ptr()) || nb::len(domain) == 0) continue;
        nb::dict result;
        result["status"] = "success";
        for (auto [key, value] : nb::borrow<nb::dict>(record)) {
            if (PyFloat_Check(value.ptr())) result[key] = value;
        }
        latest[domain] = result;
    }
    return latest;
}

}  // namespace

NB_MODULE(product, m) {
    m.doc() = "The product object of the platform: a product's root .usda with its range gates.";
    nb::object gates_mixin = py::import_from("orvane_platform.core.target_gates", "GatesMixin");
    py::ClassBuilder(m, "Product",
                     "A product: its root .usda file, dictionary, range targets and gates.",
                     nb::make_tuple(gates_mixin))
        .method("__init__", &init, nb::arg("usd_path").none(),
                nb::sig("def __init__(self, usd_path: str | os.PathLike[str]) -> None"),
                "A product by its root .usda file.")
        .property("name", &name, "The product's name: the folder that holds its root file.")
        .property("specs", &specs, "The product dictionary, read afresh from the stage.")
        .property(
            "targets", &targets,
            "Range targets as <kpi>_min, _nominal and _max floats; hand-set ones win over derived.")
        .method(
            "latest_results", &latest_results,
            nb::sig("def latest_results(self) -> dict[str, dict[str, typing.Any]]"),
            "The latest recorded result of each domain (from the results history), ready for the "
            "gates.")
        .finish();
}
