// Save results to product USD — single save gate.
#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "native/py.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

py::ModuleGlobals globals;
py::CachedModule json_module{"json"};

void say(const std::string& markup) { globals.get("_console").attr("print")(py::make_str(markup)); }

// Two spaces and a bar in the header style before a message: "  [<style>]│[/] ".
std::string bar() {
    return std::string("  [")
        .append(py::text(py::import_from("orvane_platform.ui", "STYLE_HEADER")))
        .append("]│[/] ");
}

nb::object domain_kpis(nb::handle domain, nb::handle result) {
    nb::object schema = py::import_from("orvane_platform.core.solver", "get_domain_schema")(domain);
    if (!py::truthy(schema)) schema = nb::dict();
    return py::import_from("orvane_platform.schema", "extract_kpis")(
        result, py::get(schema, "kpis", nb::dict()));
}

nb::object solver_id(nb::handle result) {
    nb::object executor = py::get(result, "executor_id", nb::none());
    return py::truthy(executor) ? executor : py::get(result, "solver", nb::str(""));
}

nb::object product_name(nb::handle product) {
    return py::import_from("pathlib", "Path")(product.attr("usd_path")).attr("parent").attr("name");
}

// The provenance of a result, or one built from the solver's image and the
// result's own JSON text when the run carried none.
nb::object provenance_of(nb::handle result, nb::handle solver) {
    nb::object provenance = py::get(result, "provenance", nb::dict());
    if (py::truthy(provenance)) return provenance;
    nb::object config = py::import_from("orvane_platform.core.solver", "get_solver_config")(solver);
    if (!py::truthy(config)) config = nb::dict();
    // Values JSON cannot hold are written as their text.
    nb::handle text_type = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    nb::object case_yaml =
        json_module.attr("dumps")(result, "sort_keys"_a = true, "default"_a = text_type);
    return py::import_from("orvane_platform.core.provenance", "build_provenance_record")(
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
        nb::object stops =
            nb::make_tuple(nb::handle(PyExc_EOFError), nb::handle(PyExc_KeyboardInterrupt),
                           nb::handle(PyExc_OSError));
        if (!error.matches(stops)) throw;
        console.attr("print")();
        return false;
    }
    nb::object word = answer.attr("strip")().attr("lower")();
    const std::string_view text = py::utf8(word);
    return text.empty() || text == "y" || text == "yes";
}

nb::object populate_design_intent(nb::handle product, nb::handle results_by_domain,
                                  nb::handle force_flag) {
    py::require_dict(results_by_domain, "_populate_design_intent_from_results",
                     "results_by_domain");
    const bool force = py::truthy(force_flag);
    nb::object client = py::import_from("orvane_platform.mcp.mcp_client", "SolverMCPClient")();
    nb::list existing;
    for (nb::handle name : product.attr("specs")) {
        if (PyUnicode_Check(name.ptr()) && py::utf8(name).starts_with("target_"))
            existing.append(name);
    }
    auto has_range_target = [&](const std::string& kpi) {
        const std::string prefix = "target_" + kpi + "_";
        for (nb::handle name : existing) {
            const std::string_view text = py::utf8(name);
            if (text.starts_with(prefix) && text != "target_" + kpi + "_tol") return true;
        }
        return false;
    };
    std::vector<std::string> counts;
    for (auto [domain, result] : nb::borrow<nb::dict>(results_by_domain)) {
        nb::object kpis = domain_kpis(domain, result);
        if (!py::truthy(kpis)) continue;
        nb::dict selected;
        if (force) {
            selected.update(kpis);
        } else {
            nb::object refresh =
                py::import_from("orvane_platform.core.gateway_config", "gateway_config")().attr(
                    "target_refresh");
            nb::object provenance = py::get(result, "provenance", nb::none());
            nb::object image = py::truthy(provenance)
                                   ? py::get(provenance, "solver_image", nb::none())
                                   : nb::none();
            nb::str run_image(image.is_none() ? nb::object(nb::str("")) : image);
            nb::object specs = product.attr("specs");
            for (nb::handle item : kpis.attr("items")()) {
                nb::object kpi = item[0];
                nb::object value = item[1];
                const std::string key = py::text(kpi);
                if (!has_range_target(key)) {
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
        }
        if (nb::len(selected) == 0) continue;
        nb::object provenance = py::get(result, "provenance", nb::none());
        client.attr("save_results")(
            "product_name"_a = product_name(product), "domain"_a = domain, "kpis"_a = selected,
            "solver"_a = solver_id(result),
            "provenance"_a = py::truthy(provenance) ? provenance : nb::object(nb::dict()),
            "save_target"_a = "design_intent", "only_missing_targets"_a = !force);
        const std::size_t count = nb::len(selected);
        counts.push_back(py::text(domain) + ": " + std::to_string(count) + " KPI" +
                         (count == 1 ? "" : "s"));
    }
    if (!counts.empty()) {
        std::string summary;
        for (std::size_t i = 0; i < counts.size(); ++i)
            summary.append(i ? ", " : "").append(counts[i]);
        say(bar().append("Design intent targets set (").append(summary).append(")."));
    }
    return nb::none();
}

nb::object prompt_save_usd(nb::handle product, nb::handle results, nb::handle all_gates_passed_flag,
                           nb::handle save_target, nb::handle force_targets_flag) {
    py::require_dict_or_none(results, "prompt_save_usd", "results");
    py::require_str(save_target, "prompt_save_usd", "save_target");
    const bool all_gates_passed = py::truthy(all_gates_passed_flag);
    const bool force_targets = py::truthy(force_targets_flag);
    nb::dict succeeded;
    if (!results.is_none()) {
        for (auto [domain, result] : nb::borrow<nb::dict>(results)) {
            if (py::truthy(result) &&
                py::get(result, "status", nb::none()).equal(nb::str("success")))
                succeeded[domain] = result;
        }
    }
    if (nb::len(succeeded) == 0) return nb::bool_(false);
    const std::string lead = std::string("\n").append(bar());
    say(lead + (all_gates_passed ? "All gates passed — saving ..."
                : force_targets  ? "--set-targets — saving + updating targets ..."
                                 : "Saving results ..."));
    const bool prototype = py::utf8(save_target) == "prototype";
    nb::object client = py::import_from("orvane_platform.mcp.mcp_client", "SolverMCPClient")();
    bool saved_any = false;
    for (auto [domain, result] : succeeded) {
        nb::object schema =
            py::import_from("orvane_platform.core.solver", "get_domain_schema")(domain);
        if (!py::truthy(schema)) schema = nb::dict();
        nb::object kpis = domain_kpis(domain, result);
        if (!py::truthy(kpis)) {
            say(bar() + "⚠ No KPIs in " + py::text(domain) + " result — skipping save");
            continue;
        }
        nb::object solver = solver_id(result);
        nb::object provenance = provenance_of(result, solver);
        nb::dict extra;
        for (nb::handle key : py::get(schema, "extra_metadata", nb::list())) {
            const int present = PySequence_Contains(result.ptr(), key.ptr());
            if (present < 0) throw nb::python_error();
            if (present == 1) extra[key] = result[key];
        }
        nb::object parameters = py::get(result, "parameters", nb::none());
        if (py::truthy(parameters)) {
            for (nb::handle item : parameters.attr("items")()) {
                nb::object name = item[0];
                nb::object info = item[1];
                if (py::truthy(py::get(info, "override", nb::none())))
                    extra[py::concat("override_", nb::str(name))] = info["value"];
            }
        }
        nb::object reply = client.attr("save_results")(
            "product_name"_a = product_name(product), "domain"_a = domain, "kpis"_a = kpis,
            "solver"_a = solver, "provenance"_a = provenance,
            "assumptions"_a = py::get(result, "assumptions", nb::none()),
            "extra_meta"_a = nb::len(extra) > 0 ? nb::object(extra) : nb::none(),
            "save_target"_a = save_target, "tag_baseline"_a = prototype && all_gates_passed,
            "converged"_a = py::truthy(py::get(result, "converged", nb::bool_(true))));
        if (!py::get(reply, "status", nb::none()).equal(nb::str("ok"))) {
            say(bar() + "⚠ Save failed (" + py::text(domain) +
                "): " + py::text(py::get(reply, "error", nb::str("unknown error"))));
        } else {
            saved_any = true;
        }
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
    m.attr("_console") =
        nb::module_::import_("rich.console").attr("Console")("highlight"_a = false);
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
          "Fill design-intent targets from this run: missing ones always, derived ones from "
          "another solver "
          "image by the target_refresh setting, hand-set ones never.");
}
