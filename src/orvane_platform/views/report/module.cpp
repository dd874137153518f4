// orvane_platform.views.report: one self-contained HTML file that tells a
// product's state to someone without the platform: design, gates, trends,
// releases, the latest run's provenance and the competitors.
#include <nanobind/nanobind.h>

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "html.h"
#include "native/clock.h"
#include "native/domain/services.h"
#include "native/domain/usd.h"
#include "native/fs.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;
using report::Html;

namespace {

// The page may fetch nothing: the browser refuses scripts, fonts, frames and
// any URL, and allows only the page's own styles and data: images.
// More charts than this make the page a wall of dots.
constexpr std::size_t kMaxDesignCharts = 6;

constexpr std::string_view kPolicy = "default-src 'none'; style-src 'unsafe-inline'; img-src data:";

constexpr std::string_view kStyle = R"(
:root { font-family: system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; color: #1d2430; }
body { max-width: 1100px; margin: 2rem auto; padding: 0 1.5rem; line-height: 1.45; }
h1 { margin-bottom: .2rem; }
h2 { border-bottom: 2px solid #dde2ea; padding-bottom: .2rem; }
.meta, .empty { color: #5b6473; }
.empty { font-style: italic; }
nav a { margin-right: 1rem; color: #1f5fa8; }
section { margin: 2.2rem 0; }
table { border-collapse: collapse; width: 100%; font-size: .92rem; margin: .6rem 0 1.2rem; }
table.compact { width: auto; min-width: 40%; }
th, td { border-bottom: 1px solid #dde2ea; padding: .35rem .6rem; text-align: left; vertical-align: top; }
th { background: #f3f5f9; font-weight: 600; }
td.number { text-align: right; font-variant-numeric: tabular-nums; }
.verdict { font-weight: 700; border-radius: 4px; padding: .1rem .45rem; display: inline-block; }
.verdict-pass, .verdict-verified { background: #dcf3e3; color: #17692f; }
.verdict-warn, .verdict-error { background: #fff1cc; color: #7a5500; }
.verdict-fail, .verdict-mismatch { background: #fbdcdc; color: #9b1c1c; }
.verdict-not-run { background: #eceef2; color: #596170; }
.verdict-inconclusive { background: #efe3fa; color: #6b2f99; }
figure { margin: 1rem 0; }
figure svg { width: 100%; height: auto; }
pre { background: #f6f8fa; padding: .8rem; overflow: auto; font-size: .85rem; }
dl { display: grid; grid-template-columns: max-content 1fr; gap: .3rem 1rem; }
dt { font-weight: 600; }
dd { margin: 0; overflow-wrap: anywhere; }
)";

constexpr std::string_view kDesignPrefix = "orvane:product:";
constexpr std::string_view kRunProvenancePrefix = "orvane:run:provenance:";

// <span class="verdict verdict-pass">PASS</span>
void verdict(Html& html, nb::handle status) {
    const std::string text = report::shown(status);
    html.element("span", text, "class=\"verdict verdict-" + report::class_name(text) + "\"");
}

void empty(Html& html, std::string_view text) { html.element("p", text, "class=\"empty\""); }

// The product's stage and its default prim (None when it has none).
struct Stage {
    nb::object stage;
    nb::object prim;
};

Stage open_product(nb::handle path) {
    nb::object stage = usd::open_stage(nb::str(path));
    nb::object prim = stage.attr("GetDefaultPrim")();
    return {stage, py::truthy(prim) ? prim : nb::none()};
}

void header(Html& html, nb::handle path, nb::handle product, nb::handle name, bool competitors) {
    nb::object display = py::get(product, "displayName", nb::none());
    html.open("header").element("h1", display.is_none() ? name : display);
    html.open("p", "class=\"meta\"").text("Product ").text(name).text(" \u00b7 ");
    html.text(nb::str(path)).text(" \u00b7 report made ").text(clock::utc_now_iso()).close("p");
    html.open("nav");
    for (auto [id, title] :
         {std::pair{"design", "Design"}, std::pair{"gates", "Gates"}, std::pair{"trends", "Trends"},
          std::pair{"releases", "Releases"}, std::pair{"provenance", "Latest run"},
          std::pair{"benchmark", "Competitors"}}) {
        if (std::string_view(id) == "benchmark" && !competitors) continue;
        html.element("a", title, std::string("href=\"#") + id + "\"");
    }
    html.close("nav").close("header");
}

// The design parameters: the orvane:product:* attributes, and whatever else
// the design-intent layer declares besides targets (body style, seats).
void design_section(Html& html, const Stage& stage, nb::handle product) {
    html.open("section", "id=\"design\"").element("h2", "Design parameters");
    nb::dict parameters;
    if (!stage.prim.is_none()) {
        const usd::AttributeMethods& methods = usd::attribute_methods();
        for (nb::handle attribute : stage.prim.attr("GetAttributes")()) {
            const std::string name(py::utf8(methods.get_name(attribute)));
            if (!name.starts_with(kDesignPrefix)) continue;
            parameters[py::make_str(std::string_view(name).substr(kDesignPrefix.size()))] =
                methods.get(attribute);
        }
    }
    for (nb::handle key : py::get(product, "_design_keys", nb::list())) {
        if (!nb::isinstance<nb::str>(key) || py::utf8(key).starts_with("target_")) continue;
        if (!parameters.contains(key)) parameters[key] = py::dict_get_or(product, key, nb::none());
    }
    if (nb::len(parameters) == 0) {
        empty(html, "The product declares no design parameters.");
    } else {
        html.open("table", "class=\"compact\"").head_row({"parameter", "value"});
        for (nb::handle name : py::sorted_keys(parameters))
            html.open("tr").cell(name).cell(parameters[name]).close("tr");
        html.close("table");
    }
    html.close("section");
}

nb::object gates_section(Html& html, nb::handle path) {
    html.open("section", "id=\"gates\"").element("h2", "Gates of the latest results");
    nb::object evaluation = services::twin_state::product_gates(path);
    html.element("p", py::get(evaluation, "summary", nb::str("")));
    nb::object stale = py::get(evaluation, "stale", nb::dict());
    nb::object gates = py::get(evaluation, "gates", nb::list());
    if (nb::len(gates) > 0) {
        html.open("table").head_row({"KPI", "description", "verdict", "value", "min", "nominal",
                                     "max", "domain", "stale since its run"});
        for (nb::handle gate : gates) {
            html.open("tr");
            html.cell(py::get(gate, "kpi", nb::none()))
                .cell(py::get(gate, "description", nb::none()));
            html.open("td");
            verdict(html, py::get(gate, "status", nb::none()));
            html.close("td");
            for (const char* key : {"value", "target_min", "target_nominal", "target_max"})
                html.cell(py::get(gate, key, nb::none()));
            html.cell(py::get(gate, "domain", nb::none()))
                .cell(py::dict_get_or(stale, py::get(gate, "kpi", nb::none()), nb::str("")))
                .close("tr");
        }
        html.close("table");
    }
    html.close("section");
    return py::get(evaluation, "summary", nb::none());
}

nb::list trends_section(Html& html, nb::handle path) {
    html.open("section", "id=\"trends\"").element("h2", "KPI trends");
    nb::object kpis = services::charts::charted_kpis(path);
    if (nb::len(kpis) == 0) empty(html, "No results in the history yet.");
    html.raw(
        "<p class=\"meta\">Each KPI's results over time; shaded: the band between its min "
        "and max targets; dashed: its nominal; dash-dotted verticals: releases.</p>");
    if (nb::len(kpis) > 0) {
        // The charts are matplotlib's SVG: its texts are escaped as it writes them.
        for (nb::handle chart : services::charts::kpi_svgs(path, kpis))
            html.open("figure", "class=\"trend\"").raw(py::utf8(chart)).close("figure");
    }
    html.close("section");
    return nb::borrow<nb::list>(kpis);
}

// The (KPI, parameter) pairs of the product's design studies: every
// parameter that took more than one value across its successful runs (a
// sweep's varied values), against every KPI those runs have.
std::vector<std::pair<nb::object, nb::object>> design_studies(nb::handle path) {
    std::map<std::string, std::set<double>> values;
    std::set<std::string> kpis;
    for (nb::handle run : services::run_index::product_runs(path)) {
        if (!run["status"].equal(nb::str("success"))) continue;
        for (auto [name, value] : nb::borrow<nb::dict>(run["parameters"])) {
            if (py::is_number(value))
                values[std::string(py::utf8(name))].insert(py::to_double(value));
        }
        for (auto [name, value] : nb::borrow<nb::dict>(run["kpis"])) kpis.emplace(py::utf8(name));
    }
    std::vector<std::pair<nb::object, nb::object>> pairs;
    for (const auto& [parameter, seen] : values) {
        if (seen.size() < 2) continue;
        for (const std::string& kpi : kpis) {
            if (pairs.size() == kMaxDesignCharts) return pairs;
            pairs.emplace_back(py::make_str(kpi), py::make_str(parameter));
        }
    }
    return pairs;
}

nb::list design_studies_section(Html& html, nb::handle path) {
    nb::list shown;
    const auto pairs = design_studies(path);
    if (pairs.empty()) return shown;
    html.open("section", "id=\"studies\"").element("h2", "Design studies");
    html.raw(
        "<p class=\"meta\">Each KPI against a design value that the product's runs varied "
        "(a sweep's cases); shaded: the KPI's target band; dashed: its nominal.</p>");
    for (const auto& [kpi, parameter] : pairs) shown.append(nb::make_tuple(kpi, parameter));
    for (nb::handle chart : services::charts::design_svgs(path, shown))
        html.open("figure", "class=\"trend\"").raw(py::utf8(chart)).close("figure");
    html.close("section");
    return shown;
}

void release_changes(Html& html, nb::handle path, nb::handle older, nb::handle newer) {
    html.open("h3").text(older).text(" \u2192 ").text(newer).close("h3");
    nb::object diff = services::releases::diff_releases(path, newer, older);
    bool any = false;
    for (auto [attribute, values] : nb::borrow<nb::dict>(diff)) {
        nb::object after = values[0];
        nb::object before = values[1];
        if (after.equal(before)) continue;
        if (!any) html.open("table").head_row({"attribute", "before", "after", "change"});
        any = true;
        html.open("tr").cell(attribute).cell(before).cell(after).cell(values[2]).close("tr");
    }
    if (any) {
        html.close("table");
    } else {
        empty(html, "No numeric attribute changed.");
    }
}

nb::list releases_section(Html& html, nb::handle path) {
    html.open("section", "id=\"releases\"").element("h2", "Releases");
    nb::object releases = services::releases::list_releases(path);
    nb::list versions;
    if (nb::len(releases) == 0) {
        empty(html, "No release frozen yet.");
    } else {
        html.open("table").head_row({"version", "frozen", "commit", "validation", "notes"});
        for (nb::handle release : releases) {
            versions.append(py::get(release, "version", nb::none()));
            html.open("tr");
            for (const char* key :
                 {"version", "timestamp", "git_commit", "validation_summary", "notes"})
                html.cell(py::get(release, key, nb::none()));
            html.close("tr");
        }
        html.close("table");
        for (std::size_t i = 1; i < nb::len(versions); ++i)
            release_changes(html, path, versions[i - 1], versions[i]);
    }
    html.close("section");
    return versions;
}

// The run's attributes under orvane:run:provenance:, by their short name,
// and the run's own fields.
struct RunRecord {
    nb::dict provenance;
    nb::object solver, domain, timestamp;
};

RunRecord read_run(nb::handle run) {
    RunRecord record{nb::dict(), nb::none(), nb::none(), nb::none()};
    nb::object layer =
        usd::Sdf().attr("Layer").attr("OpenAsAnonymous")(py::get(run, "layer", nb::none()));
    if (layer.is_none()) return record;
    nb::object run_id = py::get(run, "run_id", nb::none());
    for (nb::handle root : layer.attr("rootPrims")) {
        nb::object runs = root.attr("nameChildren").attr("get")("SimulationRuns");
        nb::object spec =
            py::truthy(runs) ? runs.attr("nameChildren").attr("get")(run_id) : nb::none();
        if (!py::truthy(spec)) continue;
        for (nb::handle attribute : spec.attr("attributes")) {
            nb::object held = attribute.attr("name");  // the view below points into it
            const std::string_view name = py::utf8(held);
            if (name.starts_with(kRunProvenancePrefix)) {
                record.provenance[py::make_str(name.substr(kRunProvenancePrefix.size()))] =
                    attribute.attr("default");
            }
        }
        record.solver = usd::attribute_default(spec, "orvane:run:solver");
        record.domain = usd::attribute_default(spec, "orvane:run:domain");
        record.timestamp = usd::attribute_default(spec, "orvane:run:timestamp");
        break;
    }
    return record;
}

void field(Html& html, std::string_view name, nb::handle value) {
    html.element("dt", name).element("dd", value);
}

nb::object provenance_section(Html& html, nb::handle path) {
    html.open("section", "id=\"provenance\"").element("h2", "Latest run");
    // Through the index, which leaves out run files it cannot read.
    nb::object run = nb::none();
    for (nb::handle each : services::run_index::product_runs(path, "last"_a = 1))
        run = nb::borrow(each);
    nb::object status = nb::none();
    if (run.is_none()) {
        empty(html, "No run recorded yet.");
        html.close("section");
        return status;
    }
    const RunRecord record = read_run(run);
    nb::object check = services::provenance::verify_provenance_record(record.provenance);
    status = py::get(check, "status", nb::none());
    auto recorded = [&](const char* key) { return py::get(record.provenance, key, nb::none()); };

    html.open("dl");
    field(html, "run", py::get(run, "run_id", nb::none()));
    field(html, "solver", record.solver);
    field(html, "domain", record.domain);
    field(html, "time", record.timestamp);
    field(html, "fingerprint", recorded("fingerprint"));
    html.element("dt", "verification").open("dd");
    verdict(html, status);
    nb::object error = py::get(check, "error", nb::none());
    if (!error.is_none()) html.text(" ").text(error);
    if (nb::str("mismatch").equal(status))
        html.text(" recomputed ").text(py::get(check, "recomputed", nb::none()));
    html.close("dd");
    field(html, "solver image", recorded("solver_image"));
    field(html, "solver version", recorded("solver_version"));
    field(html, "solver certificate", recorded("solver_cert"));
    field(html, "mesh cache", recorded("mesh_cache"));
    html.close("dl");
    html.element("h3", "Case sent to the solver");
    html.element("pre", recorded("case_yaml"));
    html.close("section");
    return status;
}

// The children of the product's Competitors prim.
nb::list competitor_names(const Stage& stage) {
    nb::list names;
    if (stage.prim.is_none()) return names;
    nb::object competitors = stage.stage.attr("GetPrimAtPath")(
        stage.prim.attr("GetPath")().attr("AppendChild")("Competitors"));
    if (!py::truthy(competitors.attr("IsValid")())) return names;
    for (nb::handle rival : competitors.attr("GetChildren")())
        names.append(rival.attr("GetName")());
    return names;
}

void benchmark_section(Html& html, nb::handle path, nb::handle names) {
    if (nb::len(names) == 0) return;
    html.open("section", "id=\"benchmark\"").element("h2", "Competitor benchmark");
    for (nb::handle name : names) {
        html.element("h3", name);
        html.open("table").head_row({"attribute", "own", "competitor", "own \u2212 competitor"});
        nb::object diff = services::product_twin::diff_against_benchmark(path, name);
        for (auto [attribute, values] : nb::borrow<nb::dict>(diff)) {
            // Equal texts (schema fallbacks such as visibility) tell nothing apart.
            if (values[2].is_none() && values[0].equal(values[1])) continue;
            html.open("tr").cell(attribute).cell(values[0]).cell(values[1]).cell(values[2]);
            html.close("tr");
        }
        html.close("table");
    }
    html.close("section");
}

// The page and what it holds.
struct Page {
    std::string markup;
    nb::dict summary;
};

Page make_page(nb::handle usda_path, const char* function) {
    nb::object path = py::require_path(usda_path, function, "usda_path");
    const Stage stage = open_product(path);
    nb::object name = services::product::product_class(path).attr("name");
    nb::object attributes = services::product_twin::load_product(path);
    nb::list competitors = competitor_names(stage);

    Html body;
    header(body, path, attributes, name, nb::len(competitors) > 0);
    body.open("main");
    design_section(body, stage, attributes);
    nb::object gates = gates_section(body, path);
    nb::list kpis = trends_section(body, path);
    nb::list studies = design_studies_section(body, path);
    nb::list versions = releases_section(body, path);
    nb::object provenance = provenance_section(body, path);
    benchmark_section(body, path, competitors);
    body.close("main");

    Html page;
    page.raw("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n");
    page.raw("<meta http-equiv=\"Content-Security-Policy\" content=\"").raw(kPolicy).raw("\">\n");
    page.raw("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n");
    page.open("title").text(name).text(" \u2014 product report").close("title");
    page.raw("\n<style>").raw(kStyle).raw("</style>\n</head>\n<body>\n");
    page.raw(body.str()).raw("\n</body>\n</html>\n");

    Page made{page.str(), nb::dict()};
    made.summary["product"] = name;
    made.summary["kpis"] = kpis;
    made.summary["design_studies"] = studies;
    made.summary["gates"] = gates;
    made.summary["releases"] = versions;
    made.summary["provenance"] = provenance;
    made.summary["competitors"] = competitors;
    return made;
}

nb::object report_html(nb::handle usda_path) {
    return py::make_str(make_page(usda_path, "report_html").markup);
}

nb::object write_report(nb::handle usda_path, nb::handle path) {
    constexpr const char* kFunction = "write_report";
    nb::object target = py::require_path(path, kFunction, "path");
    nb::object suffix = target.attr("suffix").attr("lower")();
    if (!suffix.equal(nb::str(".html")) && !suffix.equal(nb::str(".htm"))) {
        py::raise(py::exc::value_error(), "path must end in .html or .htm, not " +
                                              py::repr(target.attr("suffix")) + " (" +
                                              py::display_text(target) + ")");
    }
    fs::require_regular_if_present(py::fs_path(target), "path");
    Page page = make_page(usda_path, kFunction);
    fs::write_file_atomic(py::fs_path(target), page.markup);
    page.summary["path"] = target;
    page.summary["bytes"] = page.markup.size();
    return page.summary;
}

}  // namespace

NB_MODULE(report, m) {
    m.doc() =
        "A product's report as one self-contained HTML file: design parameters, gates, KPI "
        "trends, releases, the latest run's provenance and the competitor benchmark.";
    m.def("report_html", &report_html, nb::arg("usda_path").none(),
          nb::sig("def report_html(usda_path: str | os.PathLike[str]) -> str"),
          R"(The report of the product as an HTML document that fetches nothing: its styles and
          charts (SVG) are inline, and its Content-Security-Policy refuses any other source.
          Every text read from the product's files is escaped.)");
    m.def("write_report", &write_report, nb::arg("usda_path").none(), nb::arg("path").none(),
          nb::sig("def write_report(usda_path: str | os.PathLike[str], path: str | "
                  "os.PathLike[str]) -> dict[str, typing.Any]"),
          R"(Write the product's report (see report_html) to `path` (.html or .htm), atomically:
          readers see the old file or the whole new one. Returns path, bytes, product, the
          charted KPIs, the gate summary, the releases, the latest run's verification status
          (None without runs) and the competitors.)");
}
