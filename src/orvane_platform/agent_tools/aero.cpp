// The agent's aerodynamics tools: run a CFD simulation, assess the last
// result against the design-intent targets, analyse range competitiveness.
#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "native/domain/agent_report.h"
#include "native/domain/services.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

constexpr const char* kStepsDescription =
    "Total simulation steps/iterations. Lower = faster, less converged. Default (0) uses the "
    "solver default. Use "
    "when the brief asks for fewer steps (e.g. '2000 steps', '100 iterations', 'quick run').";
constexpr const char* kTestDescription =
    "Named scenario test declared by the solver (see `orvane tests list`). Omit for solver "
    "defaults.";
constexpr const char* kAssessDescription =
    "Evaluate the last simulation against design_intent targets. No parameters — reads from "
    "platform result store.";
constexpr const char* kRangeDescription =
    "Analyse range competitiveness vs benchmarked competitors. No parameters — reads Cd from most "
    "recent "
    "simulation.";

std::string joined(const std::vector<std::string>& parts, const char* separator) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) text.append(i ? separator : "").append(parts[i]);
    return text;
}

// The value of `key`, or 0 when it is missing or falsy.
nb::object number_or_zero(nb::handle result, const char* key) {
    nb::object value = py::get(result, key, nb::none());
    return py::truthy(value) ? value : nb::object(nb::int_(0));
}

nb::object product_name(nb::handle platform) {
    nb::object name = nb::getattr(platform, "name", nb::none());
    return name.is_none() ? nb::object(nb::str("")) : name;
}

std::string simulation_summary(nb::handle result, nb::handle solver) {
    std::vector<std::string> lines;
    lines.push_back("SIMULATION COMPLETE (solver: " + py::text(py::get(result, "solver", solver)) +
                    "):");
    lines.push_back("  Cd = " + py::format(number_or_zero(result, "cd"), ".6f"));
    lines.push_back("  Cl = " + py::format(number_or_zero(result, "cl"), ".6f"));
    nb::object cm_pitch = py::get(result, "cm_pitch", nb::none());
    if (!cm_pitch.is_none()) {
        lines.push_back("  CmPitch = " + py::format(py::to_float(cm_pitch), ".6f"));
    }
    nb::object converged = py::get(result, "converged", nb::none());
    if (!converged.is_none()) lines.push_back("  Converged = " + py::text(converged));
    nb::object timesteps = py::get(result, "timesteps_run", nb::none());
    if (!timesteps.is_none()) lines.push_back("  Timesteps run = " + py::text(timesteps));
    nb::object wall = py::get(result, "wall_clock_seconds", nb::none());
    if (!wall.is_none()) lines.push_back("  Wall time = " + py::format(wall, ".1f") + "s");
    return joined(lines, "\n") + "\n";
}

nb::object run_simulation(nb::handle ctx, nb::handle first_alias, nb::handle solver_arg,
                          nb::handle steps, nb::handle test) {
    py::require_str(solver_arg, "run_simulation", "solver");
    py::require<nb::int_>(steps, "run_simulation", "steps");
    py::require_str(test, "run_simulation", "test");
    nb::object solver = py::truthy(solver_arg) ? nb::borrow(solver_arg) : nb::borrow(first_alias);
    nb::object platform = ctx.attr("platform");
    platform.attr("set_solver")("domain"_a = "aero", "backend"_a = solver);
    nb::dict kwargs;
    kwargs["solver"] = solver;
    kwargs["domain"] = "aero";
    nb::dict overrides;
    if (steps > nb::int_(0)) {
        nb::object inputs = services::solver_registry::get_solver_inputs(
            solver, "product_name"_a = product_name(platform));
        const nb::set declared = py::truthy(inputs) ? nb::set(inputs) : nb::set();
        for (const char* key : {"timesteps", "iterations"}) {
            if (declared.contains(nb::str(key))) overrides[key] = steps;
        }
        if (nb::len(overrides) == 0) {
            return py::make_str("Simulation error: solver '" + py::text(solver) +
                                "' declares no timesteps/iterations input — cannot honour steps=" +
                                py::text(steps) + ".");
        }
    }
    if (py::truthy(test)) {
        nb::object resolved = services::solver_registry::resolve_test_preset(
            solver, test, "product_name"_a = product_name(platform));
        nb::object preset = resolved[0];
        nb::object error = resolved[1];
        if (py::truthy(error)) return py::make_str("Simulation error: " + py::text(error));
        if (py::truthy(preset)) overrides.update(preset);
    }
    if (nb::len(overrides) > 0) kwargs["overrides"] = overrides;
    nb::object result = platform.attr("simulate")(**kwargs);
    nb::setattr(ctx, "last_aero_result", result);
    if (!py::get(result, "status", nb::none()).equal(nb::str("success"))) {
        return py::make_str("Simulation error: " +
                            py::text(py::get(result, "error", nb::str("unknown"))));
    }
    return py::make_str(simulation_summary(result, solver));
}

nb::object assess_aerodynamic_targets(nb::handle ctx) {
    nb::object last = ctx.attr("last_aero_result");
    if (last.is_none())
        return nb::str("No simulation has been run yet. Call run_simulation first.");
    nb::dict results;
    results["aero"] = last;
    nb::object gates = py::get(ctx.attr("platform").attr("evaluate_gates")("results"_a = results),
                               "gates", nb::list());
    if (!py::truthy(gates)) return nb::str("No gates to report.");
    return py::make_str(
        agent_report::gate_report(py::text(ctx.attr("vname")) + " GATE RESULTS:", gates));
}

nb::object get_range_competitiveness(nb::handle ctx) {
    nb::object last = ctx.attr("last_aero_result");
    if (last.is_none())
        return nb::str("No aero simulation has been run yet. Call run_simulation first.");
    nb::object r = ctx.attr("platform").attr("range_competitiveness")(number_or_zero(last, "cd"));
    const std::string vehicle = py::text(ctx.attr("vname"));
    const std::string rule(60, '=');
    auto at = [&](const char* key) { return nb::object(r[key]); };
    std::vector<std::string> lines = {
        rule,
        vehicle + " RANGE COMPETITIVENESS ANALYSIS",
        rule,
        "Assumptions: " + py::format(at("battery_kwh"), ".1f") + " kWh battery, " +
            py::format(at("highway_speed_kmh"), ".0f") + " km/h highway cruise, Crr=" +
            py::text(at("crr")) + ", aux=" + py::text(at("aux_power_kw")) + " kW",
        "",
        vehicle + ":",
        "   Cd = " + py::format(at("cd"), ".4f") + " | Aref = " + py::text(at("frontal_area")) +
            " m² | CdA = " + py::format(at("cda"), ".3f") + " m²",
        "   Mass = " + py::format(at("mass_kg"), ".0f") + " kg",
        "   Est. highway range = " + py::format(at("range_km"), ".0f") + " km",
        "",
        "COMPETITOR COMPARISON:",
    };
    for (nb::handle competitor : at("competitors")) {
        auto field = [&](const char* key) { return nb::object(competitor[key]); };
        lines.push_back("   " + py::text(field("name")) + ": Cd=" + py::text(field("cd")) +
                        ", CdA=" + py::format(field("cda"), ".3f") +
                        " m², range=" + py::format(field("range_km"), ".0f") + " km (Δ " +
                        py::format(field("delta_km"), "+.0f") + " km vs " + vehicle + ")");
    }
    lines.insert(lines.end(),
                 {
                     "",
                     "RANGE IMPACT SENSITIVITY:",
                     "   Every 0.01 Cd reduction = ~" +
                         py::format(at("sensitivity_per_0_01_cd"), ".1f") + " km extra range",
                     "   Target Cd (" + py::text(at("target_cd")) + ") would give: " +
                         py::format(at("range_at_target_cd"), ".0f") + " km range",
                     "",
                     "   CdA segment position: " + py::text(at("segment_verdict")),
                     "",
                     rule,
                 });
    return py::make_str(joined(lines, "\n"));
}

nb::object per_solver_text(nb::handle solvers, bool for_parameter) {
    std::vector<std::string> parts;
    for (nb::handle descriptor : solvers) {
        const std::string alias = py::text(descriptor["alias"]);
        const std::string name = py::text(descriptor["name"]);
        const bool gpu = py::truthy(descriptor.attr("get")("gpu"));
        nb::object kind = descriptor.attr("get")("kind");
        const bool ml = kind.equal(nb::str("ml"));
        if (!for_parameter) {
            parts.push_back("'" + alias + "' for " + name + (gpu ? " (fast GPU)" : "") +
                            (ml ? " (instant surrogate)" : ""));
        } else {
            // The last two tests are independent: a CPU solver of kind "ml" gets both.
            parts.push_back(
                "'" + alias + "'=" + name + (gpu ? " (GPU, fast)" : "") +
                (ml ? " (instant surrogate)" : "") +
                (!gpu && !kind.equal(nb::str("surrogate")) ? " (highest accuracy)" : ""));
        }
    }
    return py::make_str(joined(parts, "; "));
}

nb::object register_tools(nb::handle ctx, nb::handle aero_solvers) {
    py::require<nb::list>(aero_solvers, "register", "aero_solvers", py::NoneAllowed::yes);
    nb::dict table;
    if (!py::truthy(aero_solvers)) return table;
    nb::list aliases;
    for (nb::handle descriptor : aero_solvers) aliases.append(descriptor["alias"]);
    nb::object first_alias = aliases[0];
    // Built before any closure, so that a descriptor without a name raises here.
    nb::object run_description =
        py::concat(py::concat("Run CFD simulation. Choose solver based on the brief: ",
                              per_solver_text(aero_solvers, false)),
                   nb::str(". Returns Cd, Cl, CmPitch, convergence, and timing."));
    nb::object solver_description =
        py::concat(py::concat(py::concat("Solver backend: ", per_solver_text(aero_solvers, true)),
                              nb::str(". Default is '")),
                   py::concat(nb::str(first_alias), nb::str("'.")));

    nb::dict properties;
    properties["solver"] = agent_report::parameter("string", solver_description, aliases);
    properties["steps"] = agent_report::parameter("integer", nb::str(kStepsDescription));
    properties["test"] = agent_report::parameter("string", nb::str(kTestDescription));
    nb::list required;
    required.append("solver");

    nb::object context = nb::borrow(ctx);
    table["run_simulation"] = agent_report::tool_entry(
        nb::cpp_function(
            [context, first_alias](nb::handle solver, nb::handle steps, nb::handle test) {
                return run_simulation(context, first_alias, solver, steps, test);
            },
            nb::name("run_simulation"), nb::kw_only(), nb::arg("solver").none() = "",
            nb::arg("steps").none() = 0, nb::arg("test").none() = "",
            nb::sig(
                "def run_simulation(*, solver: str = '', steps: int = 0, test: str = '') -> str")),
        agent_report::function_schema("run_simulation", run_description, properties, required));
    table["assess_aerodynamic_targets"] = agent_report::tool_entry(
        nb::cpp_function([context] { return assess_aerodynamic_targets(context); },
                         nb::name("assess_aerodynamic_targets")),
        agent_report::function_schema("assess_aerodynamic_targets", nb::str(kAssessDescription),
                                      nb::dict(), nb::none()));
    table["get_range_competitiveness"] = agent_report::tool_entry(
        nb::cpp_function([context] { return get_range_competitiveness(context); },
                         nb::name("get_range_competitiveness")),
        agent_report::function_schema("get_range_competitiveness", nb::str(kRangeDescription),
                                      nb::dict(), nb::none()));
    return table;
}

}  // namespace

NB_MODULE(aero, m) {
    m.doc() =
        "Aerodynamics tools for the LLM agent: simulate, assess targets, range competitiveness.";
    m.def(
        "register", &register_tools, nb::arg("ctx").none(),
        nb::arg("aero_solvers").none() = nb::none(),
        nb::sig("def register(ctx: typing.Any, aero_solvers: list[dict[str, typing.Any]] | None = "
                "None) -> "
                "dict[str, dict[str, typing.Any]]"),
        R"(The aero tool table over one agent context: run_simulation, assess_aerodynamic_targets
        and get_range_competitiveness, each with its function-calling schema. Empty without
        solvers.)");
}
