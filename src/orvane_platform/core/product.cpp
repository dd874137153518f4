// Stands in for the surrounding package's product object: a product's root
// file with its dictionary, range targets, gates, design changes and range
// model. The real package's product class (its product service) replaces it;
// runs go through orvane_platform.runs.solver_run either way.
#include <nanobind/nanobind.h>

#include <cmath>
#include <string>
#include <string_view>

#include "native/domain/design.h"
#include "native/domain/product_lock.h"
#include "native/domain/services.h"
#include "native/domain/targets.h"
#include "native/domain/usd.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

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

// Whether the product has every design parameter the solver declares it
// reads (solver.yaml `design`, as a list or with bounds); a solver that
// declares none fits any.
bool fits(nb::handle design_keys, nb::handle solver) {
    nb::object config = services::solver_registry::get_solver_config(solver);
    nb::object declared = py::truthy(config) ? config.attr("get")("design") : nb::none();
    return design::all_present(
        design::declared(declared, "solver " + py::repr(solver) + " declares a malformed design: "),
        design_keys);
}

// The solver for a domain: the one asked for, else the one set for the
// domain, else the first registered solver of that domain that fits the
// product (the first of all when none does, so that its run says what is
// missing).
nb::object solver_for(nb::handle self, nb::handle domain, nb::handle asked) {
    if (py::truthy(asked)) return nb::borrow(asked);
    nb::object chosen = nb::getattr(self, "_solvers", nb::none());
    if (!chosen.is_none() && py::contains(chosen, domain)) return chosen[domain];
    nb::object schema = services::solver_registry::get_domain_schema(domain);
    if (!py::truthy(schema)) return nb::none();
    nb::object solvers = schema.attr("get")("solvers", nb::list());
    if (!py::truthy(solvers)) return nb::none();
    nb::object design_keys = self.attr("specs").attr("get")("_design_keys", nb::set());
    for (nb::handle solver : solvers) {
        if (fits(design_keys, solver)) return nb::borrow(solver);
    }
    return solvers[0];
}

nb::object default_solver(nb::handle self, nb::handle domain) {
    py::require_str(domain, "default_solver", "domain");
    return solver_for(self, domain, nb::none());
}

// Runs go through the platform's run path, so a replaced product object runs
// solvers exactly as the command line does.
nb::object simulate(nb::handle self, nb::kwargs kwargs) {
    return services::solver_run::simulate(self, **kwargs);
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
        .method("default_solver", &default_solver, nb::arg("domain").none(),
                nb::sig("def default_solver(self, domain: str) -> str | None"),
                R"(The solver a run of `domain` uses when none is named: the one set with
                set_solver, else the first registered solver of the domain whose declared
                design parameters (solver.yaml `design`) the product has, else the domain's first
                solver; None when the domain has none.)")
        .method("simulate", &simulate,
                nb::sig("def simulate(self, **kwargs: typing.Any) -> dict[str, typing.Any]"),
                R"(Run the domain's solver through the platform's run path (keywords domain,
                solver, overrides, manoeuvre, design, progress) as a child process: the case (YAML, from the design-intent inputs with
                `design` changes for this run only, the solver's input defaults and the
                overrides) on standard input, the result as JSON on standard output. Every run
                that starts is recorded. A failed, late or malformed run comes back as
                {'status': 'error', 'error': ...}.)")
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
