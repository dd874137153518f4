// orvane_platform.runs.twin_state: whether a product's current results still
// describe its design. Each domain's current values come from the latest
// entry of its results history, whose `run=` field names the run that made
// them; that run's case holds the design it was computed for. A KPI is stale
// when the product's design has moved on since, or when its run cannot be
// found, failed or did not converge. The documented results of the product
// model and the gates stay as they are: staleness is reported beside them.
#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "native/domain/design.h"
#include "native/domain/pending_save.h"
#include "native/domain/product_lock.h"
#include "native/domain/results.h"
#include "native/domain/services.h"
#include "native/domain/usd.h"
#include "native/py.h"
#include "native/text.h"
#include "native/yaml.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

constexpr const char* kStaleAttribute = "orvane:release:stale";
constexpr const char* kNotRunAttribute = "orvane:release:not_run";

// The value of a history entry's field as written (records turn an all-digit
// one into a number), or empty.
std::string entry_field(nb::handle record, std::string_view key) {
    for (std::string_view field : text::split(py::utf8(py::get(record, "raw", nb::str(""))), '|')) {
        if (field.size() > key.size() && field.starts_with(key) && field[key.size()] == '=')
            return std::string(field.substr(key.size() + 1));
    }
    return {};
}

// The latest history record of each domain, in the order domains first ran.
nb::dict latest_records(nb::handle path) {
    nb::dict latest;
    for (nb::handle record : services::product_twin::load_product_history(path)) {
        nb::object domain = py::get(record, "domain", nb::str(""));
        if (nb::isinstance<nb::str>(domain) && nb::len(domain) > 0) latest[domain] = record;
    }
    return latest;
}

// The design parameters a solver declares it reads; none when it declares
// none.
std::vector<nb::object> declared_design(nb::handle solver) {
    std::vector<nb::object> names;
    nb::object config = services::solver_registry::get_solver_config(solver);
    if (!py::truthy(config)) return names;
    for (const design::Parameter& parameter :
         design::declared(py::get(config, "design", nb::none()), "solver.yaml"))
        names.push_back(parameter.name);
    return names;
}

std::string shown(nb::handle value) {
    if (value.is_none()) return "(none)";
    if (nb::isinstance<nb::float_>(value)) return py::format(value, "g");
    return py::display_text(value);
}

// The run an entry names: the run of its `run_id` when it names one, else
// the newest successful run whose fingerprint begins with its `run=` tag
// (else the newest of any status); invalid when none is on record.
nb::object run_of_entry(nb::handle runs, const std::string& run_id, const std::string& tag) {
    const std::string prefix = "sha256:" + tag;
    nb::object found;
    for (nb::handle run : runs) {
        if (!run_id.empty()) {
            if (py::text(run["run_id"]) == run_id) return nb::borrow(run);
            continue;
        }
        nb::object fingerprint = py::get(run, "fingerprint", nb::none());
        if (!nb::isinstance<nb::str>(fingerprint) || !py::utf8(fingerprint).starts_with(prefix))
            continue;
        const bool succeeded = py::get(run, "status", nb::none()).equal(nb::str("success"));
        if (succeeded || !found.is_valid()) found = nb::borrow(run);
    }
    return found;
}

// {name: (value of the run, value now)} for each design parameter that
// differs; only those the solver reads when it says which.
nb::dict design_changes(nb::handle run_design, nb::handle now, nb::handle solver) {
    std::vector<nb::object> names = declared_design(solver);
    if (names.empty()) {
        nb::list all(nb::borrow<nb::dict>(run_design).keys());
        for (nb::handle name : nb::borrow<nb::dict>(now).keys()) {
            if (!nb::borrow<nb::dict>(run_design).contains(name)) all.append(name);
        }
        all.sort();
        for (nb::handle name : all) names.push_back(nb::borrow(name));
    }
    nb::dict changes;
    for (const nb::object& name : names) {
        nb::object before = py::dict_get_or(run_design, name, nb::none());
        nb::object after = py::dict_get_or(now, name, nb::none());
        if (!before.equal(after)) changes[name] = nb::make_tuple(before, after);
    }
    return changes;
}

// The state of one domain's current values against the run that made them.
nb::dict domain_state(nb::handle path, nb::handle domain, nb::handle record, nb::handle design) {
    nb::dict state;
    state["timestamp"] = py::get(record, "timestamp", nb::none());
    state["solver"] = py::get(record, "solver", nb::none());
    nb::list kpis;
    for (nb::handle kpi : py::get(results::domain_schema(domain), "kpis", nb::dict())) {
        if (py::dict_get(record, kpi).is_valid()) kpis.append(kpi);
    }
    state["kpis"] = kpis;
    for (const char* key : {"run_id", "fingerprint", "status"}) state[key] = nb::none();
    state["changes"] = nb::dict();
    const std::string tag = entry_field(record, "run");
    const std::string named_run = entry_field(record, "run_id");
    auto stale = [&](const std::string& reason) {
        state["stale"] = true;
        state["reason"] = py::make_str(reason);
        return state;
    };
    if (tag.empty() && named_run.empty()) return stale("no run is on record for them");
    nb::object run =
        run_of_entry(services::run_index::product_runs(path, "domain"_a = domain), named_run, tag);
    if (!run.is_valid())
        return stale("their run " + (named_run.empty() ? tag : named_run) + " is not on record");
    const std::string run_id = py::text(run["run_id"]);
    state["run_id"] = run["run_id"];
    state["fingerprint"] = run["fingerprint"];
    state["status"] = run["status"];
    if (!run["status"].equal(nb::str("success"))) return stale("their run " + run_id + " failed");
    nb::object described = services::run_index::describe_run(run["run_id"], "usda_path"_a = path);
    nb::object results = py::get(described, "results", nb::dict());
    if (!results::converged(py::get(results, "converged", nb::bool_(true))))
        return stale("their run " + run_id + " did not converge");
    nb::object case_text = py::get(described, "case", nb::none());
    nb::object parsed = nb::isinstance<nb::str>(case_text)
                            ? yaml::load(case_text, "the case of run " + run_id)
                            : nb::none();
    nb::object run_design = py::get(parsed, "design", nb::none());
    if (!nb::isinstance<nb::dict>(parsed) || !nb::isinstance<nb::dict>(run_design))
        return stale("their run " + run_id + " holds no design");
    nb::dict changes = design_changes(run_design, design, state["solver"]);
    state["changes"] = changes;
    if (nb::len(changes) == 0) {
        state["stale"] = false;
        state["reason"] = nb::none();
        return state;
    }
    std::string reason;
    for (auto [name, change] : changes) {
        if (!reason.empty()) reason += ", ";
        reason += py::display_text(name) + " " + shown(change[0]) + " → " + shown(change[1]);
    }
    return stale(reason + " since run " + run_id);
}

// A save cut short leaves its domain's values stale until the next write to
// the product completes it.
void mark_pending_save(nb::handle path, nb::dict& states) {
    const std::optional<nb::object> pending = pending_save::read(pending_save::file_of(path));
    if (!pending || !pending->is_valid()) return;
    nb::handle request = *pending;
    nb::object domain = request["domain"];
    if (!nb::isinstance<nb::str>(domain)) return;
    nb::object state = py::dict_get(states, domain);
    if (!state.is_valid()) {
        nb::dict fresh;
        fresh["kpis"] = nb::list(request["kpis"]);
        for (const char* key : {"timestamp", "solver", "run_id", "fingerprint", "status"})
            fresh[key] = nb::none();
        fresh["changes"] = nb::dict();
        states[domain] = fresh;
        state = fresh;
    }
    state["stale"] = true;
    state["reason"] = py::make_str("a save of run " + py::display_text(request["run_id"]) +
                                   " was cut short; the next write to the product completes it");
}

// The run ids the product's history names: the runs whose save reached the
// product.
nb::set saved_run_ids(nb::handle path) {
    nb::set saved;
    for (nb::handle record : services::product_twin::load_product_history(path)) {
        const std::string run_id = entry_field(record, "run_id");
        if (!run_id.empty()) saved.add(py::make_str(run_id));
    }
    return saved;
}

nb::list recorded_runs(nb::handle usda_path, nb::handle domain, nb::handle solver, nb::handle since,
                       nb::handle last) {
    nb::object path = py::require_path(usda_path, "recorded_runs", "usda_path");
    nb::object indexed = services::run_index::product_runs(
        path, "domain"_a = domain, "solver"_a = solver, "since"_a = since, "last"_a = last);
    nb::list runs;
    if (nb::len(indexed) == 0) return runs;  // the product itself need not be read
    nb::set saved = saved_run_ids(path);
    for (nb::handle run : indexed) {
        nb::dict shown = py::dict_copy(run);
        shown["saved"] = py::contains(saved, run["run_id"]);
        runs.append(shown);
    }
    return runs;
}

nb::dict current_runs(nb::handle usda_path) {
    nb::object path = py::require_path(usda_path, "current_runs", "usda_path");
    nb::dict design = design::values(services::product_twin::load_product(path));
    nb::dict states;
    for (auto [domain, record] : latest_records(path))
        states[domain] = domain_state(path, domain, record, design);
    mark_pending_save(path, states);
    return states;
}

// {kpi: why it is stale} over every domain's current values.
nb::dict stale_of(nb::handle states) {
    nb::dict stale;
    for (auto [domain, state] : nb::borrow<nb::dict>(states)) {
        if (!py::truthy(state["stale"])) continue;
        for (nb::handle kpi : state["kpis"]) stale[kpi] = state["reason"];
    }
    return stale;
}

nb::dict stale_kpis(nb::handle usda_path) {
    py::require_path(usda_path, "stale_kpis", "usda_path");
    return stale_of(current_runs(usda_path));
}

nb::dict product_gates(nb::handle usda_path) {
    nb::object path = py::require_path(usda_path, "product_gates", "usda_path");
    nb::object product = services::product::product_class(path);
    nb::object evaluation =
        product.attr("evaluate_gates")("results"_a = product.attr("latest_results")());
    nb::dict checked = py::dict_copy(evaluation);
    nb::dict states = current_runs(path);
    checked["stale"] = stale_of(states);
    checked["runs"] = states;
    return checked;
}

nb::object describe_product(nb::handle usda_path) {
    nb::object path = py::require_path(usda_path, "describe_product", "usda_path");
    nb::object product = services::product_twin::load_product(path);
    if (!py::truthy(product)) return product;
    nb::dict described = py::dict_copy(product);
    described["_stale"] = stale_kpis(path);
    return described;
}

// "<kpi>: <why>" for each stale KPI, and the KPIs with targets that no run
// has evaluated.
std::pair<nb::list, nb::list> release_findings(nb::handle gates) {
    nb::list stale;
    for (auto [kpi, reason] : nb::borrow<nb::dict>(gates["stale"]))
        stale.append(py::concat(py::concat(kpi, nb::str(": ")), reason));
    nb::list not_run;
    for (nb::handle gate : gates["gates"]) {
        if (gate["status"].equal(nb::str("NOT RUN"))) not_run.append(gate["kpi"]);
    }
    return {stale, not_run};
}

// The prim spec of a release layer's default prim; invalid when it has none.
nb::object release_prim_spec(nb::handle layer) {
    nb::object name = layer.attr("defaultPrim");
    if (!py::truthy(name)) return nb::object();
    return usd::find_prim_spec(layer, usd::Sdf().attr("Path")(py::concat("/", name)));
}

// Records on the release what the freeze found, for its readers.
void record_findings(nb::handle release_path, nb::handle stale, nb::handle not_run) {
    nb::object layer = usd::Sdf().attr("Layer").attr("FindOrOpen")(nb::str(release_path));
    nb::object prim_spec = release_prim_spec(layer);
    if (!prim_spec.is_valid()) return;
    usd::edit_and_save(layer, [&] {
        for (auto [name, values] :
             {std::pair{kStaleAttribute, stale}, std::pair{kNotRunAttribute, not_run}}) {
            if (nb::len(values) > 0)
                usd::set_attribute_default(prim_spec, nb::str(name), values,
                                           usd::value_type("StringArray"));
        }
    });
}

nb::dict freeze_release(nb::handle usda_path, nb::handle version, nb::handle notes, bool force) {
    constexpr const char* kFunction = "freeze_release";
    nb::object path = py::require_path(usda_path, kFunction, "usda_path");
    py::require_str(version, kFunction, "version");
    py::require_str(notes, kFunction, "notes");
    // Nobody saves results between the check and the freeze.
    const product_lock::ProductLock lock(path);
    nb::dict gates = product_gates(path);
    auto [stale, not_run] = release_findings(gates);
    if (nb::len(stale) > 0 && !force) {
        nb::dict refused;
        refused["status"] = "refused";
        refused["error"] =
            py::make_str("the current results of " + py::display_text(path) +
                         " do not describe its design (--force freezes them all the same)");
        refused["stale"] = stale;
        refused["not_run"] = not_run;
        return refused;
    }
    nb::dict frozen = nb::borrow<nb::dict>(
        services::releases::freeze_release(path, version, notes, "force"_a = force));
    if (frozen["status"].equal(nb::str("frozen"))) record_findings(frozen["path"], stale, not_run);
    frozen["stale"] = stale;
    frozen["not_run"] = not_run;
    return frozen;
}

nb::list list_releases(nb::handle usda_path) {
    nb::object path = py::require_path(usda_path, "list_releases", "usda_path");
    nb::list listed;
    for (nb::handle release : services::releases::list_releases(path)) {
        nb::dict shown_release = py::dict_copy(release);
        nb::object layer = usd::Sdf().attr("Layer").attr("FindOrOpen")(release["path"]);
        nb::object prim_spec = py::truthy(layer) ? release_prim_spec(layer) : nb::object();
        for (auto [key, name] :
             {std::pair{"stale", kStaleAttribute}, std::pair{"not_run", kNotRunAttribute}}) {
            nb::object value =
                prim_spec.is_valid() ? usd::attribute_default(prim_spec, name) : nb::object();
            shown_release[key] =
                value.is_valid() && !value.is_none() ? nb::list(value) : nb::list();
        }
        listed.append(shown_release);
    }
    return listed;
}

}  // namespace

NB_MODULE(twin_state, m) {
    m.doc() =
        "Whether a product's current results still describe its design, and the gates, "
        "releases and runs that say so.";
    m.def("current_runs", &current_runs, nb::arg("usda_path").none(),
          nb::sig("def current_runs(usda_path: str | os.PathLike[str]) -> dict[str, dict[str, "
                  "typing.Any]]"),
          R"(For each domain of the product's results history, the run that made its current
          values and whether they still describe the product: {domain: {run_id, fingerprint,
          status, timestamp, solver, kpis, changes: {parameter: (value of the run, value
          now)}, stale, reason}}. Values are stale when the design changed since their run
          (only the parameters a solver declares it reads count, when it declares them), or
          when their run cannot be found, failed, did not converge or holds no design.)");
    m.def("recorded_runs", &recorded_runs, nb::arg("usda_path").none(), nb::kw_only(),
          nb::arg("domain").none() = nb::none(), nb::arg("solver").none() = nb::none(),
          nb::arg("since").none() = nb::none(), nb::arg("last").none() = nb::none(),
          nb::sig("def recorded_runs(usda_path: str | os.PathLike[str], *, domain: str | None = "
                  "None, solver: str | None = None, since: str | None = None, last: int | None = "
                  "None) -> list[dict[str, typing.Any]]"),
          R"(The product's runs as the run index's product_runs lists them (with the same
          filters), each with `saved`: whether its results reached the product (its history names
          the run). A run recorded but not saved is a what-if, a sweep's case, a failure, or a
          save cut short that the next write to the product completes.)");
    m.def("stale_kpis", &stale_kpis, nb::arg("usda_path").none(),
          nb::sig("def stale_kpis(usda_path: str | os.PathLike[str]) -> dict[str, str]"),
          R"({kpi: why} for each current KPI that no longer describes the product, for example
          {'cd': 'roofline_slope_deg 14.5 → 18 since run run_aero_...'}.)");
    m.def("describe_product", &describe_product, nb::arg("usda_path").none(),
          nb::sig("def describe_product(usda_path: str | os.PathLike[str]) -> dict[str, "
                  "typing.Any]"),
          R"(The product dictionary (load_product's) with `_stale` added: {kpi: why} for each
          current KPI that no longer describes the product. An empty dictionary for a product
          without a default prim, as load_product gives it.)");
    m.def("product_gates", &product_gates, nb::arg("usda_path").none(),
          nb::sig("def product_gates(usda_path: str | os.PathLike[str]) -> dict[str, "
                  "typing.Any]"),
          R"(The product's gates over the latest result of every domain (gates, all_passed and
          summary, as the product's evaluate_gates gives them), with `stale` ({kpi: why}) and
          `runs` (current_runs) beside them.)");
    m.def("freeze_release", &freeze_release, nb::arg("usda_path").none(), nb::arg("version").none(),
          nb::arg("notes").none() = "", nb::kw_only(), nb::arg("force") = false,
          nb::sig("def freeze_release(usda_path: str | os.PathLike[str], version: str, notes: "
                  "str = '', *, force: bool = False) -> dict[str, typing.Any]"),
          R"(Freeze a release of the product, as releases.freeze_release does, unless its
          current results are stale: then {'status': 'refused', 'error': ..., 'stale': ['cd: why',
          ...], 'not_run': [...]} and nothing is written. `force` freezes anyway (and replaces
          an existing release of that version); the release records its stale KPIs
          (orvane:release:stale) and the KPIs with targets that no run has evaluated
          (orvane:release:not_run), which are listed but never block. The result adds `stale` and
          `not_run` to the freeze's.)");
    m.def("list_releases", &list_releases, nb::arg("usda_path").none(),
          nb::sig("def list_releases(usda_path: str | os.PathLike[str]) -> list[dict[str, "
                  "typing.Any]]"),
          R"(The product's releases as releases.list_releases lists them, each with the `stale`
          and `not_run` KPIs its freeze recorded (empty lists when none).)");
}
