// KPI-driven assessment: evaluate solver results against design intent.
#include <nanobind/nanobind.h>

#include <string>
#include <string_view>
#include <vector>

#include "native/numbers.h"
#include "native/py.h"
#include "native/py_class.h"

namespace nb = nanobind;
using namespace orvane;

namespace {

py::ModuleGlobals globals;

constexpr const char* kBaselineSummary =
    "Baseline — no targets yet. Results will populate design intent.";
constexpr std::string_view kSuffixes[] = {"_min", "_nominal", "_max"};

void require_float_or_none(nb::handle value, const char* function, const char* argument) {
    if (!value.is_none() && !PyFloat_Check(value.ptr())) {
        py::raise_argument_type(function, argument, "float or None", value);
    }
}

void require_bool_or_none(nb::handle value, const char* function, const char* argument) {
    if (!value.is_none() && !PyBool_Check(value.ptr())) {
        py::raise_argument_type(function, argument, "bool or None", value);
    }
}

void require_results(nb::handle results, const char* function) {
    py::require_dict_or_none(results, function, "results");
}

nb::object make_gate(nb::handle kpi_key, nb::handle domain, nb::handle value, nb::handle passed,
                     nb::handle t_min, nb::handle t_nom, nb::handle t_max, nb::handle status) {
    constexpr const char* kFunction = "_make_gate";
    py::require_str(kpi_key, kFunction, "kpi_key");
    py::require_str(domain, kFunction, "domain");
    require_float_or_none(value, kFunction, "value");
    require_bool_or_none(passed, kFunction, "passed");
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

// a > b and a < b with the host's comparison (exact for ints beside floats).
bool above(nb::handle a, nb::handle b) {
    return PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_GT) == 1;
}
bool below(nb::handle a, nb::handle b) {
    return PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT) == 1;
}

std::pair<bool, const char*> range_verdict(nb::handle value, nb::handle t_min, nb::handle t_nom,
                                           nb::handle t_max, std::string_view direction) {
    if (t_min.is_none() && t_max.is_none()) return {false, "NO_TARGET"};
    // Bounds are inclusive: only a value strictly beyond one fails.
    if (direction == "minimize") {
        if (!t_max.is_none()) {
            if (above(value, t_max)) return {false, "FAIL"};
            if (!t_nom.is_none() && above(value, t_nom)) return {true, "WARN"};
            return {true, "PASS"};
        }
        if (!t_nom.is_none() && above(value, t_nom)) return {false, "FAIL"};
        return {true, "PASS"};
    }
    if (direction == "maximize") {
        if (!t_min.is_none()) {
            if (below(value, t_min)) return {false, "FAIL"};
            if (!t_nom.is_none() && below(value, t_nom)) return {true, "WARN"};
            return {true, "PASS"};
        }
        if (!t_nom.is_none() && below(value, t_nom)) return {false, "FAIL"};
        return {true, "PASS"};
    }
    if (!t_min.is_none() && below(value, t_min)) return {false, "FAIL"};
    if (!t_max.is_none() && above(value, t_max)) return {false, "FAIL"};
    return {true, "PASS"};
}

py::CachedModule numbers_module{"numbers"};

nb::object evaluate_range(nb::handle value, nb::handle t_min, nb::handle t_nom, nb::handle t_max,
                          nb::handle direction) {
    constexpr const char* kFunction = "_evaluate_range";
    if (!nb::isinstance(value, numbers_module.attr("Real"))) {
        py::raise_argument_type(kFunction, "value", "a real number", value);
    }
    require_float_or_none(t_min, kFunction, "t_min");
    require_float_or_none(t_nom, kFunction, "t_nom");
    require_float_or_none(t_max, kFunction, "t_max");
    py::require_str(direction, kFunction, "direction");
    auto [passed, status] = range_verdict(value, t_min, t_nom, t_max, py::utf8(direction));
    return nb::make_tuple(nb::bool_(passed), nb::str(status));
}

std::string four_places(nb::handle value) { return numbers::fixed(numbers::to_double(value), 4); }

nb::object gate_message(nb::handle gate) {
    if (!PyDict_Check(gate.ptr())) py::raise_argument_type("_gate_message", "g", "dict", gate);
    nb::object value = gate["value"];
    nb::object status = gate["status"];
    nb::object kpi_value = gate["kpi"];
    nb::str kpi(kpi_value);
    if (value.is_none()) return py::concat(kpi, nb::str(": not run"));
    auto bound = [&](const char* key) {
        nb::object found = py::dict_get(gate, key);
        return found.is_valid() ? found : nb::none();
    };
    nb::object t_min = bound("target_min");
    nb::object t_nom = bound("target_nominal");
    nb::object t_max = bound("target_max");
    std::string message(py::utf8(kpi));
    message.append("=").append(four_places(value));
    if (!t_min.is_none() && !t_max.is_none()) {
        message.append(" range [")
            .append(four_places(t_min))
            .append(", ")
            .append(four_places(t_max))
            .append("]");
    } else if (!t_max.is_none()) {
        message.append(" ≤ ").append(four_places(t_max));
    } else if (!t_min.is_none()) {
        message.append(" ≥ ").append(four_places(t_min));
    }
    if (!t_nom.is_none()) message.append(" (nominal ").append(four_places(t_nom)).append(")");
    message.append(" → ").append(py::utf8(nb::str(status)));
    return py::make_str(message);
}

// --- the mixin's methods ---------------------------------------------------------

nb::object no_property(nb::handle) { return nb::none(); }

nb::object kpi_directions(nb::handle) {
    nb::dict directions;
    nb::object schemas;
    try {
        schemas = py::import_from("orvane_platform.core.solver", "get_domain_schemas")();
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return directions;  // every KPI counts as neutral
    }
    for (nb::handle schema : schemas.attr("values")()) {
        nb::object kpis = schema.attr("get")("kpis");
        if (!py::truthy(kpis)) continue;
        for (nb::handle item : kpis.attr("items")()) {
            nb::object definition = item[1];
            if (PyDict_Check(definition.ptr())) {
                directions[item[0]] = definition.attr("get")("direction", "neutral");
            }
        }
    }
    return directions;
}

bool counts_as_converged(nb::handle converged) {
    if (PyUnicode_Check(converged.ptr())) {
        nb::object lowered = converged.attr("lower")();
        const std::string_view word = py::utf8(lowered);
        return word == "yes" || word == "true" || word == "1" || word == "converged";
    }
    return py::truthy(converged);
}

nb::object evaluate_gates(nb::handle self, nb::handle results) {
    require_results(results, "evaluate_gates");
    nb::object targets = self.attr("targets");
    nb::dict evaluation;
    if (!py::truthy(targets)) {
        evaluation["gates"] = nb::list();
        evaluation["all_passed"] = false;
        evaluation["summary"] = kBaselineSummary;
        return evaluation;
    }
    nb::object directions = self.attr("_kpi_directions")();
    nb::list kpi_keys;
    {
        nb::set seen;
        for (nb::handle name : targets) {
            if (!PyUnicode_Check(name.ptr())) continue;
            const std::string_view text = py::utf8(name);
            for (std::string_view suffix : kSuffixes) {
                if (text.ends_with(suffix)) {
                    seen.add(name.attr("rsplit")("_", 1)[0]);
                    break;
                }
            }
        }
        kpi_keys = nb::list(seen);
        kpi_keys.sort();
    }
    nb::dict results_or_empty = results.is_none() ? nb::dict() : nb::borrow<nb::dict>(results);
    nb::list domains = nb::list(results_or_empty.attr("keys")());
    domains.sort();
    nb::object get_kpi = globals.get("_get_kpi");
    nb::list gates;
    for (nb::handle kpi : kpi_keys) {
        nb::object t_min = targets.attr("get")(py::concat(kpi, nb::str("_min")));
        nb::object t_nom = targets.attr("get")(py::concat(kpi, nb::str("_nominal")));
        nb::object t_max = targets.attr("get")(py::concat(kpi, nb::str("_max")));
        if (t_min.is_none() && t_max.is_none()) continue;
        nb::object found = nb::none();
        nb::object found_domain;
        nb::object found_result;
        for (nb::handle domain : domains) {
            nb::object result = results_or_empty[domain];
            if (!py::truthy(result)) continue;
            nb::object status = result.attr("get")("status", "");
            if (!status.equal(nb::str("success")) && !status.equal(nb::str("ok"))) continue;
            nb::object value = get_kpi(result, kpi);
            if (!value.is_none()) {
                found = value;
                found_domain = nb::borrow(domain);
                found_result = result;
                break;
            }
        }
        if (found.is_none()) {
            gates.append(make_gate(kpi, nb::str("unknown"), nb::none(), nb::none(), t_min, t_nom,
                                   t_max, nb::str("NOT RUN")));
            continue;
        }
        nb::float_ value(numbers::to_double(found));
        if (!counts_as_converged(found_result.attr("get")("converged", true))) {
            gates.append(make_gate(kpi, found_domain, value, nb::none(), t_min, t_nom, t_max,
                                   nb::str("INCONCLUSIVE")));
            continue;
        }
        nb::object direction = directions.attr("get")(kpi, "neutral");
        nb::object verdict = evaluate_range(value, t_min, t_nom, t_max, direction);
        gates.append(
            make_gate(kpi, found_domain, value, verdict[0], t_min, t_nom, t_max, verdict[1]));
    }
    std::size_t passed = 0;
    std::size_t failed = 0;
    std::size_t not_run = 0;
    for (nb::handle gate : gates) {
        nb::handle verdict = PyDict_GetItemString(gate.ptr(), "passed");
        if (verdict.is(Py_True)) {
            ++passed;
        } else if (verdict.is(Py_False)) {
            ++failed;
        } else {
            ++not_run;
        }
    }
    evaluation["gates"] = gates;
    evaluation["all_passed"] = passed > 0 && failed == 0;
    evaluation["summary"] = py::make_str(
        std::to_string(passed) + " passed, " + std::to_string(failed) + " failed, " +
        std::to_string(not_run) + " not run (" + std::to_string(nb::len(gates)) + " total)");
    return evaluation;
}

nb::object evaluate(nb::handle self, nb::handle results, const char* function) {
    require_results(results, function);
    return self.attr("evaluate_gates")(nb::arg("results") = results);
}

nb::object member_or(nb::handle gate, const char* key, nb::handle fallback) {
    nb::object value = py::dict_get(gate, key);
    return value.is_valid() ? value : nb::borrow(fallback);
}

nb::object run_gates(nb::handle self, nb::handle results) {
    nb::object evaluation = evaluate(self, results, "run_gates");
    nb::list legacy;
    for (nb::handle gate : evaluation["gates"]) {
        nb::object passed = gate["passed"];
        if (passed.is_none() &&
            !member_or(gate, "status", nb::none()).equal(nb::str("INCONCLUSIVE")))
            continue;
        nb::dict entry;
        entry["name"] = gate["req_id"];
        entry["passed"] = member_or(gate, "passed", nb::bool_(false));
        entry["domain"] = member_or(gate, "domain", nb::str("aero"));
        entry["message"] = gate_message(gate);
        entry["status"] = member_or(gate, "status", nb::str("UNKNOWN"));
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
        entry["target_min"] = member_or(gate, "target_min", nb::none());
        entry["target_nominal"] = member_or(gate, "target_nominal", nb::none());
        entry["target_max"] = member_or(gate, "target_max", nb::none());
        entry["pass"] = gate["passed"];
        assessment[gate["kpi"]] = entry;
        if (!nb::object(gate["passed"]).is(Py_True)) recommendations.append(gate_message(gate));
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
    m.attr("_get_kpi") = py::import_from("orvane_platform.schema", "_get_kpi");
    m.attr("get_kpi_display_name") =
        py::import_from("orvane_platform.core.solver", "get_kpi_display_name");

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
          "The verdict (passed, status) of one value against a range, by the KPI's direction.");
    m.def("_gate_message", &gate_message, nb::arg("g").none(),
          nb::sig("def _gate_message(g: dict[str, typing.Any]) -> str"),
          "Human-readable gate message showing range thresholds.");

    py::ClassBuilder(
        m, "GatesMixin",
        "Range gates for a product: mix into a class that provides `targets` (KPI range "
        "targets as <kpi>_min, _nominal, _max floats) and `name`.",
        nb::tuple(), /*layout_free=*/true)
        .property("targets", &no_property,
                  "The product's range targets; provided by the class mixing in.")
        .property("name", &no_property, "The product's name; provided by the class mixing in.")
        .method(
            "evaluate_gates", &evaluate_gates, nb::arg("results").none() = nb::none(),
            nb::sig(
                "def evaluate_gates(self, results: dict[str, dict[str, typing.Any]] | None = None) "
                "-> dict[str, typing.Any]"),
            "Gate every range-targeted KPI against the first successful result (by domain name) "
            "that carries it: {'gates', 'all_passed', 'summary'}.")
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
            "Evaluate gates with assessment-shaped output (used by try-page backend).")
        .method("_kpi_directions", &kpi_directions,
                nb::sig("def _kpi_directions(self) -> dict[str, str]"),
                "Return KPI direction map from solver kpi_spec.yaml")
        .finish();
}
