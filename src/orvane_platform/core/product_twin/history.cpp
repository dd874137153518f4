// The results history: reading it back, cleaning it, and baseline entries.
#include "native/history.h"

#include <string>

#include "native/clock.h"
#include "native/numbers.h"
#include "native/py.h"
#include "native/usd.h"
#include "product_twin.h"

namespace orvane::product_twin {

namespace {

constexpr const char* kHistory = "resultsHistory";
constexpr const char* kBaselineHistory = "orvane:baseline:history";

void set_default(nb::handle spec, nb::handle value) { nb::setattr(spec, "default", value); }

// Empties the current results: KPI values to 0 (text ones to ""), status
// texts, provenance and run attributes to "". The attributes themselves stay.
void clear_current_results(nb::handle prim_spec) {
    nb::object attributes = prim_spec.attr("attributes");
    nb::list names = nb::list(attributes.attr("keys")());
    for (nb::handle name : names) {
        const std::string_view text = py::utf8(name);
        if (!text.starts_with("orvane:current:") || text == "orvane:current:last_updated") continue;
        nb::object spec = attributes.attr("get")(name);
        if (!py::truthy(spec)) continue;
        try {
            set_default(spec, nb::float_(0.0));
        } catch (nb::python_error&) {
            set_default(spec, nb::str(""));
        }
    }
    for (const char* name : {"lastUpdated", "lastModifiedBy", "simulationStatus"}) {
        nb::object spec = attributes.attr("get")(name);
        if (py::truthy(spec)) {
            set_default(spec, nb::str(std::string_view(name) == "simulationStatus" ? "CLEAN" : ""));
        }
    }
    names = nb::list(attributes.attr("keys")());
    for (nb::handle name : names) {
        const std::string_view text = py::utf8(name);
        if (!text.starts_with("orvane:provenance:") && !text.starts_with("orvane:run:")) continue;
        nb::object spec = attributes.attr("get")(name);
        if (py::truthy(spec)) set_default(spec, nb::str(""));
    }
}

nb::dict clean_summary(std::size_t before, std::size_t after, std::size_t duplicates,
                       std::size_t old, bool cleared) {
    nb::dict summary;
    summary["status"] = "ok";
    summary["before"] = before;
    summary["after"] = after;
    summary["duplicates_removed"] = duplicates;
    summary["old_removed"] = old;
    summary["prototype_cleared"] = cleared;
    return summary;
}

}  // namespace

nb::list string_array_default(nb::handle prim_spec, const char* name) {
    nb::object spec = prim_spec.attr("attributes").attr("get")(name);
    if (py::truthy(spec)) {
        nb::object value = spec.attr("default");
        if (py::truthy(value)) return nb::list(value);
    }
    return nb::list();
}

nb::object results_layer(nb::handle stage) {
    nb::object layer = find_layer_by_name(stage, nb::str("prototype"));
    return py::truthy(layer) ? layer : nb::object(stage.attr("GetRootLayer")());
}

nb::object load_product_history(nb::handle usda_path) {
    nb::object path = py::require_path(usda_path, "load_product_history", "usda_path");
    nb::object stage = usd::open_stage(nb::str(path));
    nb::list entries;
    if (py::truthy(stage)) {
        nb::object prim = stage.attr("GetDefaultPrim")();
        // Only the result layers: stale copies on the root or design-intent
        // layers would shadow them in the composed view.
        for (const char* name : {"prototype", "benchmark"}) {
            nb::object layer = find_layer_by_name(stage, nb::str(name));
            if (!py::truthy(layer) || !py::truthy(prim)) continue;
            nb::object prim_spec = layer.attr("GetPrimAtPath")(prim.attr("GetPath")());
            if (prim_spec.is_none()) continue;
            for (nb::handle entry : string_array_default(prim_spec, kHistory))
                entries.append(entry);
        }
    }
    if (nb::len(entries) == 0) {
        nb::object composed = py::dict_get(load_product(path), kHistory);
        if (composed.is_valid()) {
            for (nb::handle entry : composed) entries.append(nb::str(entry));
        }
    }
    return history::parse_records(entries);
}

nb::object clean_history(nb::handle usda_path, nb::handle keep_days) {
    nb::object path = py::require_path(usda_path, "clean_history", "usda_path");
    if (!PyLong_Check(keep_days.ptr())) {
        py::raise_argument_type("clean_history", "keep_days", "int", keep_days);
    }
    const long long days = nb::cast<long long>(keep_days);
    if (days < 0) {
        PyErr_Format(PyExc_ValueError, "keep_days must be 0 or more, not %R", keep_days.ptr());
        throw nb::python_error();
    }
    nb::object stage = usd::open_stage(nb::str(path));
    nb::object prim_path = stage.attr("GetDefaultPrim")().attr("GetPath")();
    nb::object layer = results_layer(stage);
    nb::object prim_spec = layer.attr("GetPrimAtPath")(prim_path);
    if (!py::truthy(prim_spec)) {
        nb::dict failed;
        failed["status"] = "error";
        failed["error"] = nb::str("Prim {} not found").format(prim_path);
        return failed;
    }
    nb::list entries = string_array_default(prim_spec, kHistory);
    const std::size_t before = nb::len(entries);
    nb::object string_array = usd::value_type("StringArray");
    if (days == 0) {
        usd::edit_and_save(layer, [&] {
            usd::set_attribute_default(prim_spec, nb::str(kHistory), nb::list(), string_array);
            clear_current_results(prim_spec);
        });
        return clean_summary(before, 0, 0, before, true);
    }
    nb::object cutoff =
        (clock::utc_now() - clock::days(keep_days)).attr("date")().attr("isoformat")();
    history::Cleaned cleaned = history::deduplicate_and_trim(entries, py::utf8(cutoff));
    usd::edit_and_save(layer, [&] {
        usd::set_attribute_default(prim_spec, nb::str(kHistory), cleaned.kept, string_array);
    });
    return clean_summary(before, nb::len(cleaned.kept), cleaned.duplicates_removed,
                         cleaned.old_removed, false);
}

bool tag_baseline(nb::handle usda_path, nb::handle domain, nb::handle kpis, nb::handle timestamp) {
    nb::object path = py::require_path(usda_path, "tag_baseline", "usda_path");
    py::require_str(domain, "tag_baseline", "domain");
    py::require_dict(kpis, "tag_baseline", "kpis");
    clock::require_datetime(timestamp, "tag_baseline", "timestamp", true);
    nb::object stage = usd::open_stage(nb::str(path));
    if (!py::truthy(stage)) return false;
    nb::object prim = stage.attr("GetDefaultPrim")();
    if (!py::truthy(prim) || !py::truthy(prim.attr("IsValid")())) return false;
    nb::object layer = results_layer(stage);
    nb::object prim_spec = layer.attr("GetPrimAtPath")(prim.attr("GetPath")());
    if (!py::truthy(prim_spec)) return false;

    nb::object when = timestamp.is_none() ? clock::utc_now() : nb::borrow(timestamp);
    std::string entry(py::utf8(when.attr("isoformat")()));
    entry.append("|domain=").append(py::utf8(domain)).append(": ");
    bool first = true;
    for (auto [key, value] : nb::borrow<nb::dict>(kpis)) {
        if (!first) entry.append(", ");
        first = false;
        entry.append(py::utf8(nb::str(key)))
            .append("=")
            .append(numbers::fixed(numbers::to_double(value), 4));
    }
    nb::list entries = string_array_default(prim_spec, kBaselineHistory);
    entries.append(py::make_str(entry));
    usd::edit_and_save(layer, [&] {
        usd::set_attribute_default(prim_spec, nb::str(kBaselineHistory), entries,
                                   usd::value_type("StringArray"));
    });
    return true;
}

}  // namespace orvane::product_twin
