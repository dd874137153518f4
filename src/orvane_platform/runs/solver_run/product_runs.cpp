// One run of a product, the way an engineer runs it: design parameters set,
// resources checked, the solver run and recorded, the results saved, gated and
// tagged; and the pieces of it that sweeps share.
#include <nanobind/nanobind.h>

#include <cmath>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "native/domain/product_lock.h"
#include "native/domain/results.h"
#include "native/domain/services.h"
#include "native/domain/usd.h"
#include "native/py.h"
#include "solver_run.h"

namespace orvane::solver_run {

namespace {

using namespace nb::literals;

constexpr const char* kRunProduct = "run_product";

// The solver of a run of `product` and its domain, from whichever of the two
// was given (the product's default solver for the domain when only the
// domain is); ValueError naming what the registry lacks.
std::pair<nb::object, nb::object> solver_and_domain(nb::handle product, nb::handle domain,
                                                    nb::handle solver) {
    if (!solver.is_none()) {
        if (!py::truthy(services::solver_registry::get_solver_config(solver)))
            py::raise(py::exc::value_error(), "no solver " + py::repr(solver) + " is registered");
        if (!domain.is_none()) return {nb::borrow(solver), nb::borrow(domain)};
        nb::object schemas = services::solver_registry::get_domain_schemas();
        for (auto [name, schema] : nb::borrow<nb::dict>(schemas)) {
            if (py::contains(py::get(schema, "solvers", nb::list()), solver))
                return {nb::borrow(solver), nb::borrow(name)};
        }
        py::raise(py::exc::value_error(),
                  "solver " + py::repr(solver) + " declares no domain (kpi_spec.yaml)");
    }
    if (domain.is_none()) py::raise(py::exc::value_error(), "a run needs a domain or a solver");
    nb::object chosen = product.attr("default_solver")(domain);
    if (chosen.is_none())
        py::raise(py::exc::value_error(), "no solver is registered for domain " + py::repr(domain));
    return {chosen, nb::borrow(domain)};
}

nb::object choose_solver(nb::handle product, nb::handle domain, nb::handle solver) {
    py::require_str_or_none(domain, "choose_solver", "domain");
    py::require_str_or_none(solver, "choose_solver", "solver");
    auto [chosen_solver, chosen_domain] = solver_and_domain(product, domain, solver);
    return nb::make_tuple(chosen_solver, chosen_domain);
}

// The resource gate's verdict for the solver on this host, as
// {severity, messages}; `workspace` is the folder the run writes in.
nb::dict resource_verdict(nb::handle solver, nb::handle workspace) {
    nb::object verdict =
        services::capacity_gate::gate_solver_resources(solver, "workspace"_a = workspace);
    nb::dict shown;
    shown["severity"] = verdict.attr("severity");
    shown["messages"] = verdict.attr("messages");
    return shown;
}

// The KPIs of the domain's schema that a result carries, as numbers: a
// believed result carries each as a number or a number's text.
nb::dict result_kpis(nb::handle domain, nb::handle result) {
    nb::dict numbers;
    for (auto [kpi, value] : nb::borrow<nb::dict>(results::domain_kpis(domain, result)))
        numbers[kpi] = py::to_float(value);
    return numbers;
}

nb::object product_at(nb::handle path) { return services::product::product_class(path); }

nb::object save_run_binding(nb::handle usda_path, nb::handle domain, nb::handle result,
                            nb::handle design, nb::handle save) {
    constexpr const char* kFunction = "save_run";
    nb::object path = py::require_path(usda_path, kFunction, "usda_path");
    py::require_str(domain, kFunction, "domain");
    py::require_dict(result, kFunction, "result");
    py::require_dict_or_none(design, kFunction, "design");
    py::require_str(save, kFunction, "save");
    if (py::utf8(save) != "prototype" && py::utf8(save) != "design_intent")
        py::raise(py::exc::value_error(),
                  "save must be 'prototype' or 'design_intent', not " + py::repr(save));
    nb::dict kpis = result_kpis(domain, result);
    if (py::truthy(kpis)) save_run(product_at(path), domain, result, kpis, design, save);
    return kpis;
}

// The input overrides of a named test, or none.
nb::object test_overrides(nb::handle solver, nb::handle test, nb::handle product) {
    if (test.is_none()) return nb::none();
    nb::object resolved =
        services::solver_registry::resolve_test_preset(solver, test, product.attr("name"));
    nb::object error = resolved[1];
    if (!error.is_none()) py::raise(py::exc::value_error(), py::display_text(error));
    return resolved[0];
}

// The design parameters a run changes, each value before and after in the
// returned {name: (old, new)}. A name the product lacks is refused before
// anything runs or is written: a typo must not become a new parameter.
nb::dict design_changes(nb::handle product, nb::handle parameters) {
    nb::dict changes;
    if (parameters.is_none()) return changes;
    nb::object path = product.attr("usd_path");
    nb::object stage = usd::open_stage(nb::str(path));  // keeps the prim alive
    nb::object prim = stage.attr("GetDefaultPrim")();
    for (auto [name, value] : nb::borrow<nb::dict>(parameters)) {
        nb::object attribute = py::truthy(prim)
                                   ? prim.attr("GetAttribute")(py::concat("orvane:product:", name))
                                   : nb::none();
        if (!py::truthy(attribute)) {
            py::raise(py::exc::value_error(), py::display_text(product.attr("name")) +
                                                  " has no design parameter " + py::repr(name));
        }
        changes[name] = nb::make_tuple(attribute.attr("Get")(), value);
    }
    return changes;
}

// {name: new} of changes {name: (old, new)}.
nb::dict new_values(nb::handle changes) {
    nb::dict values;
    for (auto [name, change] : nb::borrow<nb::dict>(changes)) values[name] = change[1];
    return values;
}

nb::object run_product(nb::handle usda_path, nb::handle domain, nb::handle solver, nb::handle test,
                       nb::handle parameters, nb::handle save, nb::handle baseline,
                       nb::handle progress) {
    nb::object path = py::require_path(usda_path, kRunProduct, "usda_path");
    py::require_str_or_none(domain, kRunProduct, "domain");
    py::require_str_or_none(solver, kRunProduct, "solver");
    py::require_str_or_none(test, kRunProduct, "test");
    py::require_dict_or_none(parameters, kRunProduct, "parameters");
    py::require_str(save, kRunProduct, "save");
    const std::string_view save_target = py::utf8(save);
    if (save_target != "prototype" && save_target != "design_intent" && save_target != "none") {
        py::raise(py::exc::value_error(),
                  "save must be 'prototype', 'design_intent' or 'none', not " + py::repr(save));
    }
    nb::object product = product_at(path);
    const auto [run_solver, run_domain] = solver_and_domain(product, domain, solver);
    const nb::dict changes = design_changes(product, parameters);
    const nb::dict design = new_values(changes);

    nb::dict summary;
    summary["product"] = nb::str(path);
    summary["domain"] = run_domain;
    summary["solver"] = run_solver;
    summary["parameters_set"] = changes;
    summary["resources"] = resource_verdict(run_solver, path.attr("parent"));

    // The design changes go into the run's case only; the product takes them
    // with the results, or not at all.
    nb::dict request;
    request["domain"] = run_domain;
    request["solver"] = run_solver;
    request["overrides"] = test_overrides(run_solver, test, product);
    request["design"] = design;
    request["progress"] = progress;
    nb::dict result = simulate(product, request);
    const bool succeeded = py::get(result, "status", nb::none()).equal(nb::str("success"));
    summary["status"] = succeeded ? "success" : "error";
    summary["error"] = succeeded ? nb::none() : py::get(result, "error", nb::str("unknown error"));
    summary["run_id"] = py::get(result, "run_id", nb::none());
    summary["run_record"] = py::get(result, "run_record", nb::none());
    nb::object provenance = py::get(result, "provenance", nb::none());
    summary["fingerprint"] =
        provenance.is_none() ? nb::none() : py::get(provenance, "fingerprint", nb::none());
    nb::dict kpis = succeeded ? result_kpis(run_domain, result) : nb::dict();
    summary["kpis"] = kpis;

    const bool saving = succeeded && save_target != "none" && py::truthy(kpis);
    if (saving) save_run(product, run_domain, result, kpis, design, save);
    summary["saved"] = saving ? nb::object(nb::borrow(save)) : nb::none();
    summary["design_saved"] = saving && nb::len(changes) > 0;

    nb::dict by_domain;
    by_domain[run_domain] = result;
    summary["run_gates"] =
        succeeded ? product.attr("evaluate_gates")("results"_a = by_domain) : nb::none();

    const bool tag = py::truthy(baseline) && saving && save_target == "prototype";
    if (tag) services::product_twin::tag_baseline(path, run_domain, kpis);
    summary["baseline"] = tag;
    // One verdict: the product's gates over every domain as they stand now,
    // as `orvane gates` gives them.
    nb::object gates = services::twin_state::product_gates(path);
    summary["gates"] = gates;
    summary["passed"] = succeeded && py::truthy(gates["all_passed"]);
    summary["result"] = result;
    return summary;
}

nb::object set_design_parameters(nb::handle usda_path, nb::handle parameters) {
    constexpr const char* kFunction = "set_design_parameters";
    nb::object path = py::require_path(usda_path, kFunction, "usda_path");
    py::require_dict(parameters, kFunction, "parameters");
    nb::object product = product_at(path);
    const nb::dict changes = design_changes(product, parameters);
    check_design_for_product(product, parameters);
    const product_lock::ProductLock lock(path);
    for (auto [name, change] : changes) product.attr("set_design_parameter")(name, change[1]);
    return changes;
}

nb::object parse_assignments(nb::handle assignments) {
    nb::dict parsed;
    for (nb::handle assignment : assignments) {
        if (!nb::isinstance<nb::str>(assignment))
            py::raise_argument_type("parse_assignments", "assignments", "a list of str",
                                    assignment);
        const std::string_view text = py::utf8(assignment);
        const std::size_t equals = text.find('=');
        if (equals == std::string_view::npos || equals == 0)
            py::raise(py::exc::value_error(), py::repr(assignment) + " is not KEY=VALUE");
        nb::object number = py::parse_float(text.substr(equals + 1));
        if (!number.is_valid() || !std::isfinite(py::float_value(number))) {
            py::raise(py::exc::value_error(),
                      "the value of " + py::repr(assignment) + " is not a number");
        }
        parsed[py::make_str(text.substr(0, equals))] = number;
    }
    return parsed;
}

}  // namespace

void bind_product_runs(nb::module_& m) {
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
          R"(Run the product's solver for a domain (or the named solver) with `parameters`
          changing design parameters the product has, for this run: check the host's
          resources, run the solver (with the inputs of `test` when named) reporting
          `progress(elapsed, new_error_output)` and record the run. When it succeeds and `save`
          is 'prototype' or 'design_intent', the design changes and the KPIs (with their
          history entry, or derived targets) enter the product together, in one locked step;
          with 'none', or when the run fails, the product is left as it was (a what-if).
          Tags the baseline when asked. Returns the run's summary: status, run_id,
          fingerprint, kpis, parameters_set ({name: (old, new)}), design_saved, run_gates
          (this run's KPIs against the targets), gates (the product's gates over every domain
          afterwards, with `stale` KPIs, as `orvane gates` gives them), `passed` (the run
          succeeded and those gates pass) and the solver's whole `result`.)");
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
    m.def("choose_solver", &choose_solver, nb::arg("product").none(), nb::kw_only(),
          nb::arg("domain").none() = nb::none(), nb::arg("solver").none() = nb::none(),
          nb::sig("def choose_solver(product: object, *, domain: str | None = None, solver: str "
                  "| None = None) -> tuple[str, str]"),
          R"(The (solver, domain) of a run of `product` from whichever was given: the named
          solver and its registered domain, or the product's default solver for the domain.
          ValueError naming what the registry lacks.)");
    m.def("resource_verdict", &resource_verdict, nb::arg("solver").none(),
          nb::arg("workspace").none(),
          nb::sig("def resource_verdict(solver: str, workspace: str | os.PathLike[str]) -> "
                  "dict[str, typing.Any]"),
          R"(The resource gate's advisory verdict for the solver on this host, as {severity,
          messages}; `workspace` is the folder the run writes in.)");
    m.def("result_kpis", &result_kpis, nb::arg("domain").none(), nb::arg("result").none(),
          nb::sig("def result_kpis(domain: str, result: dict[str, typing.Any]) -> dict[str, "
                  "typing.Any]"),
          "The KPIs of the domain's schema that a solver result carries.");
    m.def("save_run", &save_run_binding, nb::arg("usda_path").none(), nb::arg("domain").none(),
          nb::arg("result").none(), nb::kw_only(), nb::arg("design").none() = nb::none(),
          nb::arg("save").none() = "prototype",
          nb::sig("def save_run(usda_path: str | os.PathLike[str], domain: str, result: dict[str, "
                  "typing.Any], *, design: dict[str, float] | None = None, save: str = "
                  "'prototype') -> dict[str, typing.Any]"),
          R"(Save a run into the product in one locked step: `design` ({parameter: value}, the
          values the run was made with) into the product's design, and the run's KPIs into
          the `save` layer ('prototype', or 'design_intent' for derived targets) with their
          provenance, parameters and history entry. Returns the KPIs saved (none when the
          result carries none: nothing is written then).)");
}

}  // namespace orvane::solver_run
