// Running a plan's child, reading its outcome into a result, and recording
// the run: every run that started leaves its record, however it ended.
#include <nanobind/nanobind.h>

#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include "native/domain/results.h"
#include "native/domain/run_plan.h"
#include "native/domain/services.h"
#include "native/fs.h"
#include "native/process.h"
#include "native/py.h"
#include "native/text.h"
#include "solver_run.h"

namespace orvane::solver_run {

namespace {

using namespace nb::literals;

py::CachedModule json_module{"json"};

// The KPIs a solver's results carry: those it declares (solver.yaml
// kpi_spec.kpis), else its domain's.
nb::list declared_kpis(nb::handle solver, nb::handle domain) {
    nb::object config = services::solver_registry::get_solver_config(solver);
    nb::object spec = py::truthy(config) ? py::get(config, "kpi_spec", nb::none()) : nb::none();
    nb::object own = py::truthy(spec) ? py::get(spec, "kpis", nb::none()) : nb::none();
    if (py::truthy(own)) return nb::list(own);
    return nb::list(py::get(results::domain_schema(domain), "kpis", nb::dict()));
}

// A KPI's value as a number: a float, an int or a number's text; invalid for
// any other value (bools included).
nb::object number_of(nb::handle value) {
    if (nb::isinstance<nb::str>(value)) return py::parse_float(py::utf8(value));
    if (py::is_number(value) && !nb::isinstance<nb::bool_>(value)) return nb::borrow(value);
    return nb::object();
}

// Why a result cannot be believed, if it cannot: it names no status, or it
// says it succeeded while a KPI it declares is missing or not a number, or a
// KPI its record would store (its domain's, declared or not) is not finite
// (NaN, an infinity, an int no double holds). Such a run is an error, so its
// values never reach the product or the run index. So is one whose fields
// the product keeps have the wrong type.
std::optional<std::string> unbelievable(nb::handle plan, nb::handle solver, nb::handle result) {
    nb::object status = py::dict_get(result, "status");
    if (!status.is_valid() || status.is_none())
        return "solver '" + py::text(solver) + "' printed a result without a status";
    if (!nb::isinstance<nb::str>(status))
        return "solver '" + py::text(solver) + "' printed a status of type " +
               py::type_name_of(status) + ", not a text";
    if (!status.equal(nb::str("success"))) return std::nullopt;
    const std::string named = "solver " + py::text(solver) + " returned ";
    nb::object assumptions = py::dict_get(result, "assumptions");
    if (assumptions.is_valid() && !assumptions.is_none() && !nb::isinstance<nb::dict>(assumptions))
        return named + "assumptions of type " + py::type_name_of(assumptions) + ", not an object";
    for (const char* field : {"solver", "executor_id"}) {
        nb::object name = py::dict_get(result, field);
        if (name.is_valid() && !nb::isinstance<nb::str>(name))
            return named + "a " + field + " of type " + py::type_name_of(name) + ", not a text";
    }
    nb::object domain = py::required_item(plan, "domain", "a run plan");
    nb::list declared = declared_kpis(solver, domain);
    nb::list checked;
    nb::set seen;
    for (nb::handle kpi : declared) {
        checked.append(kpi);
        seen.add(kpi);
    }
    for (nb::handle kpi : py::get(results::domain_schema(domain), "kpis", nb::dict()))
        if (!seen.contains(kpi)) checked.append(kpi);
    for (std::size_t i = 0; i < nb::len(checked); ++i) {
        nb::handle kpi = checked[i];
        const bool required = i < nb::len(declared);
        nb::object value = services::kpi_service::get_kpi(result, kpi);
        if (value.is_none()) {
            if (!required) continue;
            return named + "no value for its KPI " + py::display_text(kpi);
        }
        nb::object number = number_of(value);
        if (!number.is_valid()) {
            if (!required) continue;
            return named + py::display_text(kpi) + " = " + text::brief(py::repr(value)) +
                   ": not a number";
        }
        if (!py::finite_double(number))
            return named + py::display_text(kpi) + " = " + text::brief(py::repr(value)) +
                   ": not a finite number";
    }
    return std::nullopt;
}

// The solver's JSON object, or the error status of a failed, late or
// malformed run.
nb::dict outcome_of(nb::handle plan, nb::handle solver, const process::Completed& completed) {
    const auto cap = nb::cast<std::size_t>(
        py::to_int(py::required_item(plan, "max_output_bytes", "a run plan")));
    const std::string solver_text = py::text(solver);
    const double timeout = py::to_double(py::required_item(plan, "timeout", "a run plan"));
    if (auto error = failure(completed, solver_text, timeout, cap)) return py::error_status(*error);
    nb::object result;
    try {
        result = json_module.attr("loads")(nb::bytes(completed.out.data(), completed.out.size()));
    } catch (nb::python_error& error) {
        if (!error.matches(py::exc::value_error())) throw;
        return py::error_status("solver '" + solver_text +
                                "' printed no JSON result: " + py::text(error.value()));
    }
    if (!nb::isinstance<nb::dict>(result)) {
        return py::error_status("solver '" + solver_text +
                                "' printed a result that is not an object");
    }
    if (auto refused = unbelievable(plan, solver, result)) return py::error_status(*refused);
    nb::object status = result["status"];
    nb::object error = py::dict_get(result, "error");
    // A failed run says why in words, whatever the solver gave as its error.
    if (!status.equal(nb::str("success")) &&
        !(error.is_valid() && nb::isinstance<nb::str>(error) && nb::len(error) > 0)) {
        const bool has_error = error.is_valid() && !error.is_none();
        result["error"] = py::make_str(
            "solver '" + solver_text + "' reported status " + text::brief(py::repr(status)) +
            (has_error ? " with the error " + text::brief(py::repr(error), 1000)
                       : " without saying why"));
    }
    return nb::borrow<nb::dict>(result);
}

// The outcome with the solver, parameters and provenance of the run added,
// whatever the outcome.
nb::dict result_of(nb::handle plan, const process::Completed& completed) {
    nb::object solver = py::required_item(plan, "solver", "a run plan");
    nb::dict result = outcome_of(plan, solver, completed);
    if (!result.contains("solver")) result["solver"] = solver;
    result["parameters"] = py::required_item(plan, "parameters", "a run plan");
    result["provenance"] = py::required_item(plan, "provenance", "a run plan");
    return result;
}

// Runs the plan's child here, telling `progress` how it goes.
process::Completed execute(nb::handle plan, nb::handle progress) {
    run_plan::Command command = run_plan::command_of(plan);
    // Where the plan was made on another host, its prepared geometry is not
    // here: the solver then makes it again from the same case.
    auto prepared = command.environment.find("ORVANE_PREPARED_DIR");
    if (prepared != command.environment.end() && !fs::is_directory(prepared->second))
        command.environment.erase(prepared);
    process::Options options = run_plan::options_for(command);
    if (!progress.is_none()) {
        options.on_tick = [progress](double elapsed, std::string_view error_output) {
            progress(elapsed, py::decode_utf8(error_output, py::Undecodable::replace));
        };
    }
    return process::run(command.argv, command.timeout, options);
}

void require_progress(nb::handle progress, const char* function) {
    if (!progress.is_none() && !nb::isinstance<nb::callable>(progress))
        py::raise_argument_type(function, "progress", "callable or None", progress);
}

// Records the run in its own file; the result learns its run id and record.
void record_run(nb::handle product, nb::handle plan, nb::dict result) {
    nb::object written = services::run_records::write_run_record(
        product.attr("usd_path"), result, plan["domain"], plan["solver"],
        "provenance"_a = plan["provenance"], "parameters"_a = plan["parameters"]);
    result["run_id"] = written["run_id"];
    result["run_record"] = written["layer"];
}

nb::dict complete(nb::handle product, nb::handle plan, const process::Completed& completed) {
    nb::dict result = result_of(plan, completed);
    // What the run belongs to is on its record, whatever its outcome.
    nb::object labels = py::dict_get(plan, "labels");
    if (labels.is_valid() && nb::isinstance<nb::dict>(labels)) result.update(labels);
    record_run(product, plan, result);
    return result;
}

nb::object execute_plan(nb::handle plan, nb::handle progress) {
    if (!run_plan::is_plan(plan))
        py::raise_argument_type("execute_plan", "plan", "a run plan from plan_run", plan);
    require_progress(progress, "execute_plan");
    return run_plan::outcome_of(execute(plan, progress));
}

nb::object complete_run(nb::handle product, nb::handle plan, nb::handle outcome) {
    if (!run_plan::is_plan(plan))
        py::raise_argument_type("complete_run", "plan", "a run plan from plan_run", plan);
    py::require_dict(outcome, "complete_run", "outcome");
    const run_plan::PreparedFolder prepared(plan);
    return complete(product, plan, run_plan::completed_from(outcome));
}

nb::object simulate_binding(nb::handle product, nb::kwargs request) {
    return simulate(product, request);
}

}  // namespace

std::optional<std::string> failure(const process::Completed& completed, const std::string& solver,
                                   double timeout, std::size_t cap) {
    const std::string who = "solver '" + solver + "' ";
    switch (completed.ending) {
        case process::Ending::missing:
            return who + "could not be started";
        case process::Ending::timed_out:
            return who + "did not finish within " + py::format(nb::float_(timeout), "g") + " s";
        case process::Ending::too_much_output:
        case process::Ending::too_much_error_output: {
            const char* stream = completed.ending == process::Ending::too_much_output
                                     ? "standard output"
                                     : "standard error";
            return who + "printed more than " + std::to_string(cap) + " bytes on " + stream +
                   " and was stopped";
        }
        case process::Ending::cancelled:
            return who + "was interrupted";
        case process::Ending::finished:
            break;
    }
    if (completed.exit_code == 0) return std::nullopt;
    // The end of what it said on standard error, as text whatever its bytes.
    std::string_view detail = text::strip(completed.err);
    if (detail.size() > 500) detail = detail.substr(detail.size() - 500);
    std::string message = who + "exited with status " + std::to_string(completed.exit_code);
    if (!detail.empty())
        message.append(": ").append(py::utf8(py::decode_utf8(detail, py::Undecodable::replace)));
    return message;
}

nb::dict simulate(nb::handle product, nb::handle request) {
    nb::object progress = py::get(request, "progress", nb::none());
    require_progress(progress, "simulate");
    nb::dict plan = plan_run(product, request, "simulate");
    if (!run_plan::is_plan(plan)) return plan;
    const run_plan::PreparedFolder prepared(plan);
    process::Completed completed;
    try {
        completed = execute(plan, progress);
    } catch (nb::python_error& error) {
        if (!error.matches(py::exc::keyboard_interrupt())) throw;
        completed.ending = process::Ending::cancelled;
        complete(product, plan, completed);
        throw;
    }
    return complete(product, plan, completed);
}

void bind_execution(nb::module_& m) {
    m.def("execute_plan", &execute_plan, nb::arg("plan").none(), nb::kw_only(),
          nb::arg("progress").none() = nb::none(),
          nb::sig("def execute_plan(plan: dict[str, typing.Any], *, progress: "
                  "typing.Callable[[float, str], object] | None = None) -> dict[str, typing.Any]"),
          R"(Run a plan's solver here (in this process, on a Dask worker, ...) and return its
          outcome {ending, exit_code, out, err}, reporting `progress(elapsed,
          new_error_output)`. Nothing is recorded: complete_run does that where the plan was
          made.)");
    py::pickle_by_name(m.attr("execute_plan"));
    m.def("complete_run", &complete_run, nb::arg("product").none(), nb::arg("plan").none(),
          nb::arg("outcome").none(),
          nb::sig("def complete_run(product: object, plan: dict[str, typing.Any], outcome: "
                  "dict[str, typing.Any]) -> dict[str, typing.Any]"),
          R"(The result of a planned run from its child's outcome (from execute_plan), recorded
          in the product's run files; the result carries its run_id and run_record. A failed,
          late or malformed run comes back as {'status': 'error', 'error': ...}.)");
    m.def("simulate", &simulate_binding,
          nb::sig("def simulate(product: object, **request: typing.Any) -> dict[str, typing.Any]"),
          R"(Plan, run and record one run of `product` (keywords domain, solver, overrides,
          manoeuvre, design, progress): the case (YAML, from the design-intent inputs with
          `design` changes for this run only, the solver's input defaults and the overrides)
          on the solver's standard input, the result as JSON on its standard output. Every
          run that starts is recorded, Ctrl-C included. A failed, late or malformed run comes
          back as {'status': 'error', 'error': ...}.)");
}

}  // namespace orvane::solver_run
