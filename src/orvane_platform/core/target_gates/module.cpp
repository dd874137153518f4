// KPI-driven assessment: evaluate solver results against design intent.
#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "native/domain/services.h"
#include "native/domain/targets.h"
#include "native/py.h"
#include "verdict.h"

namespace nb = nanobind;
using namespace orvane;
using target_gates::Range;

namespace {

py::ModuleGlobals globals;

constexpr const char* kBaselineSummary =
    "Baseline — no targets yet. Results will populate design intent.";

void require_float_or_none(nb::handle value, const char* function, const char* argument) {
    py::require<nb::float_>(value, function, argument, py::NoneAllowed::yes);
}

void require_results(nb::handle results, const char* function) {
    py::require_dict_or_none(results, function, "results");
}

// A bound as the gate logic sees it: nothing for None.
std::optional<nb::object> bound(nb::handle value) {
    if (value.is_none()) return std::nullopt;
    return nb::borrow(value);
}

std::optional<double> bound_number(nb::handle value) {
    if (value.is_none()) return std::nullopt;
    return py::to_double(value);
}

nb::object make_gate(nb::handle kpi_key, nb::handle domain, nb::handle value, nb::handle passed,
                     nb::handle t_min, nb::handle t_nom, nb::handle t_max, nb::handle status) {
    constexpr const char* kFunction = "_make_gate";
    py::require_str(kpi_key, kFunction, "kpi_key");
    py::require_str(domain, kFunction, "domain");
    require_float_or_none(value, kFunction, "value");
    py::require<nb::bool_>(passed, kFunction, "passed", py::NoneAllowed::yes);
    require_float_or_none(t_min, kFunction, "t_min");
    require_float_or_none(t_nom, kFunction, "t_nom");
    require_float_or_none(t_max, kFunction, "t_max");
    py::require_str(status, kFunction, "status");
    nb::dict gate;
    gate["req_id"] = py::concat("KPI-", kpi_key.attr("upper")());
    gate["domain"] = domain;
    gate["kpi"] = kpi_key;
    gate["passed"] = passed;
    gate["value"] = value;
    gate["target_min"] = t_min;
    gate["target_nominal"] = t_nom;
    gate["target_max"] = t_max;
    gate["description"] = globals.get("get_kpi_display_name")(kpi_key);
    gate["status"] = status;
    return gate;
}

nb::object evaluate_range(nb::handle value, nb::handle t_min, nb::handle t_nom, nb::handle t_max,
                          nb::handle direction) {
    constexpr const char* kFunction = "_evaluate_range";
    if (!py::is_real(value)) py::raise_argument_type(kFunction, "value", "a real number", value);
    require_float_or_none(t_min, kFunction, "t_min");
    require_float_or_none(t_nom, kFunction, "t_nom");
    require_float_or_none(t_max, kFunction, "t_max");
    py::require_str(direction, kFunction, "direction");
    const target_gates::Verdict verdict = target_gates::range_verdict(
        nb::borrow(value), Range<nb::object>{bound(t_min), bound(t_nom), bound(t_max)},
        target_gates::direction_of(py::utf8(direction)));
    return nb::make_tuple(nb::bool_(verdict.passed), nb::str(verdict.status));
}

nb::object gate_message(nb::handle gate) {
    py::require_dict(gate, "_gate_message", "g");
    nb::object value = gate["value"];
    nb::object status = gate["status"];
    target_gates::GateReading reading;
    reading.kpi = py::text(nb::object(gate["kpi"]));
    if (!value.is_none()) {
        reading.value = py::to_double(value);
        reading.range = {bound_number(py::dict_get_or(gate, "target_min", nb::none())),
                         bound_number(py::dict_get_or(gate, "target_nominal", nb::none())),
                         bound_number(py::dict_get_or(gate, "target_max", nb::none()))};
        reading.status = py::text(status);
    }
    return py::make_str(target_gates::gate_message(reading));
}

// --- the mixin's methods ---------------------------------------------------------

nb::object no_property(nb::handle) { return nb::none(); }

nb::object kpi_directions(nb::handle) {
    nb::dict directions;
    nb::object schemas;
    try {
        schemas = services::solver_registry::get_domain_schemas();
    } catch (nb::python_error& error) {
        if (!py::is_exception(error)) throw;
        return directions;  // every KPI counts as neutral
    }
    for (nb::handle schema : schemas.attr("values")()) {
        nb::object kpis = schema.attr("get")("kpis");
        if (!py::truthy(kpis)) continue;
        for (nb::handle item : kpis.attr("items")()) {
            nb::object definition = item[1];
            if (nb::isinstance<nb::dict>(definition)) {
                directions[item[0]] = definition.attr("get")("direction", "neutral");
            }
        }
    }
    return directions;
}

bool counts_as_converged(nb::handle converged) {
    if (nb::isinstance<nb::str>(converged)) {
        nb::object lowered = converged.attr("lower")();
        const std::string_view word = py::utf8(lowered);
        return word == "yes" || word == "true" || word == "1" || word == "converged";
    }
    return py::truthy(converged);
}

nb::dict baseline_evaluation() {
    nb::dict evaluation;
    evaluation["gates"] = nb::list();
    evaluation["all_passed"] = false;
    evaluation["summary"] = kBaselineSummary;
    return evaluation;
}

// The KPIs that have a range target, each once, sorted.
nb::list ranged_kpis(nb::handle targets) {
    nb::set seen;
    for (nb::handle name : targets) {
        if (nb::isinstance<nb::str>(name) && targets::has_range_suffix(py::utf8(name)))
            seen.add(name.attr("rsplit")("_", 1)[0]);
    }
    nb::list kpi_keys(seen);
    kpi_keys.sort();
    return kpi_keys;
}

// A KPI's value in the first successful result (by domain name) that carries it.
struct Reading {
    nb::object value;  // invalid: no result carries the KPI
    nb::object domain;
    nb::object result;
};

Reading find_reading(nb::handle kpi, nb::handle results, nb::handle domains, nb::handle get_kpi) {
    for (nb::handle domain : domains) {
        nb::object result = results[domain];
        if (!py::truthy(result)) continue;
        nb::object status = result.attr("get")("status", "");
        if (!status.equal(nb::str("success")) && !status.equal(nb::str("ok"))) continue;
        nb::object value = get_kpi(result, kpi);
        if (!value.is_none()) return {value, nb::borrow(domain), result};
    }
    return {};
}

// One KPI's gate: NOT RUN, INCONCLUSIVE, or the range verdict.
nb::object gate_of(nb::handle kpi, const Reading& reading, nb::handle directions, nb::handle t_min,
                   nb::handle t_nom, nb::handle t_max) {
    if (!reading.value.is_valid()) {
        return make_gate(kpi, nb::str("unknown"), nb::none(), nb::none(), t_min, t_nom, t_max,
                         nb::str("NOT RUN"));
    }
    nb::float_ value(py::to_double(reading.value));
    if (!counts_as_converged(reading.result.attr("get")("converged", true))) {
        return make_gate(kpi, reading.domain, value, nb::none(), t_min, t_nom, t_max,
                         nb::str("INCONCLUSIVE"));
    }
    nb::object direction = directions.attr("get")(kpi, "neutral");
    nb::object verdict = evaluate_range(value, t_min, t_nom, t_max, direction);
    return make_gate(kpi, reading.domain, value, verdict[0], t_min, t_nom, t_max, verdict[1]);
}

target_gates::GateCounts count(nb::handle gates) {
    target_gates::GateCounts counts;
    for (nb::handle gate : gates) {
        nb::object passed = py::dict_get_or(gate, "passed", nb::none());
        if (passed.is(nb::bool_(true))) {
            ++counts.passed;
        } else if (passed.is(nb::bool_(false))) {
            ++counts.failed;
        } else {
            ++counts.not_run;
        }
    }
    return counts;
}

nb::object evaluate_gates(nb::handle self, nb::handle results) {
    require_results(results, "evaluate_gates");
    nb::object targets = self.attr("targets");
    if (!py::truthy(targets)) return baseline_evaluation();
    nb::object directions = self.attr("_kpi_directions")();
    nb::dict results_or_empty = results.is_none() ? nb::dict() : nb::borrow<nb::dict>(results);
    nb::list domains = py::sorted_keys(results_or_empty);
    nb::object get_kpi = globals.get("_get_kpi");
    nb::list gates;
    for (nb::handle kpi : ranged_kpis(targets)) {
        nb::object t_min = targets.attr("get")(py::concat(kpi, nb::str("_min")));
        nb::object t_nom = targets.attr("get")(py::concat(kpi, nb::str("_nominal")));
        nb::object t_max = targets.attr("get")(py::concat(kpi, nb::str("_max")));
        if (t_min.is_none() && t_max.is_none()) continue;
        const Reading reading = find_reading(kpi, results_or_empty, domains, get_kpi);
        gates.append(gate_of(kpi, reading, directions, t_min, t_nom, t_max));
    }
    const target_gates::GateCounts counts = count(gates);
    nb::dict evaluation;
    evaluation["gates"] = gates;
    evaluation["all_passed"] = counts.passed > 0 && counts.failed == 0;
    evaluation["summary"] = py::make_str(target_gates::summary_line(counts));
    return evaluation;
}

nb::object evaluate(nb::handle self, nb::handle results, const char* function) {
    require_results(results, function);
    return self.attr("evaluate_gates")(nb::arg("results") = results);
}

nb::object run_gates(nb::handle self, nb::handle results) {
    nb::object evaluation = evaluate(self, results, "run_gates");
    nb::list legacy;
    for (nb::handle gate : evaluation["gates"]) {
        nb::object passed = gate["passed"];
        if (passed.is_none() &&
            !py::dict_get_or(gate, "status", nb::none()).equal(nb::str("INCONCLUSIVE")))
            continue;
        nb::dict entry;
        entry["name"] = gate["req_id"];
        entry["passed"] = py::dict_get_or(gate, "passed", nb::bool_(false));
        entry["domain"] = py::dict_get_or(gate, "domain", nb::str("aero"));
        entry["message"] = gate_message(gate);
        entry["status"] = py::dict_get_or(gate, "status", nb::str("UNKNOWN"));
        legacy.append(entry);
    }
    nb::dict shaped;
    shaped["gates"] = legacy;
    shaped["all_passed"] = evaluation["all_passed"];
    shaped["report"] = evaluation["summary"];
    return shaped;
}

nb::object assess(nb::handle self, nb::handle results) {
    nb::object evaluation = evaluate(self, results, "assess");
    nb::dict assessment;
    nb::list recommendations;
    for (nb::handle gate : evaluation["gates"]) {
        if (nb::object(gate["value"]).is_none()) continue;
        nb::dict entry;
        entry["value"] = gate["value"];
        entry["target_min"] = py::dict_get_or(gate, "target_min", nb::none());
        entry["target_nominal"] = py::dict_get_or(gate, "target_nominal", nb::none());
        entry["target_max"] = py::dict_get_or(gate, "target_max", nb::none());
        entry["pass"] = gate["passed"];
        assessment[gate["kpi"]] = entry;
        if (!nb::object(gate["passed"]).is(nb::bool_(true)))
            recommendations.append(gate_message(gate));
    }
    nb::dict shaped;
    shaped["product"] = self.attr("name");
    shaped["overall"] = py::truthy(evaluation["all_passed"]) ? "PASS" : "FAIL";
    shaped["assessment"] = assessment;
    shaped["recommendations"] = recommendations;
    return shaped;
}

}  // namespace

NB_MODULE(target_gates, m) {
    m.doc() = "KPI-driven assessment: evaluate solver results against design intent.";
    globals.bind(m);
    m.attr("_get_kpi") = services::kpi_service::get_kpi.get();
    m.attr("get_kpi_display_name") = services::solver_registry::get_kpi_display_name.get();

    m.def("_make_gate", &make_gate, nb::arg("kpi_key").none(), nb::arg("domain").none(),
          nb::arg("value").none(), nb::arg("passed").none(), nb::kw_only(),
          nb::arg("t_min").none() = nb::none(), nb::arg("t_nom").none() = nb::none(),
          nb::arg("t_max").none() = nb::none(), nb::arg("status").none() = "UNKNOWN",
          nb::sig(
              "def _make_gate(kpi_key: str, domain: str, value: float | None, passed: bool | None, "
              "*, "
              "t_min: float | None = None, t_nom: float | None = None, t_max: float | None = None, "
              "status: str = 'UNKNOWN') -> dict[str, typing.Any]"),
          "Build a gate result dict.");
    m.def("_evaluate_range", &evaluate_range, nb::arg("value").none(), nb::arg("t_min").none(),
          nb::arg("t_nom").none(), nb::arg("t_max").none(), nb::arg("direction").none(),
          nb::sig(
              "def _evaluate_range(value: float, t_min: float | None, t_nom: float | None, t_max: "
              "float | None, direction: str) -> tuple[bool, str]"),
          R"(The verdict (passed, status) of one value against a range, by the KPI's direction.)");
    m.def("_gate_message", &gate_message, nb::arg("g").none(),
          nb::sig("def _gate_message(g: dict[str, typing.Any]) -> str"),
          "Human-readable gate message showing range thresholds.");

    py::ClassBuilder(
        m, "GatesMixin",
        "Range gates for a product: mix into a class that provides `targets` (KPI range "
        "targets as <kpi>_min, _nominal, _max floats) and `name`.",
        nb::tuple(), py::ClassBuilder::Layout::none)
        .property("targets", &no_property,
                  "The product's range targets; provided by the class mixing in.")
        .property("name", &no_property, "The product's name; provided by the class mixing in.")
        .method(
            "evaluate_gates", &evaluate_gates, nb::arg("results").none() = nb::none(),
            nb::sig(
                "def evaluate_gates(self, results: dict[str, dict[str, typing.Any]] | None = None) "
                "-> dict[str, typing.Any]"),
            R"(Gate every range-targeted KPI against the first successful result (by domain name)
            that carries it: {'gates', 'all_passed', 'summary'}.)")
        .method(
            "run_gates", &run_gates, nb::arg("results").none() = nb::none(),
            nb::sig(
                "def run_gates(self, results: dict[str, dict[str, typing.Any]] | None = None) -> "
                "dict[str, typing.Any]"),
            "Evaluate gates and return legacy shape for back-compat.")
        .method(
            "assess", &assess, nb::arg("results").none() = nb::none(),
            nb::sig("def assess(self, results: dict[str, dict[str, typing.Any]] | None = None) -> "
                    "dict[str, typing.Any]"),
            R"(Evaluate gates with assessment-shaped output (used by try-page backend).)")
        .method("_kpi_directions", &kpi_directions,
                nb::sig("def _kpi_directions(self) -> dict[str, str]"),
                "Return KPI direction map from solver kpi_spec.yaml")
        .finish();
}
