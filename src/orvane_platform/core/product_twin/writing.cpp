// Writing a solver run's results into a product: KPI values, derived
// targets, status and provenance attributes, and the results-history entry.
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "native/clock.h"
#include "native/domain/history.h"
#include "native/domain/product_lock.h"
#include "native/domain/services.h"
#include "native/domain/targets.h"
#include "native/domain/usd.h"
#include "native/py.h"
#include "product_twin.h"

namespace orvane::product_twin {

namespace {

py::Logger logger{kLoggerName};

constexpr const char* kProvenanceKeys[] = {"fingerprint", "solver_image",   "geometry",
                                           "mesh_cache",  "solver_version", "solver_cert",
                                           "timestamp"};
constexpr const char* kDerivedMarkers[] = {"last_updated", "last_modified_by", "simulation_status"};

// One call's arguments, checked.
struct Request {
    nb::object path;
    nb::handle domain;
    nb::handle kpis;
    nb::handle solver;
    nb::dict provenance;  // empty when none was given
    nb::handle extra_meta;
    nb::handle save_target;
    nb::handle parameters;
    bool only_missing_targets;
    bool converged;

    bool to_design_intent() const { return py::utf8(save_target) == "design_intent"; }
    bool has_solver() const { return nb::len(solver) > 0; }
    // The KPI value of the run, or an invalid object when it has none.
    nb::object kpi_value(nb::handle kpi_key) const {
        nb::object value = py::dict_get(kpis, kpi_key);
        return (value.is_valid() && !value.is_none()) ? value : nb::object();
    }
};

// What the domain's schema says about the write.
struct DomainPlan {
    nb::dict kpis;  // KPI key -> definition, in writing order
    nb::object history_prefix;
    nb::str source_prefix;  // the provenance marker of the written KPIs
};

// The layer written and the product's prim spec in it.
struct Target {
    nb::object layer;
    nb::object prim_spec;
};

// One attribute to author on the target prim spec.
struct Write {
    nb::object name;
    nb::object value;
    nb::object type_name;
};

// Everything the call will author, decided before the layer is touched.
struct Plan {
    std::vector<Write> writes;
    nb::dict markers;    // provenance markers (results layers only)
    nb::object history;  // the full new history (results layers only)
};

Request check_arguments(nb::handle usda_path, nb::handle domain, nb::handle kpis, nb::handle solver,
                        nb::handle provenance, nb::handle assumptions, nb::handle extra_meta,
                        nb::handle save_target, nb::handle parameters,
                        nb::handle only_missing_targets, nb::handle converged) {
    constexpr const char* kFunction = "write_domain_results";
    nb::object path = py::require_path(usda_path, kFunction, "usda_path");
    py::require_str(domain, kFunction, "domain");
    py::require_dict(kpis, kFunction, "kpis");
    py::require_str(solver, kFunction, "solver");
    py::require_dict_or_none(provenance, kFunction, "provenance");
    py::require_dict_or_none(assumptions, kFunction, "assumptions");
    py::require_dict_or_none(extra_meta, kFunction, "extra_meta");
    py::require_str(save_target, kFunction, "save_target");
    py::require_dict_or_none(parameters, kFunction, "parameters");
    return {path,
            domain,
            kpis,
            solver,
            provenance.is_none() ? nb::dict() : nb::borrow<nb::dict>(provenance),
            extra_meta,
            save_target,
            parameters,
            py::truthy(only_missing_targets),
            py::truthy(converged)};
}

// The KPIs to write, in order: the solver's declared KPIs with the domain's
// definitions when the solver declares any, else the domain's own.
nb::dict effective_kpi_spec(nb::handle kpi_spec, const Request& request) {
    if (request.has_solver()) {
        nb::object config = services::solver_registry::get_solver_config(request.solver);
        if (!py::truthy(config)) config = nb::dict();
        nb::object declared = py::get(config, "kpi_spec", nb::none());
        if (!py::truthy(declared)) declared = nb::dict();
        nb::object solver_kpis = py::get(declared, "kpis", nb::none());
        if (py::truthy(solver_kpis)) {
            nb::dict effective;
            for (nb::handle name : solver_kpis) {
                nb::object domain_entry = kpi_spec.attr("get")(name, nb::none());
                if (!py::truthy(domain_entry)) domain_entry = nb::dict();
                nb::dict entry;
                entry["usd_attr"] =
                    py::get(domain_entry, "usd_attr", py::concat("orvane:current:", name));
                entry["unit"] = py::get(domain_entry, "unit", nb::str(""));
                entry["direction"] = py::get(domain_entry, "direction", nb::str("neutral"));
                effective[name] = entry;
            }
            return effective;
        }
    }
    return py::dict_copy(kpi_spec);
}

DomainPlan plan_domain(const Request& request) {
    nb::object schema = services::solver_registry::get_domain_schema(request.domain);
    if (!py::truthy(schema)) {
        nb::list names(services::solver_registry::get_domain_schemas().attr("keys")());
        py::raise(py::exc::value_error(), "Unknown domain: " + py::display_text(request.domain) +
                                              ". Valid: " + py::repr(names));
    }
    DomainPlan plan{effective_kpi_spec(py::get(schema, "kpis", nb::dict()), request),
                    py::get(schema, "history_prefix", nb::str("")),
                    nb::str(py::get(schema, "source_prefix", nb::str("")))};
    if (request.has_solver())
        plan.source_prefix =
            py::concat(py::concat(plan.source_prefix, nb::str(":")), request.solver);
    return plan;
}

Target open_target(nb::handle stage, const Request& request) {
    nb::object prim_path = stage.attr("GetDefaultPrim")().attr("GetPath")();
    nb::object layer = find_layer_by_name(stage, request.save_target);
    if (!py::truthy(layer)) layer = stage.attr("GetRootLayer")();
    usd::require_layer_within(layer, py::fs_path(request.path.attr("parent")));
    nb::object prim_spec = layer.attr("GetPrimAtPath")(prim_path);
    if (!py::truthy(prim_spec)) {
        py::raise(py::exc::runtime_error(),
                  "Prim " + py::display_text(prim_path) + " not found in target layer");
    }
    return {layer, prim_spec};
}

bool layer_has_target(nb::handle prim_spec, nb::handle kpi_key) {
    py::require_str(kpi_key, "_layer_has_target", "kpi_key");
    const std::string_view kpi = py::utf8(kpi_key);
    for (nb::handle name : prim_spec.attr("attributes").attr("keys")()) {
        const std::string_view text = py::utf8(name);
        if (targets::is_range_target_of(text, targets::kDerivedPrefix, kpi) ||
            targets::is_range_target_of(text, targets::kHandSetPrefix, kpi))
            return true;
    }
    return false;
}

bool layer_hand_set_target(nb::handle prim_spec, nb::handle kpi_key) {
    py::require_str(kpi_key, "_layer_hand_set_target", "kpi_key");
    const std::string base = std::string(targets::kHandSetPrefix) + std::string(py::utf8(kpi_key));
    for (nb::handle name : prim_spec.attr("attributes").attr("keys")()) {
        const std::string_view text = py::utf8(name);
        if (text == base || text.starts_with(base + "_")) return true;
    }
    return false;
}

nb::object layer_derived_target_image(nb::handle prim_spec, nb::handle kpi_key) {
    py::require_str(kpi_key, "_layer_derived_target_image", "kpi_key");
    nb::object marker =
        prim_spec.attr("attributes").attr("get")(py::concat("orvane:target_src:", kpi_key));
    if (marker.is_none()) return nb::none();
    nb::object image = marker.attr("default");
    return nb::str(image);
}

// The derived range around one run's value, by the KPI's direction.
void plan_derived_range(Plan& plan, nb::handle kpi_key, nb::handle direction, double value) {
    const double tolerance = value != 0 ? std::fabs(value) * 0.1 : 0.01;
    nb::object double_type = usd::value_type("Double");
    auto bound = [&](const char* suffix, double bound_value) {
        plan.writes.push_back({py::concat(py::concat(nb::str(targets::kDerivedPrefix.data(),
                                                             targets::kDerivedPrefix.size()),
                                                     kpi_key),
                                          nb::str(suffix)),
                               nb::float_(bound_value), double_type});
    };
    const std::string_view way =
        nb::isinstance<nb::str>(direction) ? py::utf8(direction) : std::string_view();
    if (way == "minimize") {
        bound("_max", value + tolerance);
        bound("_nominal", value);
    } else if (way == "maximize") {
        bound("_min", value - tolerance);
        bound("_nominal", value);
    } else {
        bound("_min", value - tolerance);
        bound("_nominal", value);
        bound("_max", value + tolerance);
    }
}

// Whether the target of a KPI stays as it is: a hand-set one, or a derived
// one that came from this very image.
bool keeps_target(nb::handle prim_spec, nb::handle kpi_key, nb::handle source_image) {
    if (layer_hand_set_target(prim_spec, kpi_key)) return true;
    nb::object derived_from = layer_derived_target_image(prim_spec, kpi_key);
    return !derived_from.is_none() && derived_from.equal(source_image);
}

// Derived ±10% targets for the design-intent layer, with the image each came from.
void plan_design_intent(Plan& plan, const Request& request, const DomainPlan& domain,
                        nb::handle prim_spec) {
    nb::object image = py::get(request.provenance, "solver_image", nb::none());
    nb::str source_image(py::truthy(image) ? image : nb::str(""));
    nb::object string_type = usd::value_type("String");
    for (auto [kpi_key, entry] : domain.kpis) {
        nb::object value = request.kpi_value(kpi_key);
        if (!value.is_valid()) continue;  // checked by plan_kpi_values
        if (request.only_missing_targets && keeps_target(prim_spec, kpi_key, source_image))
            continue;
        plan_derived_range(plan, kpi_key, py::get(entry, "direction", nb::str("neutral")),
                           py::to_double(value));
        plan.writes.push_back(
            {py::concat("orvane:target_src:", kpi_key), source_image, string_type});
    }
}

// Raises ValueError for a KPI the run lacks, unless only missing targets are
// being filled.
void check_kpis_present(const Request& request, const DomainPlan& domain) {
    if (request.only_missing_targets) return;
    for (auto [kpi_key, entry] : domain.kpis) {
        if (!request.kpi_value(kpi_key).is_valid()) {
            py::raise(py::exc::value_error(), "Missing required KPI '" + py::display_text(kpi_key) +
                                                  "' for domain '" +
                                                  py::display_text(request.domain) + "'");
        }
    }
}

bool ai_authored(nb::handle provenance) {
    nb::object flag = py::dict_get_or(provenance, "ai_authored", nb::none());
    return flag.equal(nb::bool_(true)) || flag.equal(nb::str("true")) || flag.equal(nb::str("1"));
}

// KPI values, status and provenance attributes and their markers, for a
// results layer.
void plan_results(Plan& plan, const Request& request, const DomainPlan& domain,
                  const std::string& write_time) {
    nb::object string_type = usd::value_type("String");
    // A run that did not converge keeps the prototype's last good values.
    if (request.converged || py::utf8(request.save_target) != "prototype") {
        nb::object double_type = usd::value_type("Double");
        for (auto [kpi_key, entry] : domain.kpis) {
            nb::object value = request.kpi_value(kpi_key);
            if (value.is_valid())
                plan.writes.push_back(
                    {entry["usd_attr"], nb::float_(py::to_double(value)), double_type});
        }
    }
    plan.writes.push_back({nb::str("lastUpdated"), py::make_str(write_time), string_type});
    plan.writes.push_back({nb::str("lastModifiedBy"), nb::str("Orvane"), string_type});
    plan.writes.push_back({nb::str("simulationStatus"), nb::str("COMPLETE"), string_type});
    if (nb::len(request.provenance) > 0) {
        if (ai_authored(request.provenance)) {
            plan.writes.push_back(
                {nb::str("orvane:aiAuthored"), nb::bool_(true), usd::value_type("Bool")});
        }
        for (const char* key : kProvenanceKeys) {
            nb::object value = py::dict_get(request.provenance, key);
            if (!value.is_valid() || value.is_none() || nb::isinstance<nb::dict>(value) ||
                nb::isinstance<nb::list>(value))
                continue;
            plan.writes.push_back(
                {py::concat("orvane:provenance:", nb::str(key)), nb::str(value), string_type});
        }
    }
    for (auto [kpi_key, entry] : domain.kpis) {
        if (!request.kpi_value(kpi_key).is_valid()) continue;
        nb::str usd_attr(entry["usd_attr"]);
        plan.markers[usd_attr.attr("rsplit")(":", 1)[-1]] = domain.source_prefix;
    }
    for (const char* key : kDerivedMarkers) plan.markers[key] = nb::str("derived");
}

// The results-history entry of this write.
history::EntryPlan plan_history_entry(const Request& request, const DomainPlan& domain,
                                      const std::string& write_time) {
    history::EntryPlan entry;
    entry.timestamp = write_time;
    entry.prefix = py::text(domain.history_prefix);
    for (auto [kpi_key, definition] : domain.kpis) {
        nb::object value = request.kpi_value(kpi_key);
        if (value.is_valid()) entry.kpis.emplace_back(py::text(kpi_key), py::to_double(value));
    }
    if (request.has_solver()) entry.solver = py::utf8(request.solver);
    if (!request.extra_meta.is_none()) {
        for (auto [key, value] : nb::borrow<nb::dict>(request.extra_meta))
            entry.metadata.emplace_back(py::text(key), py::text(value));
    }
    if (!request.parameters.is_none()) {
        for (auto [name, parameter] : nb::borrow<nb::dict>(request.parameters)) {
            if (py::truthy(py::get(parameter, "override", nb::none())))
                entry.overrides.emplace_back(py::text(name),
                                             py::text(nb::object(parameter["value"])));
        }
    }
    nb::object fingerprint = py::dict_get(request.provenance, "fingerprint");
    if (fingerprint.is_valid() && nb::isinstance<nb::str>(fingerprint))
        entry.run = history::run_id_of(py::utf8(fingerprint));
    return entry;
}

void apply(const Plan& plan, const Target& target, const Request& request) {
    usd::edit_and_save(target.layer, [&] {
        const usd::ChangeBlock block;
        for (const Write& write : plan.writes) {
            usd::set_attribute_default(target.prim_spec, write.name, write.value, write.type_name);
        }
        if (!request.to_design_intent()) {
            write_provenance_attrs(target.prim_spec, plan.markers, nb::str("orvane:provenance"));
            usd::set_attribute_default(target.prim_spec, nb::str(kHistoryAttribute), plan.history,
                                       usd::value_type("StringArray"));
        }
    });
}

void log_write(const Request& request) {
    nb::list kpi_names;
    for (auto [key, value] : nb::borrow<nb::dict>(request.kpis)) kpi_names.append(nb::str(key));
    logger.info("Wrote %s results (domain=%s, KPIs=%s, solver=%s, layer=%s)",
                product_name_from_path(request.path), request.domain,
                nb::str(", ").attr("join")(kpi_names),
                request.has_solver() ? nb::object(nb::borrow(request.solver))
                                     : nb::object(nb::str("unknown")),
                request.save_target);
}

nb::object write_domain_results(nb::handle usda_path, nb::handle domain, nb::handle kpis,
                                nb::handle solver, nb::handle provenance, nb::handle assumptions,
                                nb::handle extra_meta, nb::handle save_target,
                                nb::handle parameters, nb::handle only_missing_targets,
                                nb::handle converged) {
    const Request request =
        check_arguments(usda_path, domain, kpis, solver, provenance, assumptions, extra_meta,
                        save_target, parameters, only_missing_targets, converged);
    const DomainPlan domain_plan = plan_domain(request);
    const product_lock::ProductLock lock(request.path);
    nb::object stage = usd::open_stage(nb::str(request.path));
    const std::string write_time(py::utf8(clock::utc_now_iso()));
    const Target target = open_target(stage, request);

    // Every write is decided before the layer is touched, so that a call
    // that fails leaves the layer as it was, in memory and on disk.
    check_kpis_present(request, domain_plan);
    Plan plan;
    if (request.to_design_intent()) {
        plan_design_intent(plan, request, domain_plan, target.prim_spec);
    } else {
        plan_results(plan, request, domain_plan, write_time);
        plan.history = usd::string_array_appended(
            usd::attribute_default(target.prim_spec, kHistoryAttribute),
            py::make_str(
                history::format_entry(plan_history_entry(request, domain_plan, write_time))));
    }
    apply(plan, target, request);
    if (!request.to_design_intent()) log_write(request);
    return nb::none();
}

}  // namespace

void write_provenance_attrs(nb::handle prim, nb::handle kv, nb::handle ns) {
    py::require_dict_or_none(kv, "write_provenance_attrs", "kv");
    py::require_str(ns, "write_provenance_attrs", "ns");
    if (kv.is_none() || nb::len(kv) == 0) return;
    const bool is_prim_spec = nb::hasattr(prim, "attributes");
    nb::object string_type = usd::value_type("String");
    for (auto [key, value] : nb::borrow<nb::dict>(kv)) {
        nb::str name = py::concat(py::concat(ns, nb::str(":")), key);
        if (is_prim_spec) {
            usd::set_attribute_default(prim, name, nb::str(value), string_type);
        } else {
            prim.attr("CreateAttribute")(name, string_type).attr("Set")(nb::str(value));
        }
    }
}

void bind_writing(nb::module_& m) {
    m.def("write_domain_results", &write_domain_results, nb::arg("usda_path").none(),
          nb::arg("domain").none(), nb::arg("kpis").none(), nb::arg("solver").none() = "",
          nb::arg("provenance").none() = nb::none(), nb::arg("assumptions").none() = nb::none(),
          nb::arg("extra_meta").none() = nb::none(), nb::arg("save_target").none() = "prototype",
          nb::arg("parameters").none() = nb::none(), nb::arg("only_missing_targets").none() = false,
          nb::arg("converged").none() = true,
          nb::sig("def write_domain_results(usda_path: str | os.PathLike[str], domain: str, kpis: "
                  "dict[str, typing.Any], solver: str = '', provenance: dict[str, typing.Any] | "
                  "None = None, assumptions: dict[str, typing.Any] | None = None, extra_meta: "
                  "dict[str, typing.Any] | None = None, save_target: str = 'prototype', "
                  "parameters: dict[str, typing.Any] | None = None, only_missing_targets: bool = "
                  "False, converged: bool = True) -> None"),
          R"(Write one run's KPI values into the product's `save_target` sublayer (prototype,
          benchmark, or design_intent for derived ±10% targets), with status and provenance
          attributes and one results-history entry. Only that layer is saved; a call that raises
          leaves every file as it was.)");
    m.def("write_provenance_attrs", &write_provenance_attrs, nb::arg("prim").none(),
          nb::arg("kv").none(), nb::kw_only(), nb::arg("ns").none() = "orvane:provenance",
          nb::sig("def write_provenance_attrs(prim: pxr.Sdf.PrimSpec | pxr.Usd.Prim, kv: "
                  "dict[str, typing.Any] | None, *, ns: str = 'orvane:provenance') -> None"),
          R"(Author each item of `kv` as the string attribute `<ns>:<key>` on a prim spec or a
          prim. Nothing is saved.)");
    m.def("_layer_has_target", &layer_has_target, nb::arg("prim_spec").none(),
          nb::arg("kpi_key").none(),
          nb::sig("def _layer_has_target(prim_spec: pxr.Sdf.PrimSpec, kpi_key: str) -> bool"),
          R"(Whether the layer's prim spec carries a range target for the KPI (target_<kpi>_* or
          orvane:target:<kpi>_*, not the _tol ones).)");
    m.def("_layer_hand_set_target", &layer_hand_set_target, nb::arg("prim_spec").none(),
          nb::arg("kpi_key").none(),
          nb::sig("def _layer_hand_set_target(prim_spec: pxr.Sdf.PrimSpec, kpi_key: str) -> bool"),
          R"(Whether the prim spec carries a hand-set target orvane:target:<kpi> or
          orvane:target:<kpi>_*.)");
    m.def("_layer_derived_target_image", &layer_derived_target_image, nb::arg("prim_spec").none(),
          nb::arg("kpi_key").none(),
          nb::sig("def _layer_derived_target_image(prim_spec: pxr.Sdf.PrimSpec, kpi_key: str) -> "
                  "str | None"),
          R"(The image a derived target came from (orvane:target_src:<kpi>), or None when the prim
          spec has no marker.)");
}

}  // namespace orvane::product_twin
