// Writing a solver run's results into a product: KPI values, derived
// targets, status and provenance attributes, and the results-history entry.
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "native/clock.h"
#include "native/history.h"
#include "native/numbers.h"
#include "native/py.h"
#include "native/usd.h"
#include "product_twin.h"

namespace orvane::product_twin {

namespace {

py::Logger logger{"orvane_platform.core.product_twin"};

constexpr const char* kProvenanceKeys[] = {"fingerprint", "solver_image",   "geometry",
                                           "mesh_cache",  "solver_version", "solver_cert",
                                           "timestamp"};

// One attribute to author on the target prim spec.
struct Write {
    nb::object name;
    nb::object value;
    nb::object type_name;
};

bool equals(nb::handle a, nb::handle b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (result < 0) throw nb::python_error();
    return result != 0;
}

bool is_container(nb::handle value) {
    return PyDict_Check(value.ptr()) || PyList_Check(value.ptr());
}

// The KPIs to write, in order: the solver's declared KPIs with the domain's
// definitions when the solver declares any, else the domain's own.
nb::dict effective_kpi_spec(nb::handle kpi_spec, nb::handle solver) {
    nb::dict effective;
    if (nb::len(solver) > 0) {
        nb::object config =
            py::import_from("orvane_platform.core.solver", "get_solver_config")(solver);
        if (!py::truthy(config)) config = nb::dict();
        nb::object declared = py::get(config, "kpi_spec", nb::none());
        if (!py::truthy(declared)) declared = nb::dict();
        nb::object solver_kpis = py::get(declared, "kpis", nb::none());
        if (py::truthy(solver_kpis)) {
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
    nb::object domain_kpis =
        nb::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), kpi_spec.ptr()));
    if (!domain_kpis.is_valid()) throw nb::python_error();
    return nb::borrow<nb::dict>(domain_kpis);
}

[[noreturn]] void raise_unknown_domain(nb::handle domain) {
    nb::object schemas = py::import_from("orvane_platform.core.solver", "get_domain_schemas")();
    nb::list names = nb::list(schemas.attr("keys")());
    PyErr_Format(PyExc_ValueError, "Unknown domain: %U. Valid: %R", domain.ptr(), names.ptr());
    throw nb::python_error();
}

// The derived range around one run's value, by the KPI's direction.
void plan_derived_target(std::vector<Write>& writes, nb::handle kpi_key, nb::handle direction,
                         double value) {
    const double tolerance = value != 0 ? std::fabs(value) * 0.1 : 0.01;
    nb::object double_type = usd::value_type("Double");
    auto bound = [&](const char* suffix, double bound_value) {
        writes.push_back({py::concat(py::concat("target_", kpi_key), nb::str(suffix)),
                          nb::float_(bound_value), double_type});
    };
    const std::string_view way =
        PyUnicode_Check(direction.ptr()) ? py::utf8(direction) : std::string_view();
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

bool ai_authored(nb::handle provenance) {
    nb::object flag = py::dict_get(provenance, "ai_authored");
    if (!flag.is_valid()) flag = nb::none();
    return equals(flag, Py_True) || equals(flag, nb::str("true")) || equals(flag, nb::str("1"));
}

// The results-history entry of this write.
std::string history_entry(const std::string& write_time, nb::handle history_prefix,
                          nb::handle effective, nb::handle kpis, nb::handle solver,
                          nb::handle extra_meta, nb::handle parameters, nb::handle provenance) {
    history::EntryWriter entry;
    entry.field(write_time);
    entry.field(py::utf8(nb::str(history_prefix)));
    for (auto [key, definition] : nb::borrow<nb::dict>(effective)) {
        nb::object value = py::dict_get(kpis, key);
        if (value.is_valid() && !value.is_none()) {
            entry.pair(py::utf8(nb::str(key)), history::kpi_value_text(numbers::to_double(value)));
        }
    }
    if (nb::len(solver) > 0) entry.pair("solver", py::utf8(solver));
    if (!extra_meta.is_none()) {
        for (auto [key, value] : nb::borrow<nb::dict>(extra_meta)) {
            entry.pair(py::utf8(nb::str(key)), py::utf8(nb::str(value)));
        }
    }
    if (!parameters.is_none()) {
        for (auto [name, parameter] : nb::borrow<nb::dict>(parameters)) {
            if (py::truthy(py::get(parameter, "override", nb::none()))) {
                std::string key = "override_";
                key += py::utf8(nb::str(name));
                nb::object value = parameter["value"];
                entry.pair(key, py::utf8(nb::str(value)));
            }
        }
    }
    if (!provenance.is_none() && nb::len(provenance) > 0) {
        nb::object fingerprint = py::dict_get(provenance, "fingerprint");
        if (fingerprint.is_valid() && PyUnicode_Check(fingerprint.ptr()) &&
            py::utf8(fingerprint).starts_with("sha256:")) {
            nb::object digest = fingerprint.attr("rsplit")(":", 1)[-1];
            entry.pair("run", py::utf8(digest[nb::slice(0, 12)]));
        }
    }
    return entry.text();
}

}  // namespace

void write_provenance_attrs(nb::handle prim, nb::handle kv, nb::handle ns) {
    py::require_dict_or_none(kv, "write_provenance_attrs", "kv");
    py::require_str(ns, "write_provenance_attrs", "ns");
    if (kv.is_none() || nb::len(kv) == 0) return;
    static py::Name attributes{"attributes"};
    const bool is_prim_spec = PyObject_HasAttr(prim.ptr(), attributes.get().ptr()) == 1;
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

nb::object write_domain_results(nb::handle usda_path, nb::handle domain, nb::handle kpis,
                                nb::handle solver, nb::handle provenance, nb::handle assumptions,
                                nb::handle extra_meta, nb::handle save_target,
                                nb::handle parameters, nb::handle only_missing_targets,
                                nb::handle converged) {
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
    const bool only_missing = py::truthy(only_missing_targets);
    const bool is_converged = py::truthy(converged);

    nb::object schema = py::import_from("orvane_platform.core.solver", "get_domain_schema")(domain);
    if (!py::truthy(schema)) raise_unknown_domain(domain);
    nb::dict effective = effective_kpi_spec(py::get(schema, "kpis", nb::dict()), solver);
    nb::object history_prefix = py::get(schema, "history_prefix", nb::str(""));
    nb::str source_prefix(py::get(schema, "source_prefix", nb::str("")));
    if (nb::len(solver) > 0)
        source_prefix = py::concat(py::concat(source_prefix, nb::str(":")), solver);

    nb::str path_text(path);
    nb::object stage = usd::open_stage(path_text);
    nb::object root = stage.attr("GetRootLayer")();
    nb::object prim_path = stage.attr("GetDefaultPrim")().attr("GetPath")();
    const std::string write_time(py::utf8(clock::utc_now_iso()));
    nb::object target = find_layer_by_name(stage, save_target);
    if (!py::truthy(target)) target = root;
    nb::object prim_spec = target.attr("GetPrimAtPath")(prim_path);
    if (!py::truthy(prim_spec)) {
        PyErr_Format(PyExc_RuntimeError, "Prim %S not found in target layer", prim_path.ptr());
        throw nb::python_error();
    }

    // Every write is decided before the layer is touched, so that a call
    // that fails leaves the layer as it was, in memory and on disk.
    const std::string_view target_name = py::utf8(save_target);
    const bool design_intent = target_name == "design_intent";
    const nb::dict provenance_or_empty =
        provenance.is_none() ? nb::dict() : nb::borrow<nb::dict>(provenance);
    nb::object double_type = usd::value_type("Double");
    nb::object string_type = usd::value_type("String");
    std::vector<Write> writes;
    for (auto [kpi_key, entry] : effective) {
        nb::object value = py::dict_get(kpis, kpi_key);
        if (!value.is_valid() || value.is_none()) {
            if (only_missing) continue;
            PyErr_Format(PyExc_ValueError, "Missing required KPI '%U' for domain '%U'",
                         kpi_key.ptr(), domain.ptr());
            throw nb::python_error();
        }
        if (!design_intent) {
            if (!is_converged && target_name == "prototype") continue;
            writes.push_back(
                {entry["usd_attr"], nb::float_(numbers::to_double(value)), double_type});
            continue;
        }
        nb::object image = py::get(provenance_or_empty, "solver_image", nb::none());
        nb::str source_image(py::truthy(image) ? image : nb::str(""));
        if (only_missing) {
            if (layer_hand_set_target(prim_spec, kpi_key)) continue;
            nb::object derived_from = layer_derived_target_image(prim_spec, kpi_key);
            if (!derived_from.is_none() && equals(derived_from, source_image)) continue;
        }
        plan_derived_target(writes, kpi_key, py::get(entry, "direction", nb::str("neutral")),
                            numbers::to_double(value));
        writes.push_back({py::concat("orvane:target_src:", kpi_key), source_image, string_type});
    }

    nb::dict markers;
    nb::list history_entries;
    if (!design_intent) {
        writes.push_back({nb::str("lastUpdated"), py::make_str(write_time), string_type});
        writes.push_back({nb::str("lastModifiedBy"), nb::str("Orvane"), string_type});
        writes.push_back({nb::str("simulationStatus"), nb::str("COMPLETE"), string_type});
        if (nb::len(provenance_or_empty) > 0) {
            if (ai_authored(provenance_or_empty)) {
                writes.push_back(
                    {nb::str("orvane:aiAuthored"), nb::bool_(true), usd::value_type("Bool")});
            }
            for (const char* key : kProvenanceKeys) {
                nb::object value = py::dict_get(provenance_or_empty, key);
                if (!value.is_valid() || value.is_none() || is_container(value)) continue;
                writes.push_back(
                    {py::concat("orvane:provenance:", nb::str(key)), nb::str(value), string_type});
            }
        }
        for (auto [kpi_key, entry] : effective) {
            nb::object value = py::dict_get(kpis, kpi_key);
            if (!value.is_valid() || value.is_none()) continue;
            nb::object usd_attr_value = entry["usd_attr"];
            nb::str usd_attr(usd_attr_value);
            markers[usd_attr.attr("rsplit")(":", 1)[-1]] = source_prefix;
        }
        for (const char* key : {"last_updated", "last_modified_by", "simulation_status"}) {
            markers[key] = nb::str("derived");
        }
        history_entries = string_array_default(prim_spec, "resultsHistory");
        history_entries.append(
            py::make_str(history_entry(write_time, history_prefix, effective, kpis, solver,
                                       extra_meta, parameters, provenance)));
    }

    usd::edit_and_save(target, [&] {
        for (const Write& write : writes) {
            usd::set_attribute_default(prim_spec, write.name, write.value, write.type_name);
        }
        if (!design_intent) {
            write_provenance_attrs(prim_spec, markers, nb::str("orvane:provenance"));
            usd::set_attribute_default(prim_spec, nb::str("resultsHistory"), history_entries,
                                       usd::value_type("StringArray"));
        }
    });
    if (design_intent) return nb::none();

    nb::list kpi_names;
    for (auto [key, value] : nb::borrow<nb::dict>(kpis)) kpi_names.append(nb::str(key));
    logger.info(
        "Wrote %s results (domain=%s, KPIs=%s, solver=%s, layer=%s)", product_name_from_path(path),
        domain, nb::str(", ").attr("join")(kpi_names),
        nb::len(solver) > 0 ? nb::object(nb::borrow(solver)) : nb::object(nb::str("unknown")),
        save_target);
    return nb::none();
}

bool layer_has_target(nb::handle prim_spec, nb::handle kpi_key) {
    py::require_str(kpi_key, "_layer_has_target", "kpi_key");
    const std::string kpi(py::utf8(kpi_key));
    for (nb::handle name : prim_spec.attr("attributes").attr("keys")()) {
        const std::string_view text = py::utf8(name);
        for (const std::string& base : {"target_" + kpi, "orvane:target:" + kpi}) {
            if (text.starts_with(base + "_") && text != base + "_tol") return true;
        }
    }
    return false;
}

bool layer_hand_set_target(nb::handle prim_spec, nb::handle kpi_key) {
    py::require_str(kpi_key, "_layer_hand_set_target", "kpi_key");
    const std::string base = "orvane:target:" + std::string(py::utf8(kpi_key));
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

}  // namespace orvane::product_twin
