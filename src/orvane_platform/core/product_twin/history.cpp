// The results history: reading it back, cleaning it, and baseline entries.
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "native/clock.h"
#include "native/domain/history_records.h"
#include "native/domain/product_lock.h"
#include "native/domain/usd.h"
#include "native/numbers.h"
#include "native/py.h"
#include "product_twin.h"

namespace orvane::product_twin {

nb::list string_array_default(nb::handle prim_spec, const char* name) {
    nb::object spec = prim_spec.attr("attributes").attr("get")(name);
    if (py::truthy(spec)) {
        nb::object value = spec.attr("default");
        if (py::truthy(value)) return nb::list(value);
    }
    return nb::list();
}

namespace {

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
        } catch (nb::python_error& error) {
            if (!py::is_exception(error)) throw;
            set_default(spec, nb::str(""));  // a text KPI
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

// The layer that holds results, to be written: the prototype sublayer, else
// the root layer (a flat product). It must lie inside the product's folder.
nb::object results_layer(nb::handle stage, nb::handle path) {
    nb::object layer = find_layer_by_name(stage, nb::str("prototype"));
    if (!py::truthy(layer)) layer = stage.attr("GetRootLayer")();
    usd::require_layer_within(layer, py::fs_path(path.attr("parent")));
    return layer;
}

// Whether a record's `key` is `wanted` (any value when None).
bool matches(nb::handle record, const char* key, nb::handle wanted) {
    return wanted.is_none() || py::dict_get_or(record, key, nb::none()).equal(wanted);
}

// A time stamp as ISO text: a legacy YYYYMMDDTHHMMSS (UTC) written out as
// YYYY-MM-DDTHH:MM:SS+00:00, so that it compares with ISO times as text.
std::string comparable_time(std::string_view time) {
    if (time.size() != 15) return std::string(time);
    for (std::size_t i = 0; i < time.size(); ++i) {
        const bool fits = i == 8 ? time[i] == 'T' : time[i] >= '0' && time[i] <= '9';
        if (!fits) return std::string(time);
    }
    std::string iso;
    for (auto [from, size, after] : {std::tuple{0, 4, "-"},
                                     {4, 2, "-"},
                                     {6, 2, "T"},
                                     {9, 2, ":"},
                                     {11, 2, ":"},
                                     {13, 2, "+00:00"}}) {
        iso += time.substr(from, size);
        iso += after;
    }
    return iso;
}

// The records of one domain and solver, at or after `since` (ISO times of
// one zone compare as text), then the last `last` of them.
nb::list filtered(nb::list records, nb::handle domain, nb::handle solver, nb::handle since,
                  std::optional<long long> last) {
    if (domain.is_none() && solver.is_none() && since.is_none() && !last) return records;
    nb::list kept;
    for (nb::handle record : records) {
        if (!matches(record, "domain", domain) || !matches(record, "solver", solver)) continue;
        if (!since.is_none()) {
            nb::object time = py::dict_get_or(record, "timestamp", nb::none());
            if (!nb::isinstance<nb::str>(time) || comparable_time(py::utf8(time)) < py::utf8(since))
                continue;
        }
        kept.append(record);
    }
    const std::size_t size = nb::len(kept);
    if (!last || static_cast<std::size_t>(*last) >= size) return kept;
    nb::list tail;
    for (std::size_t i = size - static_cast<std::size_t>(*last); i < size; ++i)
        tail.append(kept[i]);
    return tail;
}

nb::object load_product_history(nb::handle usda_path, nb::handle domain, nb::handle solver,
                                nb::handle since, nb::handle last) {
    constexpr const char* kFunction = "load_product_history";
    nb::object path = py::require_path(usda_path, kFunction, "usda_path");
    py::require_str_or_none(domain, kFunction, "domain");
    py::require_str_or_none(solver, kFunction, "solver");
    py::require_str_or_none(since, kFunction, "since");
    const std::optional<long long> count = py::require_count_or_none(last, kFunction, "last");
    nb::object stage = usd::open_stage(nb::str(path));
    std::vector<nb::list> histories;
    if (py::truthy(stage)) {
        nb::object prim = stage.attr("GetDefaultPrim")();
        // Only the result layers: stale copies on the root or design-intent
        // layers would shadow them in the composed view.
        for (const char* name : {"prototype", "benchmark"}) {
            nb::object layer = find_layer_by_name(stage, nb::str(name));
            if (!py::truthy(layer) || !py::truthy(prim)) continue;
            nb::object prim_spec = layer.attr("GetPrimAtPath")(prim.attr("GetPath")());
            if (prim_spec.is_none()) continue;
            nb::list entries = string_array_default(prim_spec, kHistoryAttribute);
            if (nb::len(entries) > 0) histories.push_back(std::move(entries));
        }
    }
    if (histories.empty()) {
        nb::object composed = py::dict_get(load_product(path), kHistoryAttribute);
        if (composed.is_valid()) {
            nb::list entries;
            for (nb::handle entry : composed) entries.append(nb::str(entry));
            histories.push_back(std::move(entries));
        }
    }
    return filtered(history_records::parse_records(histories), domain, solver, since, count);
}

// The entries of `entries` that `kept` lacks, each occurrence counted.
nb::list removed_entries(nb::handle entries, nb::handle kept) {
    std::unordered_map<std::string_view, std::size_t> remaining;
    for (nb::handle entry : kept) ++remaining[py::utf8(entry)];
    nb::list removed;
    for (nb::handle entry : entries) {
        auto found = remaining.find(py::utf8(entry));
        if (found != remaining.end() && found->second > 0) {
            --found->second;
        } else {
            removed.append(entry);
        }
    }
    return removed;
}

nb::object clean_history(nb::handle usda_path, nb::handle keep_days, bool dry_run) {
    nb::object path = py::require_path(usda_path, "clean_history", "usda_path");
    py::require<nb::int_>(keep_days, "clean_history", "keep_days");
    if (keep_days < nb::int_(0)) {
        py::raise(py::exc::value_error(),
                  "keep_days must be 0 or more, not " + py::repr(keep_days));
    }
    const bool wipe = keep_days.equal(nb::int_(0));
    const product_lock::ProductLock lock(path);
    nb::object stage = usd::open_stage(nb::str(path));
    nb::object prim_path = stage.attr("GetDefaultPrim")().attr("GetPath")();
    nb::object layer = results_layer(stage, path);
    nb::object prim_spec = layer.attr("GetPrimAtPath")(prim_path);
    if (!py::truthy(prim_spec))
        return py::error_status(nb::str("Prim {} not found").format(prim_path));
    nb::list entries = string_array_default(prim_spec, kHistoryAttribute);
    const std::size_t before = nb::len(entries);
    nb::object string_array = usd::value_type("StringArray");
    if (wipe) {
        nb::dict summary = clean_summary(before, 0, 0, before, true);
        if (dry_run) {
            summary["removed"] = entries;
            return summary;
        }
        usd::edit_and_save(layer, [&] {
            usd::set_attribute_default(prim_spec, nb::str(kHistoryAttribute), nb::list(),
                                       string_array);
            clear_current_results(prim_spec);
        });
        return summary;
    }
    nb::object cutoff =
        (clock::utc_now() - clock::days(keep_days)).attr("date")().attr("isoformat")();
    history_records::Cleaned cleaned =
        history_records::deduplicate_and_trim(entries, py::utf8(cutoff));
    nb::dict summary = clean_summary(before, nb::len(cleaned.kept), cleaned.duplicates_removed,
                                     cleaned.old_removed, false);
    if (dry_run) {
        summary["removed"] = removed_entries(entries, cleaned.kept);
        return summary;
    }
    usd::edit_and_save(layer, [&] {
        usd::set_attribute_default(prim_spec, nb::str(kHistoryAttribute), cleaned.kept,
                                   string_array);
    });
    return summary;
}

bool tag_baseline(nb::handle usda_path, nb::handle domain, nb::handle kpis, nb::handle timestamp) {
    nb::object path = py::require_path(usda_path, "tag_baseline", "usda_path");
    py::require_str(domain, "tag_baseline", "domain");
    py::require_dict(kpis, "tag_baseline", "kpis");
    clock::require_datetime(timestamp, "tag_baseline", "timestamp", py::NoneAllowed::yes);
    const product_lock::ProductLock lock(path);
    nb::object stage = usd::open_stage(nb::str(path));
    if (!py::truthy(stage)) return false;
    nb::object prim = stage.attr("GetDefaultPrim")();
    if (!py::truthy(prim) || !py::truthy(prim.attr("IsValid")())) return false;
    nb::object layer = results_layer(stage, path);
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
            .append(numbers::fixed(py::to_double(value), 4));
    }
    nb::list entries = string_array_default(prim_spec, kBaselineHistory);
    entries.append(py::make_str(entry));
    usd::edit_and_save(layer, [&] {
        usd::set_attribute_default(prim_spec, nb::str(kBaselineHistory), entries,
                                   usd::value_type("StringArray"));
    });
    return true;
}

}  // namespace

void bind_history(nb::module_& m) {
    m.def("load_product_history", &load_product_history, nb::arg("usda_path").none(), nb::kw_only(),
          nb::arg("domain").none() = nb::none(), nb::arg("solver").none() = nb::none(),
          nb::arg("since").none() = nb::none(), nb::arg("last").none() = nb::none(),
          nb::sig("def load_product_history(usda_path: str | os.PathLike[str], *, domain: str | "
                  "None = None, solver: str | None = None, since: str | None = None, last: int | "
                  "None = None) -> list[dict[str, typing.Any]]"),
          R"(The results history as records (raw, timestamp, lower-cased key=value pairs, type,
          domain), prototype entries then benchmark ones, oldest first; only those of `domain`
          and `solver`, at or after `since` (ISO time text), the last `last` of them, when
          given.)");
    m.def("clean_history", &clean_history, nb::arg("usda_path").none(),
          nb::arg("keep_days").none() = 90, nb::kw_only(), nb::arg("dry_run") = false,
          nb::sig("def clean_history(usda_path: str | os.PathLike[str], keep_days: int = 90, *, "
                  "dry_run: bool = False) -> dict[str, typing.Any]"),
          R"(Deduplicate the results history and drop entries older than `keep_days`; 0 wipes the
          history together with the current results. Returns a summary; with `dry_run` nothing
          is written and the summary lists the entries that would go under 'removed'.)");
    m.def("tag_baseline", &tag_baseline, nb::arg("usda_path").none(), nb::arg("domain").none(),
          nb::arg("kpis").none(), nb::kw_only(), nb::arg("timestamp").none() = nb::none(),
          nb::sig("def tag_baseline(usda_path: str | os.PathLike[str], domain: str, kpis: "
                  "dict[str, float], *, timestamp: datetime.datetime | None = None) -> bool"),
          R"(Append one baseline-promotion entry to orvane:baseline:history; False when the product
          has no default prim or results layer for it.)");
}

}  // namespace orvane::product_twin
