// One standalone USD file per solver run:
// simulation_runs/<solver>/<timestamp>/result.usda inside the product.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "native/clock.h"
#include "native/domain/product_lock.h"
#include "native/domain/services.h"
#include "native/domain/usd.h"
#include "native/fs.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace orvane;

namespace {

py::CachedModule usd_geom{"pxr.UsdGeom"};
py::CachedModule json_module{"json"};
py::Logger logger{"orvane_platform.core.run_records"};

constexpr const char* kRunTimeFormat = "%Y%m%dT%H%M%S%f";
constexpr const char* kRunFile = "result.usda";

// "run_" + the manoeuvre with every character outside [A-Za-z0-9_] made "_"
// + "_" + the time to the microsecond: a valid prim name and folder name.
nb::str run_id(nb::handle manoeuvre, nb::handle run_time) {
    std::string id = "run_";
    const py::Characters characters(manoeuvre);
    for (std::size_t i = 0; i < characters.size(); ++i) {
        const char32_t c = characters[i];
        const bool kept =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        id += kept ? static_cast<char>(c) : '_';
    }
    id += '_';
    id += py::utf8(run_time.attr("strftime")(kRunTimeFormat));
    return py::make_str(id);
}

nb::object make_run_id(nb::handle manoeuvre, nb::handle ts_utc) {
    py::require_str(manoeuvre, "_make_run_id", "manoeuvre");
    clock::require_datetime(ts_utc, "_make_run_id", "ts_utc", py::NoneAllowed::no);
    return run_id(manoeuvre, ts_utc);
}

nb::dict skipped(const char* reason, nb::handle detail) {
    nb::dict result;
    result["status"] = "skipped";
    result["reason"] = py::concat(reason, detail);
    result["layer"] = nb::none();
    result["run_id"] = "";
    result["attributes_written"] = 0;
    return result;
}

// What a record stores of a result or provenance: values, not None or nested
// containers.
bool is_scalar(nb::handle value) {
    return !value.is_none() && !nb::isinstance<nb::dict>(value) && !nb::isinstance<nb::list>(value);
}

// The value's USD type: Bool, Int, Double, else String (with the value's text).
std::pair<const char*, nb::object> scalar_type(nb::handle value) {
    if (nb::isinstance<nb::bool_>(value)) return {"Bool", nb::borrow(value)};
    if (nb::isinstance<nb::int_>(value)) return {"Int", nb::borrow(value)};
    if (nb::isinstance<nb::float_>(value)) return {"Double", nb::borrow(value)};
    return {"String", nb::str(value)};
}

void set_attribute(nb::handle prim, nb::handle name, const char* type, nb::handle value) {
    prim.attr("CreateAttribute")(name, usd::value_type(type)).attr("Set")(value);
}

std::size_t write_fields(nb::handle run_prim, nb::handle result) {
    std::size_t written = 0;
    for (auto [key, value] : nb::borrow<nb::dict>(result)) {
        if (!is_scalar(value)) continue;
        nb::str name = py::concat("orvane:run:", nb::str(key));
        try {
            auto [type, stored] = scalar_type(value);
            set_attribute(run_prim, name, type, stored);
            ++written;
        } catch (nb::python_error& error) {
            if (!py::is_exception(error)) throw;
            // A field that cannot be stored (an int beyond 32 bits, a key that
            // is no attribute name) is left out whole; the rest of the record
            // stands.
            run_prim.attr("RemoveProperty")(name);
        }
    }
    return written;
}

void write_assumptions(nb::handle run_prim, nb::handle assumptions) {
    for (auto [key, entry] : nb::borrow<nb::dict>(assumptions)) {
        if (!nb::isinstance<nb::dict>(entry)) continue;
        nb::str base = py::concat("orvane:run:assumptions:", nb::str(key));
        nb::object value = py::dict_get(entry, "value");
        if (value.is_valid() && !value.is_none()) {
            const bool text = nb::isinstance<nb::str>(value);
            set_attribute(run_prim, py::concat(base, nb::str(":value")), text ? "String" : "Double",
                          text ? value : nb::object(nb::float_(py::to_double(value))));
        }
        nb::object unit = py::dict_get(entry, "unit");
        if (unit.is_valid() && py::truthy(unit))
            set_attribute(run_prim, py::concat(base, nb::str(":unit")), "String", nb::str(unit));
    }
}

// The record's content below the product's root prim: every scalar of the
// result, the domain's KPIs, provenance, parameters and assumptions. Returns
// how many attributes it authored beyond domain, solver and time.
std::size_t author_record(nb::handle run_stage, nb::handle product, nb::handle id,
                          nb::handle run_time, nb::handle result, nb::handle domain,
                          nb::handle solver, nb::handle provenance, nb::handle assumptions,
                          nb::handle parameters) {
    nb::str root_path = py::concat("/", product);
    usd_geom.attr("Xform").attr("Define")(run_stage, root_path);
    nb::str runs_path = py::concat(root_path, nb::str("/SimulationRuns"));
    run_stage.attr("DefinePrim")(runs_path, "Scope");
    nb::object run_prim =
        run_stage.attr("DefinePrim")(py::concat(py::concat(runs_path, nb::str("/")), id), "Scope");
    set_attribute(run_prim, nb::str("orvane:run:domain"), "String", domain);
    set_attribute(run_prim, nb::str("orvane:run:solver"), "String", solver);
    set_attribute(run_prim, nb::str("orvane:run:timestamp"), "String",
                  run_time.attr("isoformat")());
    std::size_t written = write_fields(run_prim, result);

    nb::object schema = services::solver_registry::get_domain_schema(domain);
    if (!py::truthy(schema)) schema = nb::dict();
    nb::object kpis =
        services::kpi_service::extract_kpis(result, schema.attr("get")("kpis", nb::dict()));
    for (nb::handle item : kpis.attr("items")()) {
        nb::object kpi = item[0];
        nb::object value = item[1];
        set_attribute(run_prim, py::concat("orvane:kpi:", nb::str(kpi)), "Double",
                      nb::float_(py::to_double(value)));
        ++written;
    }
    if (!provenance.is_none() && nb::len(provenance) > 0) {
        nb::dict flat;
        for (auto [key, value] : nb::borrow<nb::dict>(provenance)) {
            if (is_scalar(value)) flat[key] = value;
        }
        if (nb::len(flat) > 0) {
            services::product_twin::write_provenance_attrs(run_prim, flat,
                                                           nb::arg("ns") = "orvane:run:provenance");
            written += nb::len(flat);
        }
    }
    if (!parameters.is_none() && nb::len(parameters) > 0) {
        set_attribute(run_prim, nb::str("orvane:run:parameters"), "String",
                      services::provenance::canonical_json(parameters));
        ++written;
    }
    if (!assumptions.is_none() && nb::len(assumptions) > 0)
        write_assumptions(run_prim, assumptions);
    return written;
}

// The workspace's run index learns of the new file at once. The file is the
// record: when indexing fails the next search catches up, so the failure is
// only logged.
void index_run(nb::handle run_file) {
    try {
        services::run_index::record_run(run_file);
    } catch (nb::python_error& error) {
        if (!py::is_exception(error)) throw;
        logger.warning("run %s recorded but not indexed: %s", run_file, error.value());
    }
}

nb::object write_run_record(nb::handle usda_path, nb::handle result, nb::handle domain,
                            nb::handle solver, nb::handle provenance, nb::handle assumptions,
                            nb::handle parameters, nb::handle timestamp) {
    constexpr const char* kFunction = "write_run_record";
    nb::object path = py::require_path(usda_path, kFunction, "usda_path");
    py::require_dict(result, kFunction, "result");
    py::require_str(domain, kFunction, "domain");
    py::require_str(solver, kFunction, "solver");
    py::require_dict_or_none(provenance, kFunction, "provenance");
    py::require_dict_or_none(assumptions, kFunction, "assumptions");
    py::require_dict_or_none(parameters, kFunction, "parameters");
    clock::require_datetime(timestamp, kFunction, "timestamp", py::NoneAllowed::yes);
    py::require_no_control_characters(domain, "domain");

    if (!py::truthy(path.attr("exists")())) return skipped("root USD not found: ", nb::str(path));
    nb::object stage = usd::open_stage(nb::str(path));
    nb::object product_prim = stage.attr("GetDefaultPrim")();
    if (!py::truthy(product_prim) || !py::truthy(product_prim.attr("IsValid")())) {
        return skipped("root stage has no defaultPrim", nb::str(""));
    }
    nb::object product = product_prim.attr("GetName")();

    nb::object run_time = py::truthy(timestamp) ? nb::borrow(timestamp) : clock::utc_now();
    nb::str id = run_id(domain, run_time);
    nb::str run_file;
    std::size_t written = 0;
    {
        const product_lock::ProductLock lock(path);
        nb::object run_dir = services::run_store::run_dir(
            path.attr("parent"), solver,
            nb::arg("timestamp") = run_time.attr("strftime")(kRunTimeFormat));
        run_file = nb::str(run_dir / nb::str(kRunFile));

        // A record written again for the same run replaces the old one whole.
        usd::write_layer_file(
            run_file,
            [&](nb::handle layer) {
                written = author_record(usd::Usd().attr("Stage").attr("Open")(layer), product, id,
                                        run_time, result, domain, solver, provenance, assumptions,
                                        parameters);
                nb::setattr(layer, "defaultPrim", product);
                usd::copy_stage_metadata(stage, layer);
            },
            fs::Existing::replace);
    }
    index_run(run_file);
    nb::dict record;
    record["status"] = "written";
    record["layer"] = run_file;
    record["run_id"] = id;
    record["attributes_written"] = written;
    return record;
}

// --- reading runs -----------------------------------------------------------------

constexpr std::string_view kKpiPrefix = "orvane:kpi:";
constexpr std::string_view kRunPrefix = "orvane:run:";
constexpr std::string_view kProvenancePrefix = "orvane:run:provenance:";
constexpr std::string_view kAssumptionsPrefix = "orvane:run:assumptions:";

// The parameter snapshot from its canonical JSON; empty when it is not JSON
// of an object.
nb::dict parameters_from(nb::handle text) {
    if (!nb::isinstance<nb::str>(text)) return nb::dict();
    try {
        nb::object parsed = json_module.attr("loads")(text);
        if (nb::isinstance<nb::dict>(parsed)) return nb::borrow<nb::dict>(parsed);
    } catch (nb::python_error& error) {
        if (!py::is_exception(error)) throw;
    }
    return nb::dict();
}

// Everything one run prim of a record holds, sorted by what it is.
nb::dict read_run(nb::handle run_spec, nb::handle product, nb::handle layer_text) {
    nb::dict entry, kpis, results, provenance, assumptions;
    nb::object parameters = nb::dict();
    for (const char* key : {"domain", "solver", "timestamp", "status"}) entry[key] = nb::none();
    for (nb::handle attribute : run_spec.attr("attributes")) {
        nb::object name_object = attribute.attr("name");
        const std::string_view name = py::utf8(name_object);
        nb::object value = attribute.attr("default");
        if (name.starts_with(kKpiPrefix)) {
            kpis[py::make_str(name.substr(kKpiPrefix.size()))] = value;
        } else if (name.starts_with(kProvenancePrefix)) {
            provenance[py::make_str(name.substr(kProvenancePrefix.size()))] = value;
        } else if (name.starts_with(kAssumptionsPrefix)) {
            // <name>:value or <name>:unit
            const std::string_view rest = name.substr(kAssumptionsPrefix.size());
            const std::size_t colon = rest.rfind(':');
            if (colon == std::string_view::npos) continue;
            nb::str assumption = py::make_str(rest.substr(0, colon));
            if (!assumptions.contains(assumption)) assumptions[assumption] = nb::dict();
            assumptions[assumption][py::make_str(rest.substr(colon + 1))] = value;
        } else if (name == "orvane:run:parameters") {
            parameters = parameters_from(value);
        } else if (name.starts_with(kRunPrefix)) {
            nb::str field = py::make_str(name.substr(kRunPrefix.size()));
            if (entry.contains(field)) {
                entry[field] = value;
            } else {
                results[field] = value;
            }
        }
    }
    entry["run_id"] = run_spec.attr("name");
    entry["product"] = product;
    entry["layer"] = layer_text;
    entry["kpis"] = kpis;
    entry["results"] = results;
    entry["provenance"] = provenance;
    entry["parameters"] = parameters;
    entry["assumptions"] = assumptions;
    return entry;
}

nb::list read_runs_of(const nb::str& file_text) {
    nb::list runs;
    // Read as a layer of its own: never composed into the product.
    nb::object layer = usd::Sdf().attr("Layer").attr("OpenAsAnonymous")(file_text);
    if (layer.is_none()) return runs;
    for (nb::handle root : layer.attr("rootPrims")) {
        nb::object container = root.attr("nameChildren").attr("get")("SimulationRuns");
        if (!py::truthy(container)) continue;
        nb::object product = root.attr("name");
        for (nb::handle run : container.attr("nameChildren")) {
            runs.append(read_run(run, product, file_text));
        }
    }
    return runs;
}

nb::object read_run_records(nb::handle layer_path) {
    nb::object path = py::require_path(layer_path, "read_run_records", "layer_path");
    fs::require_regular_if_present(py::fs_path(path), "a run record");
    return read_runs_of(nb::str(path));
}

// The text of a record's value, or None.
nb::object text_or_none(nb::handle value) {
    return value.is_none() ? nb::none() : nb::object(nb::str(value));
}

nb::object list_runs(nb::handle usda_path, nb::handle solver, nb::handle domain) {
    nb::object path = py::require_path(usda_path, "list_runs", "usda_path");
    for (auto [value, name] : {std::pair{solver, "solver"}, std::pair{domain, "domain"}}) {
        if (!value.is_none()) py::require_str(value, "list_runs", name);
    }
    const std::string runs_root = py::fs_path(path.attr("parent") / nb::str("simulation_runs"));
    std::vector<std::string> files;
    std::vector<std::string> solvers = fs::list_directory(runs_root);
    std::sort(solvers.begin(), solvers.end());
    for (const std::string& solver_dir : solvers) {
        std::vector<std::string> times = fs::list_directory(runs_root + "/" + solver_dir);
        std::sort(times.begin(), times.end());
        for (const std::string& time : times) {
            const std::string file = runs_root + "/" + solver_dir + "/" + time + "/" + kRunFile;
            if (fs::is_regular_file(file)) files.push_back(file);
        }
    }
    nb::list runs;
    for (const std::string& file : files) {
        for (nb::handle run : read_runs_of(py::decode_fs(file))) {
            nb::dict entry;
            entry["run_id"] = run["run_id"];
            entry["solver"] = text_or_none(run["solver"]);
            entry["domain"] = text_or_none(run["domain"]);
            entry["timestamp"] = text_or_none(run["timestamp"]);
            entry["layer"] = run["layer"];
            entry["fingerprint"] =
                text_or_none(py::get(run["provenance"], "fingerprint", nb::none()));
            entry["status"] = text_or_none(run["status"]);
            entry["kpis"] = run["kpis"];
            if (!solver.is_none() && !entry["solver"].equal(solver)) continue;
            if (!domain.is_none() && !entry["domain"].equal(domain)) continue;
            runs.append(entry);
        }
    }
    // Oldest first; ISO times of one zone sort as text. Stable: folder order on ties.
    runs.attr("sort")(nb::arg("key") = nb::cpp_function([](nb::handle run) {
                          nb::object time = run["timestamp"];
                          return time.is_none() ? nb::object(nb::str("")) : time;
                      }));
    return runs;
}

}  // namespace

NB_MODULE(run_records, m) {
    m.doc() = "Per-run record files: the full result of one solver run as a standalone USD file.";
    m.def(
        "write_run_record", &write_run_record, nb::arg("usda_path").none(),
        nb::arg("result").none(), nb::arg("domain").none(), nb::arg("solver").none(),
        nb::arg("provenance").none() = nb::none(), nb::arg("assumptions").none() = nb::none(),
        nb::arg("parameters").none() = nb::none(), nb::arg("timestamp").none() = nb::none(),
        nb::sig("def write_run_record(usda_path: str | os.PathLike[str], result: dict[str, "
                "typing.Any], domain: str, solver: str, provenance: dict[str, typing.Any] | None = "
                "None, assumptions: dict[str, typing.Any] | None = None, parameters: dict[str, "
                "typing.Any] | None = None, timestamp: datetime.datetime | None = None) -> "
                "dict[str, typing.Any]"),
        R"(Write simulation_runs/<solver>/<time>/result.usda: every scalar of the result under
        orvane:run:, the domain's KPIs under orvane:kpi:, provenance, canonical parameters and
        assumptions. Returns status 'written' (layer, run_id, attributes_written) or 'skipped'
        with a reason.)");
    m.def("_make_run_id", &make_run_id, nb::arg("manoeuvre").none(), nb::arg("ts_utc").none(),
          nb::sig("def _make_run_id(manoeuvre: str, ts_utc: datetime.datetime) -> str"),
          R"(run_<manoeuvre, non-identifier characters as _>_<YYYYmmddTHHMMSSffffff>.)");
    m.def("read_run_records", &read_run_records, nb::arg("layer_path").none(),
          nb::sig("def read_run_records(layer_path: str | os.PathLike[str]) -> "
                  "list[dict[str, typing.Any]]"),
          R"(Everything a run file records, one dict per run: run_id, product (its root prim),
          domain, solver, timestamp, status, layer, kpis, results (the result's other scalars),
          provenance (case_yaml included), parameters (the snapshot: {name: {value, default,
          path, override}}) and assumptions. OpenUSD's error propagates for a file it cannot
          read.)");
    m.def("list_runs", &list_runs, nb::arg("usda_path").none(),
          nb::arg("solver").none() = nb::none(), nb::arg("domain").none() = nb::none(),
          nb::sig("def list_runs(usda_path: str | os.PathLike[str], solver: str | None = None, "
                  "domain: str | None = None) -> list[dict[str, typing.Any]]"),
          R"(The product's recorded runs (run_id, solver, domain, timestamp, layer, fingerprint,
          status, kpis), oldest first, optionally of one solver or domain.)");
}
