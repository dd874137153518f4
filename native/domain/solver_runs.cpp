#include "native/domain/solver_runs.h"

#include <optional>
#include <string_view>

#include "native/domain/results.h"
#include "native/domain/services.h"
#include "native/py.h"
#include "native/text.h"

namespace orvane::solver_runs {

namespace {

py::CachedModule json_module{"json"};
py::CachedModule capacity_module{"orvane_platform.core.capacity_gate"};

struct EndingName {
    process::Ending ending;
    const char* name;
};

constexpr EndingName kEndings[] = {
    {process::Ending::finished, "finished"},
    {process::Ending::missing, "missing"},
    {process::Ending::timed_out, "timed_out"},
    {process::Ending::too_much_output, "too_much_output"},
    {process::Ending::too_much_error_output, "too_much_error_output"},
    {process::Ending::cancelled, "cancelled"},
};

// Why a run failed, as the error the caller sees; nothing when it exited
// with status 0.
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

}  // namespace

std::pair<nb::object, nb::object> solver_and_domain(nb::handle domain, nb::handle solver) {
    if (!solver.is_none()) {
        if (!py::truthy(services::solver_registry::get_solver_config(solver)))
            py::raise(py::exc::value_error(), "no solver %R is registered", solver.ptr());
        if (!domain.is_none()) return {nb::borrow(solver), nb::borrow(domain)};
        nb::object schemas = services::solver_registry::get_domain_schemas();
        for (auto [name, schema] : nb::borrow<nb::dict>(schemas)) {
            if (py::contains(py::get(schema, "solvers", nb::list()), solver))
                return {nb::borrow(solver), nb::borrow(name)};
        }
        py::raise(py::exc::value_error(), "solver %R declares no domain (kpi_spec.yaml)",
                  solver.ptr());
    }
    if (domain.is_none()) py::raise(py::exc::value_error(), "a run needs a domain or a solver");
    nb::object solvers = py::get(results::domain_schema(domain), "solvers", nb::list());
    if (!py::truthy(solvers))
        py::raise(py::exc::value_error(), "no solver is registered for domain %R", domain.ptr());
    return {nb::object(solvers[0]), nb::borrow(domain)};
}

nb::dict resources(nb::handle solver, nb::handle workspace) {
    nb::object verdict =
        capacity_module.attr("gate_solver_resources")(solver, nb::arg("workspace") = workspace);
    nb::dict shown;
    shown["severity"] = verdict.attr("severity");
    shown["messages"] = verdict.attr("messages");
    return shown;
}

bool is_plan(nb::handle plan) {
    return nb::isinstance<nb::dict>(plan) && py::dict_get(plan, "argv").is_valid();
}

Command command_of(nb::handle plan) {
    Command command;
    for (nb::handle part : py::required_item(plan, "argv", "a run plan"))
        command.argv.emplace_back(process::argument(part));
    command.timeout = py::to_double(py::required_item(plan, "timeout", "a run plan"));
    command.max_output_bytes = nb::cast<std::size_t>(
        py::to_int(py::required_item(plan, "max_output_bytes", "a run plan")));
    command.input = py::utf8(py::required_item(plan, "case_yaml", "a run plan"));
    return command;
}

nb::dict outcome_of(const process::Completed& completed) {
    nb::dict outcome;
    for (const EndingName& known : kEndings) {
        if (known.ending == completed.ending) outcome["ending"] = known.name;
    }
    outcome["exit_code"] = completed.exit_code;
    outcome["out"] = nb::bytes(completed.out.data(), completed.out.size());
    outcome["err"] = nb::bytes(completed.err.data(), completed.err.size());
    return outcome;
}

process::Completed completed_from(nb::handle outcome) {
    process::Completed completed;
    const std::string_view ending = py::utf8(py::required_item(outcome, "ending", "a run outcome"));
    bool known_ending = false;
    for (const EndingName& known : kEndings) {
        if (ending == known.name) {
            completed.ending = known.ending;
            known_ending = true;
        }
    }
    if (!known_ending) {
        py::raise(py::exc::value_error(), "unknown ending %R of a run outcome",
                  py::required_item(outcome, "ending", "a run outcome").ptr());
    }
    completed.exit_code =
        nb::cast<int>(py::to_int(py::required_item(outcome, "exit_code", "a run outcome")));
    for (auto [key, sink] : {std::pair{"out", &completed.out}, std::pair{"err", &completed.err}}) {
        nb::object data = py::required_item(outcome, key, "a run outcome");
        if (!nb::isinstance<nb::bytes>(data))
            py::raise_argument_type("completed_from", key, "bytes", data);
        nb::bytes bytes = nb::borrow<nb::bytes>(data);
        sink->assign(bytes.c_str(), bytes.size());
    }
    return completed;
}

process::Options options_for(const Command& command) {
    process::Options options;
    options.input = command.input;
    options.max_output_bytes = command.max_output_bytes;
    return options;
}

nb::dict result_of(nb::handle plan, const process::Completed& completed) {
    nb::object solver = py::required_item(plan, "solver", "a run plan");
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
    if (!nb::borrow<nb::dict>(result).contains("solver")) result["solver"] = solver;
    result["parameters"] = py::required_item(plan, "parameters", "a run plan");
    result["provenance"] = py::required_item(plan, "provenance", "a run plan");
    return nb::borrow<nb::dict>(result);
}

}  // namespace orvane::solver_runs
