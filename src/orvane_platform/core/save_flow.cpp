// Save results to product USD — single save gate.
#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "native/domain/results.h"
#include "native/domain/services.h"
#include "native/domain/targets.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

py::ModuleGlobals globals;
py::CachedModule json_module{"json"};
py::CachedModule pathlib{"pathlib"};
py::CachedModule rich_console{"rich.console"};

void say(const std::string& markup) { globals.get("_console").attr("print")(py::make_str(markup)); }

// Two spaces and a bar in the header style before a message: "  [<style>]│[/] ".
std::string bar() {
    return std::string("  [").append(py::text(services::ui::style_header.get())).append("]│[/] ");
}

nb::object product_name(nb::handle product) {
    return pathlib.attr("Path")(product.attr("usd_path")).attr("parent").attr("name");
}

// The provenance of a result, or one built from the solver's image and the
// result's own JSON text when the run carried none.
nb::object provenance_of(nb::handle result, nb::handle solver) {
    nb::object provenance = py::get(result, "provenance", nb::dict());
    if (py::truthy(provenance)) return provenance;
    nb::object config = services::solver_registry::get_solver_config(solver);
    if (!py::truthy(config)) config = nb::dict();
    // Values JSON cannot hold are written as their text.
    nb::object case_yaml =
        json_module.attr("dumps")(result, "sort_keys"_a = true, "default"_a = py::str_type());
    return services::provenance::build_provenance_record(
        "image"_a = py::get(config, "image", nb::str("")), "case_yaml"_a = case_yaml);
}

bool ask_to_refresh(nb::handle kpi) {
    const std::string prompt = "  Solver image changed for " + py::text(kpi) +
                               " — refresh derived target from this run? [Y/n] ";
    nb::object console = globals.get("_console");
    nb::object answer;
    try {
        answer = console.attr("input")(py::make_str(prompt));
    } catch (nb::python_error& error) {
        nb::object stops = nb::make_tuple(py::exc::eof_error(), py::exc::keyboard_interrupt(),
                                          py::exc::os_error());
        if (!error.matches(stops)) throw;
        console.attr("print")();
        return false;
    }
    nb::object word = answer.attr("strip")().attr("lower")();
    const std::string_view text = py::utf8(word);
    return text.empty() || text == "y" || text == "yes";
}

// --- design-intent population ------------------------------------------------------

// The product's derived target names (target_<kpi>_...), as they stand now.
std::vector<std::string> derived_target_names(nb::handle product) {
    std::vector<std::string> names;
    for (nb::handle name : product.attr("specs")) {
        if (nb::isinstance<nb::str>(name) && py::utf8(name).starts_with(targets::kDerivedPrefix))
            names.emplace_back(py::utf8(name));
    }
    return names;
}

bool has_range_target(const std::vector<std::string>& names, const std::string& kpi) {
    for (const std::string& name : names) {
        if (targets::is_range_target_of(name, targets::kDerivedPrefix, kpi)) return true;
    }
    return false;
}

// The KPIs of one domain's run whose design-intent targets this run sets:
// those without a target, and those derived from another image when the
// target_refresh setting lets them be refreshed.
nb::dict targets_to_set(nb::handle product, nb::handle result, nb::handle kpis,
                        const std::vector<std::string>& existing) {
    nb::dict selected;
    nb::object refresh = services::gateway::gateway_config().attr("target_refresh");
    nb::object provenance = py::get(result, "provenance", nb::none());
    nb::object image =
        py::truthy(provenance) ? py::get(provenance, "solver_image", nb::none()) : nb::none();
    nb::str run_image(image.is_none() ? nb::object(nb::str("")) : image);
    nb::object specs = product.attr("specs");
    for (nb::handle item : kpis.attr("items")()) {
        nb::object kpi = item[0];
        nb::object value = item[1];
        const std::string key = py::text(kpi);
        if (!has_range_target(existing, key)) {
            selected[kpi] = value;
            continue;
        }
        nb::object source = specs.attr("get")(py::make_str("orvane_target_src_" + key));
        if (source.equal(run_image)) continue;  // the target already comes from this image
        const std::string mode = py::text(refresh);
        if (mode == "keep") continue;
        if (mode == "ask" && !ask_to_refresh(kpi)) continue;
        selected[kpi] = value;
    }
    return selected;
}

// "aero: 2 KPIs".
std::string count_text(nb::handle domain, std::size_t count) {
    return py::text(domain) + ": " + std::to_string(count) + " KPI" + (count == 1 ? "" : "s");
}

nb::object populate_design_intent(nb::handle product, nb::handle results_by_domain,
                                  nb::handle force_flag) {
    py::require_dict(results_by_domain, "_populate_design_intent_from_results",
                     "results_by_domain");
    const bool force = py::truthy(force_flag);
    nb::object client = services::gateway::client();
    const std::vector<std::string> existing = derived_target_names(product);
    std::vector<std::string> counts;
    for (auto [domain, result] : nb::borrow<nb::dict>(results_by_domain)) {
        nb::object kpis = results::domain_kpis(domain, result);
        if (!py::truthy(kpis)) continue;
        nb::dict selected =
            force ? py::dict_copy(kpis) : targets_to_set(product, result, kpis, existing);
        if (nb::len(selected) == 0) continue;
        nb::object provenance = py::get(result, "provenance", nb::none());
        client.attr("save_results")(
            "product_name"_a = product_name(product), "domain"_a = domain, "kpis"_a = selected,
            "solver"_a = results::solver_id(result),
            "provenance"_a = py::truthy(provenance) ? provenance : nb::object(nb::dict()),
            "save_target"_a = "design_intent", "only_missing_targets"_a = !force);
        counts.push_back(count_text(domain, nb::len(selected)));
    }
    if (!counts.empty()) {
        std::string summary;
        for (std::size_t i = 0; i < counts.size(); ++i)
            summary.append(i ? ", " : "").append(counts[i]);
        say(bar().append("Design intent targets set (").append(summary).append(")."));
    }
    return nb::none();
}

// --- the save prompt -------------------------------------------------------------

// The domains whose run succeeded.
nb::dict succeeded_domains(nb::handle results) {
    nb::dict succeeded;
    if (results.is_none()) return succeeded;
    for (auto [domain, result] : nb::borrow<nb::dict>(results)) {
        if (py::truthy(result) && py::get(result, "status", nb::none()).equal(nb::str("success")))
            succeeded[domain] = result;
    }
    return succeeded;
}

// The history metadata of a run: the schema's extra metadata the result
// carries, and its parameter overrides as override_<name>.
nb::dict extra_metadata(nb::handle schema, nb::handle result) {
    nb::dict extra = results::history_metadata(schema, result);
    nb::object parameters = py::get(result, "parameters", nb::none());
    if (py::truthy(parameters)) {
        for (nb::handle item : parameters.attr("items")()) {
            nb::object name = item[0];
            nb::object info = item[1];
            if (py::truthy(py::get(info, "override", nb::none())))
                extra[py::concat("override_", nb::str(name))] = info["value"];
        }
    }
    return extra;
}

// Sends one domain's run to the gateway's save tool; false when there was
// nothing to save or the save failed (both reported).
bool save_domain(nb::handle client, nb::handle product, nb::handle domain, nb::handle result,
                 nb::handle save_target, bool tag_baseline) {
    nb::object schema = results::domain_schema(domain);
    nb::object kpis = results::domain_kpis(domain, result);
    if (!py::truthy(kpis)) {
        say(bar() + "⚠ No KPIs in " + py::text(domain) + " result — skipping save");
        return false;
    }
    nb::object solver = results::solver_id(result);
    nb::object provenance = provenance_of(result, solver);
    nb::dict extra = extra_metadata(schema, result);
    nb::object reply = client.attr("save_results")(
        "product_name"_a = product_name(product), "domain"_a = domain, "kpis"_a = kpis,
        "solver"_a = solver, "provenance"_a = provenance,
        "assumptions"_a = py::get(result, "assumptions", nb::none()),
        "extra_meta"_a = nb::len(extra) > 0 ? nb::object(extra) : nb::none(),
        "save_target"_a = save_target, "tag_baseline"_a = tag_baseline,
        "converged"_a = py::truthy(py::get(result, "converged", nb::bool_(true))));
    if (!py::get(reply, "status", nb::none()).equal(nb::str("ok"))) {
        say(bar() + "⚠ Save failed (" + py::text(domain) +
            "): " + py::text(py::get(reply, "error", nb::str("unknown error"))));
        return false;
    }
    return true;
}

nb::object prompt_save_usd(nb::handle product, nb::handle results, nb::handle all_gates_passed_flag,
                           nb::handle save_target, nb::handle force_targets_flag) {
    py::require_dict_or_none(results, "prompt_save_usd", "results");
    py::require_str(save_target, "prompt_save_usd", "save_target");
    const bool all_gates_passed = py::truthy(all_gates_passed_flag);
    const bool force_targets = py::truthy(force_targets_flag);
    nb::dict succeeded = succeeded_domains(results);
    if (nb::len(succeeded) == 0) return nb::bool_(false);
    const std::string lead = std::string("\n").append(bar());
    say(lead + (all_gates_passed ? "All gates passed — saving ..."
                : force_targets  ? "--set-targets — saving + updating targets ..."
                                 : "Saving results ..."));
    const bool prototype = py::utf8(save_target) == "prototype";
    nb::object client = services::gateway::client();
    bool saved_any = false;
    for (auto [domain, result] : succeeded) {
        if (save_domain(client, product, domain, result, save_target,
                        prototype && all_gates_passed))
            saved_any = true;
    }
    if (saved_any) say(bar() + "Results saved (" + py::text(save_target) + ").");
    if (prototype)
        globals.get("_populate_design_intent_from_results")(product, succeeded,
                                                            "force"_a = force_targets);
    return nb::bool_(saved_any);
}

}  // namespace

NB_MODULE(save_flow, m) {
    m.doc() = "Save results to product USD — single save gate.";
    globals.bind(m);
    m.attr("_console") = rich_console.attr("Console")("highlight"_a = false);
    m.def("prompt_save_usd", &prompt_save_usd, nb::arg("product").none(),
          nb::arg("results").none() = nb::none(), nb::arg("all_gates_passed").none() = false,
          nb::arg("save_target").none() = "prototype", nb::arg("force_targets").none() = false,
          nb::sig("def prompt_save_usd(product: typing.Any, results: dict[str, dict[str, "
                  "typing.Any]] | None = None, "
                  "all_gates_passed: bool = False, save_target: str = 'prototype', force_targets: "
                  "bool = False) -> bool"),
          "Save simulation results to the USD twin.");
    m.def("_populate_design_intent_from_results", &populate_design_intent,
          nb::arg("product").none(), nb::arg("results_by_domain").none(),
          nb::arg("force").none() = false,
          nb::sig("def _populate_design_intent_from_results(product: typing.Any, "
                  "results_by_domain: dict[str, "
                  "dict[str, typing.Any]], force: bool = False) -> None"),
          R"(Fill design-intent targets from this run: missing ones always, derived ones from
          another solver image by the target_refresh setting, hand-set ones never.)");
}
