// One run of a product, the way an engineer runs it: design parameters set,
// resources checked, the solver run and recorded, the results saved, gated and
// tagged.
#include <nanobind/nanobind.h>

#include <cmath>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "native/domain/results.h"
#include "native/domain/services.h"
#include "native/domain/solver_runs.h"
#include "native/domain/usd.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

py::CachedModule product_module{"orvane_platform.core.product"};

constexpr const char* kFunction = "run_product";

// The input overrides of a named test, or none.
nb::object test_overrides(nb::handle solver, nb::handle test, nb::handle product) {
    if (test.is_none()) return nb::none();
    nb::object resolved =
        services::solver_registry::resolve_test_preset(solver, test, product.attr("name"));
    nb::object error = resolved[1];
    if (!error.is_none()) py::raise(py::exc::value_error(), "%U", error.ptr());
    return resolved[0];
}

// Sets design parameters the product already has, each value before and
// after in the returned {name: [old, new]}. A name the product lacks is
// refused before anything is written: a typo must not become a new parameter.
nb::dict set_parameters(nb::handle product, nb::handle parameters) {
    nb::dict changed;
    if (parameters.is_none()) return changed;
    nb::object path = product.attr("usd_path");
    nb::object stage = usd::open_stage(nb::str(path));  // the prim lives as long as its stage
    nb::object prim = stage.attr("GetDefaultPrim")();
    std::vector<std::pair<nb::object, nb::object>> current;
    for (auto [name, value] : nb::borrow<nb::dict>(parameters)) {
        nb::object attribute = py::truthy(prim)
                                   ? prim.attr("GetAttribute")(py::concat("orvane:product:", name))
                                   : nb::none();
        if (!py::truthy(attribute)) {
            py::raise(py::exc::value_error(), "%U has no design parameter %R",
                      product.attr("name").ptr(), name.ptr());
        }
        current.emplace_back(nb::borrow(name), attribute.attr("Get")());
    }
    for (auto& [name, old_value] : current) {
        nb::object value = nb::borrow<nb::dict>(parameters)[name];
        product.attr("set_design_parameter")(name, value);
        changed[name] = nb::make_tuple(old_value, value);
    }
    return changed;
}

nb::object run_product(nb::handle usda_path, nb::handle domain, nb::handle solver, nb::handle test,
                       nb::handle parameters, nb::handle save, nb::handle baseline,
                       nb::handle progress) {
    nb::object path = py::require_path(usda_path, kFunction, "usda_path");
    py::require_str_or_none(domain, kFunction, "domain");
    py::require_str_or_none(solver, kFunction, "solver");
    py::require_str_or_none(test, kFunction, "test");
    py::require_dict_or_none(parameters, kFunction, "parameters");
    py::require_str(save, kFunction, "save");
    const std::string_view save_target = py::utf8(save);
    if (save_target != "prototype" && save_target != "design_intent" && save_target != "none") {
        py::raise(py::exc::value_error(),
                  "save must be 'prototype', 'design_intent' or 'none', not %R", save.ptr());
    }
    nb::object product = product_module.attr("Product")(path);
    const auto [run_solver, run_domain] = solver_runs::solver_and_domain(domain, solver, product);

    nb::dict summary;
    summary["product"] = nb::str(path);
    summary["domain"] = run_domain;
    summary["solver"] = run_solver;
    summary["parameters_set"] = set_parameters(product, parameters);
    summary["resources"] = solver_runs::resources(run_solver, path.attr("parent"));

    nb::object result = product.attr("simulate")(
        "domain"_a = run_domain, "solver"_a = run_solver,
        "overrides"_a = test_overrides(run_solver, test, product), "progress"_a = progress);
    const bool succeeded = py::get(result, "status", nb::none()).equal(nb::str("success"));
    summary["status"] = succeeded ? "success" : "error";
    summary["error"] = succeeded ? nb::none() : py::get(result, "error", nb::str("unknown error"));
    summary["run_id"] = py::get(result, "run_id", nb::none());
    summary["run_record"] = py::get(result, "run_record", nb::none());
    nb::object provenance = py::get(result, "provenance", nb::none());
    summary["fingerprint"] =
        provenance.is_none() ? nb::none() : py::get(provenance, "fingerprint", nb::none());
    nb::object kpis = succeeded ? results::domain_kpis(run_domain, result) : nb::object(nb::dict());
    summary["kpis"] = kpis;

    const bool saving = succeeded && save_target != "none" && py::truthy(kpis);
    if (saving) results::save(path, run_domain, result, kpis, save);
    summary["saved"] = saving ? nb::object(nb::borrow(save)) : nb::none();

    nb::dict by_domain;
    by_domain[run_domain] = result;
    nb::object gates =
        succeeded ? product.attr("evaluate_gates")("results"_a = by_domain) : nb::none();
    summary["gates"] = gates;

    const bool tag = py::truthy(baseline) && saving && save_target == "prototype";
    if (tag) services::product_twin::tag_baseline(path, run_domain, kpis);
    summary["baseline"] = tag;
    summary["passed"] = succeeded && !results::any_gate_failed(gates);
    summary["result"] = result;
    return summary;
}

nb::object set_design_parameters(nb::handle usda_path, nb::handle parameters) {
    constexpr const char* kSetFunction = "set_design_parameters";
    nb::object path = py::require_path(usda_path, kSetFunction, "usda_path");
    py::require_dict(parameters, kSetFunction, "parameters");
    return set_parameters(product_module.attr("Product")(path), parameters);
}

nb::object parse_assignments(nb::handle assignments) {
    nb::dict parsed;
    for (nb::handle assignment : assignments) {
        if (!nb::isinstance<nb::str>(assignment))
            py::raise_argument_type("parse_assignments", "assignments", "a list of str",
                                    assignment);
        const std::string_view text = py::utf8(assignment);
        const std::size_t equals = text.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            py::raise(py::exc::value_error(), "%R is not KEY=VALUE", assignment.ptr());
        }
        nb::object number = py::parse_float(text.substr(equals + 1));
        if (!number.is_valid() || !std::isfinite(py::float_value(number))) {
            py::raise(py::exc::value_error(), "the value of %R is not a number", assignment.ptr());
        }
        parsed[py::make_str(text.substr(0, equals))] = number;
    }
    return parsed;
}

}  // namespace

NB_MODULE(solver_run, m) {
    m.doc() = "Running a product's solver the way an engineer does, start to finish.";
    m.def("run_product", &run_product, nb::arg("usda_path").none(), nb::kw_only(),
          nb::arg("domain").none() = nb::none(), nb::arg("solver").none() = nb::none(),
          nb::arg("test").none() = nb::none(), nb::arg("parameters").none() = nb::none(),
          nb::arg("save").none() = "prototype", nb::arg("baseline").none() = false,
          nb::arg("progress").none() = nb::none(),
          nb::sig("def run_product(usda_path: str | os.PathLike[str], *, domain: str | None = "
                  "None, solver: str | None = None, test: str | None = None, parameters: "
                  "dict[str, float] | None = None, save: str = 'prototype', baseline: bool = "
                  "False, progress: typing.Callable[[float, str], object] | None = None) -> "
                  "dict[str, typing.Any]"),
          R"(Run the product's solver for a domain (or the named solver): set `parameters` as
          design parameters first, check the host's resources, run the solver (with the
          inputs of `test` when named) reporting `progress(elapsed, new_error_output)`, record
          the run, save its KPIs into `save` ('prototype', 'design_intent' or 'none') with
          their history entry, gate them, and tag them as the baseline when asked. Returns
          the run's summary: status, run_id, fingerprint, kpis, gates, `passed` (the run
          succeeded and no gate failed) and the solver's whole `result`.)");
    m.def("set_design_parameters", &set_design_parameters, nb::arg("usda_path").none(),
          nb::arg("parameters").none(),
          nb::sig("def set_design_parameters(usda_path: str | os.PathLike[str], parameters: "
                  "dict[str, float]) -> dict[str, tuple[float | None, float]]"),
          R"(Set design parameters the product already has; returns {name: (old, new)}.
          ValueError naming a parameter the product lacks, before anything is written.)");
    m.def("parse_assignments", &parse_assignments, nb::arg("assignments").none(),
          nb::sig("def parse_assignments(assignments: list[str]) -> dict[str, float]"),
          "Design-parameter assignments KEY=VALUE as {KEY: float(VALUE)}; ValueError naming a "
          "malformed one.");
}
