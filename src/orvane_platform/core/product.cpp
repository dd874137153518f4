// The product object: a product's root file with its dictionary, range
// targets and gates.
#include <nanobind/nanobind.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "native/domain/product_lock.h"
#include "native/domain/services.h"
#include "native/domain/solver_runs.h"
#include "native/domain/targets.h"
#include "native/domain/usd.h"
#include "native/fs.h"
#include "native/process.h"
#include "native/py.h"
#include "native/text.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

py::ModuleGlobals globals;

void init(nb::handle self, nb::handle usd_path) {
    nb::setattr(self, "usd_path", py::require_path(usd_path, "Product", "usd_path"));
}

nb::object name(nb::handle self) {
    return services::product_twin::product_name_from_path(self.attr("usd_path"));
}

nb::object specs(nb::handle self) {
    return services::product_twin::load_product(self.attr("usd_path"));
}

// target_<kpi>_<suffix> keys of the product dictionary, where a hand-set
// orvane:target: attribute already wins over a derived bare one.
nb::object range_targets(nb::handle self) {
    nb::dict found;
    nb::object specs = self.attr("specs");
    for (nb::handle item : specs.attr("items")()) {
        nb::object key = item[0];
        nb::object value = item[1];
        if (!nb::isinstance<nb::str>(key)) continue;
        const std::string_view text = py::utf8(key);
        constexpr std::string_view kPrefix = targets::kDerivedPrefix;
        if (!text.starts_with(kPrefix)) continue;
        const bool numeric =
            (nb::isinstance<nb::int_>(value) && !nb::isinstance<nb::bool_>(value)) ||
            nb::isinstance<nb::float_>(value);
        if (!targets::has_range_suffix(text) || !numeric || text.size() <= kPrefix.size()) continue;
        found[py::make_str(text.substr(kPrefix.size()))] = nb::float_(py::to_double(value));
    }
    return found;
}

// The latest recorded result of each domain, as a result dictionary the gates
// read: status "success" and the numbers of its history entry.
nb::object latest_results(nb::handle self) {
    nb::object records = services::product_twin::load_product_history(self.attr("usd_path"));
    nb::dict latest;
    for (nb::handle record : records) {
        nb::object domain = record["domain"];
        if (!nb::isinstance<nb::str>(domain) || nb::len(domain) == 0) continue;
        nb::dict result;
        result["status"] = "success";
        for (auto [key, value] : nb::borrow<nb::dict>(record)) {
            if (nb::isinstance<nb::float_>(value)) result[key] = value;
        }
        latest[domain] = result;
    }
    return latest;
}

// --- running solvers --------------------------------------------------------------

constexpr double kDefaultTimeoutSeconds = 600;

void set_solver(nb::handle self, nb::handle domain, nb::handle backend) {
    py::require_str(domain, "set_solver", "domain");
    py::require_str(backend, "set_solver", "backend");
    nb::object chosen = nb::getattr(self, "_solvers", nb::none());
    if (chosen.is_none()) {
        chosen = nb::dict();
        nb::setattr(self, "_solvers", chosen);
    }
    chosen[domain] = backend;
}

// The solver for a domain: the one asked for, else the one set for the
// domain, else the first registered solver of that domain.
nb::object solver_for(nb::handle self, nb::handle domain, nb::handle asked) {
    if (py::truthy(asked)) return nb::borrow(asked);
    nb::object chosen = nb::getattr(self, "_solvers", nb::none());
    if (!chosen.is_none() && py::contains(chosen, domain)) return chosen[domain];
    nb::object schema = services::solver_registry::get_domain_schema(domain);
    if (py::truthy(schema)) {
        nb::object solvers = schema.attr("get")("solvers", nb::list());
        if (py::truthy(solvers)) return solvers[0];
    }
    return nb::none();
}

// Plain values of the design parameters, for the case file.
nb::dict design_inputs(nb::handle self) {
    nb::object specs = self.attr("specs");
    nb::dict design;
    nb::object keys = specs.attr("get")("_design_keys", nb::set());
    nb::list names(keys);
    names.sort();
    for (nb::handle name : names) {
        // Derived targets live in the design-intent layer too, but a target
        // is not an input: changing one must not change the run.
        if (nb::isinstance<nb::str>(name) && py::utf8(name).starts_with(targets::kDerivedPrefix))
            continue;
        nb::object value = specs.attr("get")(name);
        if (nb::isinstance<nb::float_>(value) || nb::isinstance<nb::int_>(value) ||
            nb::isinstance<nb::str>(value))
            design[name] = value;
    }
    return design;
}

// The solver inputs of a run: the declared defaults, then the overrides,
// with the parameter snapshot {name: {value, default, path, override}}.
std::pair<nb::dict, nb::dict> run_inputs(nb::handle self, nb::handle solver, nb::handle kwargs) {
    nb::dict defaults;
    nb::object declared =
        services::solver_registry::get_solver_inputs(solver, "product_name"_a = self.attr("name"));
    for (nb::handle item : declared.attr("items")()) {
        nb::object name = item[0];
        nb::object spec = item[1];
        nb::object fallback =
            nb::isinstance<nb::dict>(spec) ? spec.attr("get")("default") : nb::borrow(spec);
        if (!fallback.is_none()) defaults[name] = fallback;
    }
    nb::dict overrides;
    nb::object asked = kwargs.attr("get")("overrides");
    if (py::truthy(asked)) overrides.update(asked);
    nb::object manoeuvre = kwargs.attr("get")("manoeuvre");
    if (py::truthy(manoeuvre)) overrides["manoeuvre"] = manoeuvre;
    nb::dict inputs;
    inputs.update(defaults);
    inputs.update(overrides);
    nb::dict snapshot;
    for (auto [name, value] : inputs) {
        nb::dict parameter;
        parameter["value"] = value;
        parameter["default"] = defaults.attr("get")(name);
        parameter["path"] = py::concat("inputs.", nb::str(name));
        parameter["override"] = nb::bool_(overrides.contains(name));
        snapshot[name] = parameter;
    }
    return {inputs, snapshot};
}

// The case the solver reads: the design inputs (with `design_changes` for
// this run only, each one a design parameter the product has) and the
// solver's inputs.
nb::str case_text(nb::handle self, nb::handle domain, nb::handle solver, nb::handle inputs,
                  nb::handle design_changes) {
    nb::dict design = design_inputs(self);
    if (!design_changes.is_none()) {
        for (auto [name, value] : nb::borrow<nb::dict>(design_changes)) {
            if (!design.contains(name)) {
                py::raise(py::exc::value_error(), "%U has no design parameter %R",
                          nb::str(self.attr("name")).ptr(), name.ptr());
            }
            if (!py::is_real(value))
                py::raise_argument_type("simulate", "design", "a dict of numbers", value);
            design[name] = nb::float_(py::to_double(value));
        }
    }
    nb::dict case_mapping;
    case_mapping["product"] = self.attr("name");
    case_mapping["domain"] = domain;
    case_mapping["solver"] = solver;
    case_mapping["design"] = design;
    case_mapping["inputs"] = inputs;
    return nb::borrow<nb::str>(
        py::import_from("yaml", "safe_dump")(case_mapping, "sort_keys"_a = false));
}

bool is_executable(const std::string& path) {
    return fs::is_regular_file(path) && ::access(path.c_str(), X_OK) == 0;
}

// The solver's program: a path as given, else found on PATH or among this
// environment's scripts.
std::optional<std::string> solver_program(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return is_executable(name) ? std::optional(name) : std::nullopt;
    if (auto found = process::find_program(name)) return found;
    const std::string scripts(py::utf8(py::import_from("sysconfig", "get_path")("scripts")));
    const std::string beside = scripts + "/" + name;
    if (is_executable(beside)) return beside;
    return std::nullopt;
}

// What to run, as a plan (see solver_runs.h), or the error status of a run
// that cannot start.
nb::dict plan_run(nb::handle self, nb::handle kwargs) {
    nb::object domain = kwargs.attr("get")("domain", "aero");
    py::require_str(domain, "simulate", "domain");
    nb::object asked_solver = kwargs.attr("get")("solver");
    py::require_str_or_none(asked_solver, "simulate", "solver");
    py::require_dict_or_none(kwargs.attr("get")("overrides"), "simulate", "overrides");
    py::require_str_or_none(kwargs.attr("get")("manoeuvre"), "simulate", "manoeuvre");
    nb::object design_changes = kwargs.attr("get")("design");
    py::require_dict_or_none(design_changes, "simulate", "design");
    nb::object solver = solver_for(self, domain, asked_solver);
    if (solver.is_none())
        return py::error_status("no solver registered for domain '" + py::text(domain) + "'");
    nb::object config = services::solver_registry::get_solver_config(solver);
    if (!py::truthy(config)) return py::error_status("unknown solver '" + py::text(solver) + "'");
    nb::object run = config.attr("get")("run", nb::dict());
    nb::object command = nb::isinstance<nb::dict>(run) ? run.attr("get")("command") : nb::none();
    if (!nb::isinstance<nb::list>(command) || nb::len(command) == 0) {
        return py::error_status("solver '" + py::text(solver) + "' declares no command to run");
    }
    nb::list argv;
    for (nb::handle part : command) argv.append(nb::str(part));
    const std::string first = py::text(argv[0]);
    const auto program = solver_program(first);
    if (!program) return py::error_status("solver program not found: " + first);
    argv[0] = py::make_str(*program);
    auto [inputs, parameters] = run_inputs(self, solver, kwargs);
    nb::str case_yaml = case_text(self, domain, solver, inputs, design_changes);

    nb::dict plan;
    plan["domain"] = domain;
    plan["solver"] = solver;
    plan["argv"] = argv;
    plan["timeout"] =
        nb::float_(py::to_double(run.attr("get")("timeout_seconds", kDefaultTimeoutSeconds)));
    plan["max_output_bytes"] = globals.get("_MAX_OUTPUT_BYTES");
    plan["case_yaml"] = case_yaml;
    plan["parameters"] = parameters;
    // The provenance of the exact case the solver is given: what the gateway
    // records with every run, whatever its outcome.
    nb::object record = services::solver_registry::get_solver_record(solver);
    nb::object cert = services::solver_certs::verify_solver_cert(
        py::truthy(record) ? record : nb::object(nb::dict()));
    nb::object version = config.attr("get")("version", "");
    nb::object image = config.attr("get")("image", "");
    // A caller planning many runs of one solver looks its image up once.
    nb::object image_digest = py::dict_get(kwargs, "image_digest");
    if (!image_digest.is_valid()) image_digest = services::provenance::get_image_digest(image);
    plan["image_digest"] = image_digest;
    plan["provenance"] = services::provenance::build_provenance_record(
        image, case_yaml, "parameters"_a = parameters, "solver_version"_a = nb::str(version),
        "solver_cert"_a = cert, "image_digest"_a = image_digest);
    return plan;
}

// Runs the plan's solver, telling `progress` how it goes.
process::Completed execute(nb::handle plan, nb::handle progress) {
    const solver_runs::Command command = solver_runs::command_of(plan);
    process::Options options = solver_runs::options_for(command);
    if (!progress.is_none()) {
        options.on_tick = [progress](double elapsed, std::string_view error_output) {
            progress(elapsed, py::decode_utf8(error_output, py::Undecodable::replace));
        };
    }
    return process::run(command.argv, command.timeout, options);
}

// Every run that started leaves its record, failed, interrupted or not; the
// result learns its run id and record file.
void record_run(nb::handle self, nb::handle plan, nb::dict result) {
    nb::object written = services::run_records::write_run_record(
        self.attr("usd_path"), result, plan["domain"], plan["solver"],
        "provenance"_a = plan["provenance"], "parameters"_a = plan["parameters"]);
    result["run_id"] = written["run_id"];
    result["run_record"] = written["layer"];
}

nb::object simulate(nb::handle self, nb::kwargs kwargs) {
    nb::object progress = kwargs.attr("get")("progress");
    if (!progress.is_none() && !nb::isinstance<nb::callable>(progress))
        py::raise_argument_type("simulate", "progress", "callable or None", progress);
    nb::dict plan = plan_run(self, kwargs);
    if (!solver_runs::is_plan(plan)) return plan;
    nb::dict result;
    try {
        result = solver_runs::result_of(plan, execute(plan, progress));
    } catch (nb::python_error& error) {
        if (!error.matches(py::exc::keyboard_interrupt())) throw;
        process::Completed interrupted;
        interrupted.ending = process::Ending::cancelled;
        record_run(self, plan, solver_runs::result_of(plan, interrupted));
        throw;
    }
    record_run(self, plan, result);
    return result;
}

nb::object plan_run_method(nb::handle self, nb::kwargs kwargs) { return plan_run(self, kwargs); }

nb::object complete_run(nb::handle self, nb::handle plan, nb::handle outcome) {
    if (!solver_runs::is_plan(plan))
        py::raise_argument_type("_complete_run", "plan", "a run plan from _plan_run", plan);
    py::require_dict(outcome, "_complete_run", "outcome");
    nb::dict result = solver_runs::result_of(plan, solver_runs::completed_from(outcome));
    record_run(self, plan, result);
    return result;
}

void set_design_parameter(nb::handle self, nb::handle name, nb::handle value) {
    py::require_str(name, "set_design_parameter", "name");
    if (!nb::isinstance<nb::float_>(value) && !nb::isinstance<nb::int_>(value)) {
        py::raise_argument_type("set_design_parameter", "value", "float or int", value);
    }
    nb::object usd_path = self.attr("usd_path");
    const product_lock::ProductLock lock(usd_path);
    nb::object stage = usd::open_stage(nb::str(usd_path));
    nb::object layer = services::product_twin::find_layer_by_name(stage, "design_intent");
    if (!py::truthy(layer)) layer = stage.attr("GetRootLayer")();
    usd::require_layer_within(layer, py::fs_path(usd_path.attr("parent")));
    nb::object prim_spec =
        usd::find_prim_spec(layer, stage.attr("GetDefaultPrim")().attr("GetPath")());
    if (!prim_spec.is_valid())
        py::raise(py::exc::value_error(),
                  "the product has no default prim in its design-intent layer");
    usd::edit_and_save(layer, [&] {
        usd::set_attribute_default(prim_spec, py::concat("orvane:product:", name),
                                   nb::float_(py::to_double(value)), usd::value_type("Double"));
    });
}

// --- range ----------------------------------------------------------------------------

// Highway range from a road-load model: aerodynamic drag 0.5·ρ·Cd·A·v³ and
// rolling resistance Crr·m·g·v through the drivetrain, plus auxiliary power,
// drawn from the battery at a steady cruise speed.
struct RangeModel {
    static constexpr double kSpeedKmh = 120;
    static constexpr double kCrr = 0.009;
    static constexpr double kAuxKw = 1.5;
    static constexpr double kAirDensity = 1.2;
    static constexpr double kDrivetrainEfficiency = 0.9;
    static constexpr double kGravity = 9.81;

    static double range_km(double cd, double frontal_area, double mass, double battery_kwh) {
        const double speed = kSpeedKmh / 3.6;
        const double road_watts = 0.5 * kAirDensity * cd * frontal_area * std::pow(speed, 3) +
                                  kCrr * mass * kGravity * speed;
        const double watts = road_watts / kDrivetrainEfficiency + kAuxKw * 1000;
        const double wh_per_km = watts / speed * 1000 / 3600;
        return battery_kwh * 1000 / wh_per_km;
    }
};

double product_number(nb::handle specs, const char* key, double fallback) {
    nb::object value = specs.attr("get")(key);
    return value.is_none() ? fallback : py::to_double(value);
}

nb::object range_competitiveness(nb::handle self, nb::handle cd_value) {
    const double cd = py::to_double(cd_value);
    nb::object specs = self.attr("specs");
    const double area = product_number(specs, "frontal_area", 2.3);
    const double mass = product_number(specs, "mass", 2000);
    const double battery = product_number(specs, "battery_kwh", 75);
    const double own_range = RangeModel::range_km(cd, area, mass, battery);
    const double own_cda = cd * area;

    nb::list competitors;
    std::size_t lower_cda = 0;
    nb::object usd_path = self.attr("usd_path");
    nb::object stage = usd::open_stage(nb::str(usd_path));
    nb::object rivals = stage.attr("GetPrimAtPath")(
        stage.attr("GetDefaultPrim")().attr("GetPath")().attr("AppendChild")("Competitors"));
    if (py::truthy(rivals.attr("IsValid")())) {
        for (nb::handle rival : rivals.attr("GetChildren")()) {
            auto value = [&](const char* name, double fallback) {
                nb::object attribute = rival.attr("GetAttribute")(name);
                return py::truthy(attribute.attr("HasValue")())
                           ? py::to_double(attribute.attr("Get")())
                           : fallback;
            };
            const double rival_cd = value("orvane:current:cd", cd);
            const double rival_area = value("orvane:product:frontal_area", area);
            const double rival_range =
                RangeModel::range_km(rival_cd, rival_area, value("orvane:product:mass", mass),
                                     value("orvane:product:battery_kwh", battery));
            if (rival_cd * rival_area < own_cda) ++lower_cda;
            nb::dict entry;
            entry["name"] = rival.attr("GetName")();
            entry["cd"] = rival_cd;
            entry["cda"] = rival_cd * rival_area;
            entry["range_km"] = rival_range;
            entry["delta_km"] = rival_range - own_range;
            competitors.append(entry);
        }
    }
    nb::object targets = self.attr("targets");
    nb::object target = targets.attr("get")("cd_nominal", targets.attr("get")("cd_max"));
    const double target_cd = target.is_none() ? cd - 0.01 : py::to_double(target);
    const std::size_t rivals_count = nb::len(competitors);
    std::string verdict = "no competitors to compare";
    if (rivals_count > 0) {
        verdict = lower_cda == 0 ? "best in segment (lowest CdA)"
                  : lower_cda == rivals_count
                      ? "worst in segment (highest CdA)"
                      : "mid-pack (" + std::to_string(lower_cda) + " of " +
                            std::to_string(rivals_count) + " rivals have a lower CdA)";
    }
    nb::dict analysis;
    analysis["battery_kwh"] = battery;
    analysis["highway_speed_kmh"] = RangeModel::kSpeedKmh;
    analysis["crr"] = RangeModel::kCrr;
    analysis["aux_power_kw"] = RangeModel::kAuxKw;
    analysis["cd"] = cd;
    analysis["frontal_area"] = area;
    analysis["cda"] = own_cda;
    analysis["mass_kg"] = mass;
    analysis["range_km"] = own_range;
    analysis["competitors"] = competitors;
    analysis["sensitivity_per_0_01_cd"] =
        RangeModel::range_km(cd - 0.01, area, mass, battery) - own_range;
    analysis["target_cd"] = target_cd;
    analysis["range_at_target_cd"] = RangeModel::range_km(target_cd, area, mass, battery);
    analysis["segment_verdict"] = py::make_str(verdict);
    return analysis;
}

}  // namespace

NB_MODULE(product, m) {
    m.doc() = "The product object of the platform: a product's root .usda with its range gates.";
    globals.bind(m);
    // What a solver may print on each of its outputs before it is stopped.
    m.attr("_MAX_OUTPUT_BYTES") = process::kDefaultMaxOutputBytes;
    nb::object gates_mixin = services::target_gates::gates_mixin.get();
    py::ClassBuilder(m, "Product",
                     "A product: its root .usda file, dictionary, range targets and gates.",
                     nb::make_tuple(gates_mixin))
        .method("__init__", &init, nb::arg("usd_path").none(),
                nb::sig("def __init__(self, usd_path: str | os.PathLike[str]) -> None"),
                "A product by its root .usda file.")
        .property("name", &name, "The product's name: the folder that holds its root file.")
        .property("specs", &specs, "The product dictionary, read afresh from the stage.")
        .property("targets", &range_targets,
                  R"(Range targets as <kpi>_min, _nominal and _max floats; hand-set ones win over
            derived.)")
        .method("set_solver", &set_solver, nb::kw_only(), nb::arg("domain").none(),
                nb::arg("backend").none(),
                nb::sig("def set_solver(self, *, domain: str, backend: str) -> None"),
                "Use solver `backend` for `domain` in later simulations.")
        .method("simulate", &simulate,
                nb::sig("def simulate(self, **kwargs: typing.Any) -> dict[str, typing.Any]"),
                R"(Run the domain's solver (keywords domain, solver, overrides, manoeuvre, design,
                progress) as a child process: the case (YAML, from the design-intent inputs with
                `design` changes for this run only, the solver's input defaults and the
                overrides) on standard input, the result as JSON on standard output. Every run
                that starts is recorded. A failed, late or malformed run comes back as
                {'status': 'error', 'error': ...}.)")
        .method("_plan_run", &plan_run_method,
                nb::sig("def _plan_run(self, **kwargs: typing.Any) -> dict[str, typing.Any]"),
                R"(The plan of a run as simulate() would make it (same keywords, and
                `image_digest` when the caller already looked the solver image up): the solver's
                command, its case text, parameter snapshot, image digest and provenance record;
                or the error status of a run that cannot start.)")
        .method("_complete_run", &complete_run, nb::arg("plan").none(), nb::arg("outcome").none(),
                nb::sig("def _complete_run(self, plan: dict[str, typing.Any], outcome: "
                        "dict[str, typing.Any]) -> dict[str, typing.Any]"),
                R"(The result of a planned run from its child's outcome {ending, exit_code, out,
                err}, recorded as simulate() records it.)")
        .method("set_design_parameter", &set_design_parameter, nb::arg("name").none(),
                nb::arg("value").none(),
                nb::sig("def set_design_parameter(self, name: str, value: float) -> None"),
                R"(Set the design parameter orvane:product:<name> in the design-intent layer (saved
                at once).)")
        .method("range_competitiveness", &range_competitiveness, nb::arg("cd").none(),
                nb::sig("def range_competitiveness(self, cd: float) -> dict[str, typing.Any]"),
                R"(Highway range at 120 km/h from a road-load model (aerodynamic drag, rolling
                resistance, auxiliary power, battery energy) for the product at drag coefficient
                `cd` and for each competitor, with the sensitivity to Cd and the CdA position in
                the segment.)")
        .method(
            "latest_results", &latest_results,
            nb::sig("def latest_results(self) -> dict[str, dict[str, typing.Any]]"),
            R"(The latest recorded result of each domain (from the results history), ready for the
            gates.)")
        .finish();
}
