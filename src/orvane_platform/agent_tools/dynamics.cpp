// The agent's vehicle-dynamics tools: run a manoeuvre and assess the last
// result against the product's targets.
#include <nanobind/nanobind.h>

#include <string>

#include "native/domain/agent_report.h"
#include "native/domain/services.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

py::ModuleGlobals globals;

constexpr const char* kManoeuvreDescription =
    "Scenario test declared by the solver (see `orvane tests list`). Omit for solver defaults.";
constexpr const char* kAssessDescription =
    "Compare vehicle dynamics results (lateral_g, yaw_rate, roll_angle) against targets from the "
    "USD digital twin.";

nb::object dynamics_manoeuvres() {
    nb::object tests_of = services::solver_registry::get_solver_tests.get();
    for (nb::handle alias : services::solver_registry::all_solver_aliases()) {
        nb::object tests = tests_of(alias);
        if (py::truthy(tests)) {
            nb::list names(tests);
            names.sort();
            return names;
        }
    }
    return nb::list();
}

nb::object run_dynamics_simulation(nb::handle ctx, nb::handle manoeuvre) {
    py::require_str(manoeuvre, "run_dynamics_simulation", "manoeuvre");
    nb::dict kwargs;
    kwargs["domain"] = "dynamics";
    if (py::truthy(manoeuvre)) kwargs["manoeuvre"] = manoeuvre;
    nb::object result = ctx.attr("platform").attr("simulate")(**kwargs);
    nb::setattr(ctx, "last_dyn_result", result);
    if (!py::get(result, "status", nb::none()).equal(nb::str("success"))) {
        return py::make_str("Dynamics simulation error: " +
                            py::text(py::get(result, "error", nb::str("unknown"))));
    }
    auto at = [&](const char* key) { return nb::object(result[key]); };  // a missing entry raises
    std::string note;
    nb::object series = py::get(result, "time_series", nb::dict());
    if (py::truthy(series)) {
        note = "  Time-series: " + std::to_string(nb::len(py::get(series, "time", nb::list()))) +
               " samples\n";
    }
    return py::make_str(
        "DYNAMICS SIMULATION COMPLETE:\n  Manoeuvre = " + py::text(at("manoeuvre")) +
        "\n  Peak lateral acceleration = " + py::format(at("lateral_g"), ".4f") +
        " g\n  Peak yaw rate = " + py::format(at("yaw_rate_dps"), ".4f") +
        " deg/s\n  Peak roll angle = " + py::format(at("roll_angle_deg"), ".4f") +
        " deg\n  Final speed = " + py::format(at("speed_kmh"), ".1f") +
        " km/h\n  Converged = " + py::text(py::get(result, "converged", nb::str("N/A"))) +
        "\n  Wall time = " + py::text(py::get(result, "wall_clock_seconds", nb::str("N/A"))) +
        "s\n" + note);
}

nb::object assess_dynamics_targets(nb::handle ctx) {
    nb::object last = ctx.attr("last_dyn_result");
    if (last.is_none())
        return nb::str(
            "No dynamics simulation has been run yet. Call run_dynamics_simulation first.");
    nb::dict results;
    results["dynamics"] = last;
    nb::object answer = ctx.attr("platform").attr("evaluate_gates")("results"_a = results);
    nb::list gates;
    for (nb::handle gate : py::get(answer, "gates", nb::list())) {
        if (gate.attr("get")("domain").equal(nb::str("dynamics"))) gates.append(gate);
    }
    if (nb::len(gates) == 0) return nb::str("No dynamics gates to report.");
    return py::make_str(
        agent_report::gate_report(py::text(ctx.attr("vname")) + " DYNAMICS GATE RESULTS:", gates));
}

nb::object register_tools(nb::handle ctx) {
    // The registry is asked once: a solver registered later does not change this table.
    nb::object manoeuvres = globals.get("_dynamics_manoeuvres")();
    std::string description = "Run vehicle dynamics simulation in Docker. ";
    if (py::truthy(manoeuvres)) {
        description += "Available scenarios: " +
                       std::string(py::utf8(nb::str(", ").attr("join")(manoeuvres))) + ". ";
    }
    description += "Returns lateral_g, yaw_rate, roll_angle, speed, and time_series data.";
    nb::dict properties;
    properties["manoeuvre"] =
        agent_report::parameter("string", nb::str(kManoeuvreDescription), manoeuvres);

    nb::object context = nb::borrow(ctx);
    nb::dict table;
    table["run_dynamics_simulation"] = agent_report::tool_entry(
        nb::cpp_function(
            [context](nb::handle manoeuvre) { return run_dynamics_simulation(context, manoeuvre); },
            nb::name("run_dynamics_simulation"), nb::kw_only(), nb::arg("manoeuvre").none() = "",
            nb::sig("def run_dynamics_simulation(*, manoeuvre: str = '') -> str")),
        agent_report::function_schema("run_dynamics_simulation", py::make_str(description),
                                      properties, nb::none()));
    table["assess_dynamics_targets"] = agent_report::tool_entry(
        nb::cpp_function([context] { return assess_dynamics_targets(context); },
                         nb::name("assess_dynamics_targets")),
        agent_report::function_schema("assess_dynamics_targets", nb::str(kAssessDescription),
                                      nb::dict(), nb::none()));
    return table;
}

}  // namespace

NB_MODULE(dynamics, m) {
    m.doc() =
        "Vehicle-dynamics tools for the LLM agent: run a manoeuvre, assess the dynamics targets.";
    globals.bind(m);
    m.def("_dynamics_manoeuvres", &dynamics_manoeuvres,
          nb::sig("def _dynamics_manoeuvres() -> list[str]"),
          R"(The scenario names of the first registered solver that declares tests, sorted.)");
    m.def("register", &register_tools, nb::arg("ctx").none(),
          nb::sig("def register(ctx: typing.Any) -> dict[str, dict[str, typing.Any]]"),
          R"(The dynamics tool table over one agent context: run_dynamics_simulation and
          assess_dynamics_targets, each with its function-calling schema.)");
}
