// One case of a recorded sweep saved into its product. The case's run file is
// the truth: it must still be there with a fingerprint that verifies, and the
// product must be able to take the design the run was made with, so that its
// design and its results agree afterwards.
#include "apply.h"

#include <cmath>
#include <optional>
#include <string>

#include "native/domain/design.h"
#include "native/domain/product_lock.h"
#include "native/domain/results.h"
#include "native/domain/services.h"
#include "native/py.h"
#include "native/yaml.h"
#include "records.h"

namespace orvane::sweep {

namespace {

using namespace nb::literals;

constexpr const char* kFunction = "apply_case";

bool plain_number(nb::handle value) {
    return py::is_number(value) && !nb::isinstance<nb::bool_>(value);
}

bool succeeded(nb::handle entry) {
    nb::object status = py::get(entry, "status", nb::none());
    return status.equal(nb::str("success")) || status.equal(nb::str("cached"));
}

// A case's value of `kpi`, when it has a finite one.
std::optional<double> kpi_value(nb::handle entry, nb::handle kpi) {
    nb::object kpis = py::get(entry, "kpis", nb::none());
    if (!nb::isinstance<nb::dict>(kpis)) return std::nullopt;
    nb::object value = py::dict_get(kpis, kpi);
    if (!value.is_valid() || !plain_number(value)) return std::nullopt;
    const double number = py::to_double(value);
    return std::isfinite(number) ? std::optional(number) : std::nullopt;
}

// Whether the lowest value of `kpi` is the best: as asked, else as the KPI's
// direction in its domain's schema says.
bool lowest_is_best(nb::handle domain, nb::handle kpi, nb::handle lowest) {
    if (!lowest.is_none()) return py::truthy(lowest);
    nb::object definitions = py::get(results::domain_schema(domain), "kpis", nb::none());
    nb::object definition = nb::isinstance<nb::dict>(definitions)
                                ? py::dict_get_or(definitions, kpi, nb::none())
                                : nb::none();
    nb::object direction = nb::isinstance<nb::dict>(definition)
                               ? py::get(definition, "direction", nb::none())
                               : nb::none();
    if (direction.equal(nb::str("minimize"))) return true;
    if (direction.equal(nb::str("maximize"))) return false;
    py::raise(py::exc::value_error(),
              "the KPI " + py::repr(kpi) + " of domain " + py::repr(domain) +
                  " is neither minimised nor maximised: say which is best with --min or --max "
                  "(lowest=True or False)");
}

// The case `index`, or the successful case with the best value of `best`
// (the first of equals).
nb::dict choose_case(nb::handle sweep_id, nb::handle record, std::optional<long long> index,
                     nb::handle best, nb::handle lowest) {
    const std::string sweep = "sweep " + py::repr(sweep_id);
    nb::list cases = nb::borrow<nb::list>(record["cases"]);
    const auto count = static_cast<long long>(nb::len(cases));
    nb::object chosen;
    if (index) {
        if (*index >= count)
            py::raise(py::exc::value_error(), sweep + " has no case " + std::to_string(*index) +
                                                  ": its cases are 0 to " +
                                                  std::to_string(count - 1));
        chosen = cases[static_cast<std::size_t>(*index)];
        if (nb::isinstance<nb::dict>(chosen) && !succeeded(chosen))
            py::raise(py::exc::value_error(),
                      "case " + std::to_string(*index) + " of " + sweep + " did not succeed (" +
                          py::repr(py::get(chosen, "status", nb::none())) + "): it has no results");
    } else {
        std::optional<double> best_value;
        bool lowest_best = true;
        for (nb::handle entry : cases) {
            const std::optional<double> value =
                succeeded(entry) ? kpi_value(entry, best) : std::nullopt;
            if (!value) continue;
            if (!best_value) lowest_best = lowest_is_best(record["domain"], best, lowest);
            if (!best_value || (lowest_best ? *value < *best_value : *value > *best_value)) {
                best_value = value;
                chosen = nb::borrow(entry);
            }
        }
        if (!best_value)
            py::raise(py::exc::value_error(),
                      "no successful case of " + sweep + " has the KPI " + py::repr(best));
    }
    if (!nb::isinstance<nb::dict>(chosen))
        py::raise(py::exc::value_error(),
                  "a case of " + sweep + " is not a case: " + py::display_text(nb::repr(chosen)));
    return nb::borrow<nb::dict>(chosen);
}

// The case's run as its run file holds it; refused unless it is the run the
// sweep recorded and its fingerprint still verifies against its inputs.
nb::object verified_run(nb::handle product, nb::handle entry) {
    nb::object run_id = py::get(entry, "run_id", nb::none());
    if (!nb::isinstance<nb::str>(run_id))
        py::raise(py::exc::value_error(), "the case names no run: " + py::repr(run_id));
    const std::string run = "run " + py::repr(run_id);
    nb::object found = services::run_index::describe_run(run_id, "usda_path"_a = product);
    if (found.is_none())
        py::raise(py::exc::value_error(), "the " + run + " is gone: no run file of " +
                                              py::display_text(product) + " holds it");
    if (!found["status"].equal(nb::str("success")))
        py::raise(py::exc::value_error(), "the " + run + " did not succeed");
    if (!found["fingerprint"].equal(py::get(entry, "fingerprint", nb::none())))
        py::raise(py::exc::value_error(),
                  "the " + run + " no longer has the fingerprint the sweep recorded");
    nb::object verification = found["verification"];
    nb::object status =
        verification.is_none() ? nb::none() : py::get(verification, "status", nb::none());
    if (!status.equal(nb::str("verified")))
        py::raise(py::exc::value_error(), "the fingerprint of " + run + " no longer verifies (" +
                                              py::display_text(status) +
                                              "): its record was changed");
    return found;
}

// The design section of the run's case.
nb::dict case_design(nb::handle run) {
    nb::object text = run["case"];
    nb::object parsed = nb::isinstance<nb::str>(text)
                            ? yaml::load(text, "the case of run " + py::repr(run["run_id"]))
                            : nb::object(nb::none());
    nb::object design = nb::isinstance<nb::dict>(parsed) ? py::get(parsed, "design", nb::none())
                                                         : nb::object(nb::none());
    if (!nb::isinstance<nb::dict>(design))
        py::raise(py::exc::value_error(),
                  "the case of run " + py::repr(run["run_id"]) + " holds no design");
    return nb::borrow<nb::dict>(design);
}

// {name: (old, new)} of the numbers that make the product's design the
// run's; anything else that differs is refused, as a design no run was made
// with would be left behind.
nb::dict design_changes(nb::handle product, nb::handle current, nb::handle wanted,
                        nb::handle run_id) {
    const std::string run = "run " + py::repr(run_id);
    const std::string name_of_product = py::display_text(product.attr("parent").attr("name"));
    nb::dict changes;
    for (auto [name, value] : nb::borrow<nb::dict>(wanted)) {
        nb::object now = py::dict_get(current, name);
        if (!now.is_valid())
            py::raise(py::exc::value_error(), name_of_product + " has no design parameter " +
                                                  py::repr(name) + " of " + run + " any more");
        if (now.equal(value)) continue;
        if (!plain_number(now) || !plain_number(value))
            py::raise(py::exc::value_error(), "the design value " + py::repr(name) + " of " + run +
                                                  " is " + py::repr(value) + ", the product's is " +
                                                  py::repr(now) + ": only numbers are applied");
        changes[name] = nb::make_tuple(now, py::to_float(value));
    }
    for (auto [name, now] : nb::borrow<nb::dict>(current)) {
        if (!py::contains(wanted, name))
            py::raise(py::exc::value_error(), "the case of " + run + " has no design value " +
                                                  py::repr(name) + ", which " + name_of_product +
                                                  " has now");
    }
    return changes;
}

// The run's result as the run path hands it on to be saved: its scalars and
// KPIs, solver, provenance, parameter snapshot and assumptions.
nb::dict run_result(nb::handle run) {
    nb::dict result = py::dict_copy(run["results"]);
    result.update(run["kpis"]);
    for (const char* key : {"status", "solver", "provenance", "parameters", "assumptions"})
        result[key] = run[key];
    return result;
}

nb::object apply_case(nb::handle sweep_id, nb::handle index, nb::handle best, nb::handle lowest) {
    py::require_str(sweep_id, kFunction, "sweep_id");
    const std::optional<long long> case_index = py::require_count_or_none(index, kFunction, "case");
    py::require_str_or_none(best, kFunction, "best");
    py::require<nb::bool_>(lowest, kFunction, "lowest", py::NoneAllowed::yes);
    if (case_index.has_value() == !best.is_none())
        py::raise(py::exc::value_error(), "give either a case or the KPI of the best case");
    if (!lowest.is_none() && best.is_none())
        py::raise(py::exc::value_error(), "lowest goes with best: it says which value is best");

    const FoundRecord found = find_record(sweep_id);
    nb::dict entry = choose_case(sweep_id, found.record, case_index, best, lowest);
    nb::object run = verified_run(found.product, entry);
    nb::object domain = run["domain"];
    nb::dict result = run_result(run);
    if (!py::truthy(results::domain_kpis(domain, result)))
        py::raise(py::exc::value_error(), "the run " + py::repr(run["run_id"]) +
                                              " holds no KPI of domain " + py::repr(domain));
    nb::dict wanted = case_design(run);

    // The design is compared and written in one hold of the lock, so no
    // other writer changes it in between.
    const product_lock::ProductLock lock(found.product);
    nb::dict changes = design_changes(
        found.product, design::values(services::product_twin::load_product(found.product)), wanted,
        run["run_id"]);
    nb::dict design;
    for (auto [name, change] : changes) design[name] = change[1];
    nb::object kpis = services::solver_run::save_run(found.product, domain, result,
                                                     "design"_a = design, "save"_a = "prototype");

    nb::dict applied;
    applied["sweep"] = sweep_id;
    applied["product"] = nb::str(found.product);
    applied["case"] = entry["index"];
    applied["run_id"] = run["run_id"];
    applied["fingerprint"] = run["fingerprint"];
    applied["domain"] = domain;
    applied["solver"] = run["solver"];
    applied["design"] = changes;
    applied["kpis"] = kpis;
    return applied;
}

}  // namespace

void bind_apply(nb::module_& m) {
    m.def("apply_case", &apply_case, nb::arg("sweep_id").none(), nb::kw_only(),
          nb::arg("case").none() = nb::none(), nb::arg("best").none() = nb::none(),
          nb::arg("lowest").none() = nb::none(),
          nb::sig("def apply_case(sweep_id: str, *, case: int | None = None, best: str | None = "
                  "None, lowest: bool | None = None) -> dict[str, typing.Any]"),
          R"(Save one case of a recorded sweep (found by its id in the products folder) into its
          product: case `case`, or the successful or cached case with the best value of the
          KPI `best` (the lowest when `lowest`, the highest when not, else as the KPI's
          direction says). The case's run must still be on record with a fingerprint that
          verifies; its design values become the product's and its results the current ones,
          with their history entry, in one locked step. A text design value that differs, or
          a design parameter only one side has, is refused before anything is written.
          Returns sweep, product, case, run_id, fingerprint, domain, solver, design ({name:
          (old, new)}) and kpis. ValueError for an unknown sweep, case or KPI.)");
}

}  // namespace orvane::sweep
