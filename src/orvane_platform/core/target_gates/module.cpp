// KPI-driven assessment: evaluate solver results against design intent.
#include <nanobind/nanobind.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "native/domain/results.h"
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

// Gate record keys, made once.
py::Name req_id_key{"req_id"}, domain_key{"domain"}, kpi_key_name{"kpi"}, passed_key{"passed"},
    value_key{"value"}, target_min_key{"target_min"}, target_nominal_key{"target_nominal"},
    target_max_key{"target_max"}, description_key{"description"}, status_key{"status"};
py::Name display_name_lookup{"get_kpi_display_name"};

// text.upper(), without a call into the host for plain ASCII.
nb::object upper(nb::handle text) {
    const auto ascii = py::ascii_text(text);
    if (!ascii) return text.attr("upper")();
    std::string upper_text(*ascii);
    for (char& c : upper_text) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    return py::make_str(upper_text);
}

// The KPIs' display names for one evaluation: the registry's map, read at the
// first gate, unless the module's lookup has been replaced: that one is then
// asked per KPI.
class DisplayNames {
  public:
    nb::object operator()(nb::handle kpi_key) {
        if (!lookup_.is_valid()) {
            lookup_ = globals.get(display_name_lookup);
            if (lookup_.is(services::solver_registry::get_kpi_display_name.get()))
                names_ = services::solver_registry::kpi_display_names();
        }
        if (!names_.is_valid()) return lookup_(kpi_key);
        nb::object name = py::dict_get(names_, kpi_key);
        return name.is_valid() ? name : nb::borrow(kpi_key);
    }

  private:
    nb::object lookup_;
    nb::object names_;
};

struct GateFields {
    nb::handle kpi_key, domain, value, passed, t_min, t_nom, t_max, status;
};

nb::object gate_record(const GateFields& fields, DisplayNames& display_names) {
    nb::dict gate;
    py::set_item(gate, req_id_key.get(), py::concat("KPI-", upper(fields.kpi_key)));
    py::set_item(gate, domain_key.get(), fields.domain);
    py::set_item(gate, kpi_key_name.get(), fields.kpi_key);
    py::set_item(gate, passed_key.get(), fields.passed);
    py::set_item(gate, value_key.get(), fields.value);
    py::set_item(gate, target_min_key.get(), fields.t_min);
    py::set_item(gate, target_nominal_key.get(), fields.t_nom);
    py::set_item(gate, target_max_key.get(), fields.t_max);
    py::set_item(gate, description_key.get(), display_names(fields.kpi_key));
    py::set_item(gate, status_key.get(), fields.status);
    return gate;
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
    DisplayNames display_names;
    return gate_record({kpi_key, domain, value, passed, t_min, t_nom, t_max, status},
                       display_names);
}

constexpr const char* kEvaluateRange = "_evaluate_range";

// TypeError naming the first bound that is not a float or None.
void require_bounds(nb::handle t_min, nb::handle t_nom, nb::handle t_max) {
    require_float_or_none(t_min, kEvaluateRange, "t_min");
    require_float_or_none(t_nom, kEvaluateRange, "t_nom");
    require_float_or_none(t_max, kEvaluateRange, "t_max");
}

// The verdict of one value, its arguments checked as _evaluate_range checks them.
target_gates::Verdict checked_verdict(nb::handle value, nb::handle t_min, nb::handle t_nom,
                                      nb::handle t_max, nb::handle direction) {
    if (!py::is_real(value))
        py::raise_argument_type(kEvaluateRange, "value", "a real number", value);
    require_bounds(t_min, t_nom, t_max);
    py::require_str(direction, kEvaluateRange, "direction");
    return target_gates::range_verdict(nb::borrow(value),
                                       Range<nb::object>{bound(t_min), bound(t_nom), bound(t_max)},
                                       target_gates::direction_of(py::utf8(direction)));
}

// A verdict's status as a str, made once per status.
nb::handle status_text(const char* status) {
    static py::Name pass{"PASS"}, warn{"WARN"}, fail{"FAIL"}, no_target{"NO_TARGET"};
    const std::string_view text = status;
    if (text == "PASS") return pass.get();
    if (text == "WARN") return warn.get();
    if (text == "FAIL") return fail.get();
    return no_target.get();
}

nb::object evaluate_range(nb::handle value, nb::handle t_min, nb::handle t_nom, nb::handle t_max,
                          nb::handle direction) {
    const target_gates::Verdict verdict = checked_verdict(value, t_min, t_nom, t_max, direction);
    return nb::make_tuple(nb::bool_(verdict.passed), status_text(verdict.status));
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

nb::dict baseline_evaluation() {
    nb::dict evaluation;
    evaluation["gates"] = nb::list();
    evaluation["all_passed"] = false;
    evaluation["summary"] = kBaselineSummary;
    return evaluation;
}

// A range-targeted KPI with its bounds (None where one is missing).
struct KpiRange {
    nb::object kpi;
    nb::object min = nb::none();
    nb::object nominal = nb::none();
    nb::object max = nb::none();
};

// The KPIs that have a range target, sorted, with their bounds: straight
// from an exact dict in one pass, else through the mapping's get().
std::vector<KpiRange> ranged_kpis(nb::handle targets) {
    // Keyed by UTF-8, whose byte order is the code-point order the host sorts str by.
    std::map<std::string, KpiRange> found;
    const bool plain = targets.type().is(py::dict_type());
    for (nb::handle name : targets) {
        if (!nb::isinstance<nb::str>(name)) continue;
        const std::string_view text = py::utf8(name);
        for (std::size_t bound = 0; bound < targets::kRangeSuffixes.size(); ++bound) {
            const std::string_view suffix = targets::kRangeSuffixes[bound];
            if (!text.ends_with(suffix)) continue;
            const std::string_view kpi = text.substr(0, text.size() - suffix.size());
            KpiRange& range = found[std::string(kpi)];
            if (!range.kpi.is_valid()) range.kpi = py::make_str(kpi);
            if (plain) {
                nb::object value = py::dict_get(targets, name);
                (bound == 0 ? range.min : bound == 1 ? range.nominal : range.max) = value;
            }
            break;
        }
    }
    std::vector<KpiRange> ranges;
    for (auto& [text, range] : found) {
        if (!plain) {
            range.min = targets.attr("get")(py::concat(range.kpi, nb::str("_min")));
            range.nominal = targets.attr("get")(py::concat(range.kpi, nb::str("_nominal")));
            range.max = targets.attr("get")(py::concat(range.kpi, nb::str("_max")));
        }
        if (!range.min.is_none() || !range.max.is_none()) ranges.push_back(std::move(range));
    }
    return ranges;
}

// A successful result (status "success" or "ok"), by domain name.
struct Source {
    nb::object domain;
    nb::object result;
    bool converged;
};

std::vector<Source> successful_results(nb::handle results) {
    static py::Name success{"success"}, ok{"ok"};
    std::vector<Source> sources;
    for (nb::handle domain : py::sorted_keys(results)) {
        nb::object result = py::dict_get(results, domain);
        if (!py::truthy(result)) continue;
        nb::object status = result.attr("get")("status", "");
        if (status.equal(success.get()) || status.equal(ok.get())) {
            const bool converged = results::converged(result.attr("get")("converged", true));
            sources.push_back({nb::borrow(domain), result, converged});
        }
    }
    return sources;
}

// A KPI's value in the first successful result (by domain name) that carries it.
struct Reading {
    nb::object value;  // invalid: no result carries the KPI
    const Source* source = nullptr;
};

Reading find_reading(nb::handle kpi, const std::vector<Source>& sources, nb::handle get_kpi) {
    for (const Source& source : sources) {
        nb::object value = get_kpi(source.result, kpi);
        if (!value.is_none()) return {value, &source};
    }
    return {};
}

// One KPI's gate: NOT RUN, INCONCLUSIVE, or the range verdict.
nb::object gate_of(const KpiRange& range, const Reading& reading, nb::handle directions,
                   DisplayNames& display_names) {
    static py::Name unknown{"unknown"}, not_run{"NOT RUN"}, inconclusive{"INCONCLUSIVE"},
        neutral{"neutral"};
    // Checked whatever the reading: a malformed target must not pass unseen
    // while its KPI happens not to be run or converged.
    require_bounds(range.min, range.nominal, range.max);
    if (!reading.value.is_valid()) {
        return gate_record({range.kpi, unknown.get(), nb::none(), nb::none(), range.min,
                            range.nominal, range.max, not_run.get()},
                           display_names);
    }
    nb::float_ value(py::to_double(reading.value));
    if (!reading.source->converged) {
        return gate_record({range.kpi, reading.source->domain, value, nb::none(), range.min,
                            range.nominal, range.max, inconclusive.get()},
                           display_names);
    }
    nb::object direction = directions.type().is(py::dict_type())
                               ? py::dict_get_or(directions, range.kpi, neutral.get())
                               : directions.attr("get")(range.kpi, "neutral");
    const target_gates::Verdict verdict =
        checked_verdict(value, range.min, range.nominal, range.max, direction);
    return gate_record({range.kpi, reading.source->domain, value, nb::bool_(verdict.passed),
                        range.min, range.nominal, range.max, status_text(verdict.status)},
                       display_names);
}

target_gates::GateCounts count(nb::handle gates) {
    target_gates::GateCounts counts;
    for (nb::handle gate : gates) {
        nb::object passed = py::dict_get_or(gate, passed_key.get(), nb::none());
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
    const std::vector<Source> sources =
        successful_results(results.is_none() ? nb::dict() : nb::borrow<nb::dict>(results));
    nb::object get_kpi = globals.get("_get_kpi");
    DisplayNames display_names;
    nb::list gates;
    for (const KpiRange& range : ranged_kpis(targets)) {
        gates.append(
            gate_of(range, find_reading(range.kpi, sources, get_kpi), directions, display_names));
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
