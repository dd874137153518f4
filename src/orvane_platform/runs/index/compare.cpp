// One run in full, and two runs side by side: found through the index, read
// from their run files.
#include <nanobind/nanobind.h>

#include <string>

#include "index.h"
#include "native/domain/services.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace orvane;

namespace {

py::CachedModule difflib{"difflib"};

// The fields of the index shown side by side.
constexpr const char* kFields[] = {"product", "solver",      "domain", "timestamp",
                                   "status",  "fingerprint", "image"};

nb::object described(nb::handle run_id, nb::handle usda_path) {
    nb::object found = run_index::find_run(run_id, usda_path);
    if (found.is_none()) return found;
    nb::object record;
    for (nb::handle candidate : services::run_records::read_run_records(found["layer"])) {
        if (candidate["run_id"].equal(run_id)) record = nb::borrow(candidate);
    }
    // Gone from its file since the index was brought up to date.
    if (!record.is_valid()) return nb::none();
    nb::dict shown = py::dict_copy(found);
    for (const char* key : {"kpis", "parameters", "results", "provenance", "assumptions"}) {
        shown[key] = record[key];
    }
    nb::object provenance = record["provenance"];
    shown["case"] = py::get(provenance, "case_yaml", nb::none());
    shown["verification"] = py::dict_get(provenance, "fingerprint").is_valid()
                                ? services::provenance::verify_provenance_record(provenance)
                                : nb::none();
    return shown;
}

nb::object describe_run(nb::handle run_id, nb::handle usda_path) {
    py::require_str(run_id, "describe_run", "run_id");
    if (usda_path.is_none()) return described(run_id, usda_path);
    return described(run_id, py::require_path(usda_path, "describe_run", "usda_path"));
}

nb::object described_or_raise(nb::handle run_id, const char* argument) {
    py::require_str(run_id, "diff_runs", argument);
    nb::object run = described(run_id, nb::none());
    if (run.is_none()) {
        py::raise(py::exc::value_error(),
                  std::string(argument) + ": no run " + py::repr(run_id) + " in the run index");
    }
    return run;
}

// A parameter's value in a snapshot entry ({value, default, ...}) or as it stands.
nb::object parameter_value(nb::handle parameters, nb::handle name) {
    nb::object entry = py::dict_get(parameters, name);
    if (!entry.is_valid()) return nb::none();
    if (nb::isinstance<nb::dict>(entry)) return py::dict_get_or(entry, "value", nb::none());
    return entry;
}

nb::object value_in(nb::handle mapping, nb::handle name) {
    return py::dict_get_or(mapping, name, nb::none());
}

bool plain_number(nb::handle value) {
    return py::is_number(value) && !nb::isinstance<nb::bool_>(value);
}

// {name: (a, b)} or, with `difference`, {name: (a, b, a - b)} over the names
// of both, sorted; `changed_only` keeps the names whose values differ.
nb::dict side_by_side(nb::handle a, nb::handle b, nb::object (*value)(nb::handle, nb::handle),
                      bool difference, bool changed_only) {
    nb::dict names;
    for (nb::handle mapping : {a, b}) {
        for (auto [name, unused] : nb::borrow<nb::dict>(mapping)) names[name] = nb::none();
    }
    nb::dict paired;
    for (nb::handle name : py::sorted_keys(names)) {
        nb::object first = value(a, name);
        nb::object second = value(b, name);
        if (changed_only && first.equal(second)) continue;
        if (!difference) {
            paired[name] = nb::make_tuple(first, second);
            continue;
        }
        nb::object delta = plain_number(first) && plain_number(second) ? nb::object(first - second)
                                                                       : nb::object(nb::none());
        paired[name] = nb::make_tuple(first, second, delta);
    }
    return paired;
}

nb::object case_diff(nb::handle a, nb::handle b, nb::handle from, nb::handle to) {
    auto lines = [](nb::handle text) {
        return nb::isinstance<nb::str>(text) ? nb::list(text.attr("splitlines")()) : nb::list();
    };
    nb::object diff =
        difflib.attr("unified_diff")(lines(a), lines(b), nb::arg("fromfile") = from,
                                     nb::arg("tofile") = to, nb::arg("lineterm") = "");
    return nb::str("\n").attr("join")(diff);
}

nb::dict diff_runs(nb::handle run_a, nb::handle run_b, bool changed_only) {
    nb::object a = described_or_raise(run_a, "run_a");
    nb::object b = described_or_raise(run_b, "run_b");
    nb::dict diff;
    for (auto [key, described] : {std::pair{"a", a}, std::pair{"b", b}}) {
        nb::dict summary;
        for (const char* field : {"run_id", "product", "layer"}) summary[field] = described[field];
        diff[key] = summary;
    }
    nb::dict fields;
    for (const char* field : kFields) {
        nb::object first = a[field];
        nb::object second = b[field];
        if (changed_only && first.equal(second)) continue;
        fields[field] = nb::make_tuple(first, second);
    }
    diff["fields"] = fields;
    diff["kpis"] = side_by_side(a["kpis"], b["kpis"], value_in, true, changed_only);
    diff["parameters"] =
        side_by_side(a["parameters"], b["parameters"], parameter_value, false, changed_only);
    diff["case_diff"] = case_diff(a["case"], b["case"], run_a, run_b);
    return diff;
}

}  // namespace

void bind_compare(nb::module_& m) {
    m.def("describe_run", &describe_run, nb::arg("run_id").none(), nb::kw_only(),
          nb::arg("usda_path").none() = nb::none(),
          nb::sig("def describe_run(run_id: str, *, usda_path: str | os.PathLike[str] | None = "
                  "None) -> dict[str, typing.Any] | None"),
          R"(Everything recorded of a run, found through the index and read from its file: the
          fields search returns, with kpis, parameters (the snapshot: {name: {value, default,
          path, override}}), results, provenance, assumptions, case (the case text) and
          verification (verify_provenance_record of its provenance; None without a
          fingerprint). Only of the product at `usda_path` when given. None for an unknown
          run.)");
    m.def("diff_runs", &diff_runs, nb::arg("run_a").none(), nb::arg("run_b").none(), nb::kw_only(),
          nb::arg("changed_only") = false,
          nb::sig("def diff_runs(run_a: str, run_b: str, *, changed_only: bool = False) -> "
                  "dict[str, typing.Any]"),
          R"(Two runs side by side: a and b (run_id, product, layer), fields {name: (a, b)},
          kpis {name: (a, b, a - b)}, parameters {name: (a, b)} (their values) and case_diff
          (a unified diff of the case texts, '' when equal). `changed_only` keeps only what
          differs. ValueError naming the argument for an unknown run.)");
}
