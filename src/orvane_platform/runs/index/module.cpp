// The workspace's run index: every recorded run in one SQLite database beside
// the products folder, searched with a small query language.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <string>
#include <vector>

#include "index.h"
#include "native/fs.h"
#include "native/py.h"
#include "query.h"

namespace nb = nanobind;
using namespace orvane;
using namespace orvane::run_index;

namespace {

py::ModuleGlobals globals;

[[noreturn]] void raise_query_error(const QueryError& error) {
    nb::object raised = globals.get("QueryError")(py::make_str(error.full_message()));
    raised.attr("column") = error.column();
    raised.attr("reason") = py::make_str(error.reason());
    raised.attr("query") = py::make_str(error.query());
    py::raise_instance(raised);
}

Condition compile(nb::handle query, const char* function) {
    py::require_str(query, function, "query");
    try {
        return compile_query(py::utf8(query));
    } catch (const QueryError& error) {
        raise_query_error(error);
    }
}

std::optional<Condition> order_of(nb::handle order_by) {
    if (order_by.is_none()) return std::nullopt;
    py::require_str(order_by, "search", "order_by");
    try {
        return order_expression(py::utf8(order_by));
    } catch (const QueryError& error) {
        py::raise(py::exc::value_error(), "order_by: " + error.reason());
    }
}

std::vector<std::string> product_names(nb::handle products) {
    std::vector<std::string> names;
    if (products.is_none()) return names;
    if (!nb::isinstance<nb::list>(products) && !nb::isinstance<nb::tuple>(products)) {
        py::raise_argument_type("search", "products", "a list of str or None", products);
    }
    for (nb::handle name : products) {
        if (!nb::isinstance<nb::str>(name)) {
            py::raise_argument_type("search", "products", "a list of str or None", name);
        }
        names.push_back(py::fs_path(name));
    }
    return names;
}

nb::list search(nb::handle query, nb::handle products, nb::handle order_by, bool descending,
                nb::handle limit) {
    SearchRequest request;
    request.condition = compile(query, "search");
    request.products = product_names(products);
    request.order = order_of(order_by);
    request.descending = descending;
    request.limit = py::require_count_or_none(limit, "search", "limit");
    const Location where = workspace_location();
    if (!index_wanted(where)) return nb::list();
    return runs_as_dicts(current_search(where, request), where.products);
}

nb::object get_run(nb::handle run_id) {
    py::require_str(run_id, "get_run", "run_id");
    return find_run(run_id, nb::none());
}

nb::dict update_index() {
    const Location where = workspace_location();
    UpdateCounts counts;
    if (index_wanted(where)) {
        counts =
            with_store(where, [&](Store& store) { return update(store, where.products, false); });
    }
    nb::dict summary;
    summary["added"] = counts.added;
    summary["changed"] = counts.changed;
    summary["removed"] = counts.removed;
    return summary;
}

std::int64_t rebuild() {
    const Location where = workspace_location();
    if (!index_wanted(where)) return 0;
    return with_store(where, [&](Store& store) {
        update(store, where.products, true);
        nb::gil_scoped_release release;
        return store.run_count();
    });
}

nb::object database_path() {
    const Location where = workspace_location();
    return where.products_dir.attr("parent") / nb::str(kDatabaseName);
}

bool record_run(nb::handle layer_path) {
    nb::object path = py::require_path(layer_path, "record_run", "layer_path");
    const Location where = workspace_location();
    if (!fs::is_directory(where.products)) return false;
    const std::string products = fs::real_path(where.products) + "/";
    const std::string layer = fs::real_path(py::fs_path(path.attr("absolute")()));
    if (!layer.starts_with(products)) return false;
    RunFile file{layer.substr(products.size()), {}};
    if (!is_run_layer(file.layer)) return false;

    std::vector<IndexedFile> files;
    std::vector<std::string> removed;
    const std::optional<Stamp> stamp = stamp_of(where.products + "/" + file.layer);
    if (stamp) {
        file.stamp = *stamp;
        files.push_back(read_file(where.products, file));
    } else {
        removed.push_back(file.layer);
    }
    with_store(where, [&](Store& store) {
        nb::gil_scoped_release release;
        store.write(files, removed, where.products);
        return 0;
    });
    return stamp.has_value();
}

// The condition for product_runs' filters, in the query language itself.
Condition filters(nb::handle domain, nb::handle solver, nb::handle since) {
    std::string query;
    for (auto [value, condition] : {std::pair{domain, "domain = "}, std::pair{solver, "solver = "},
                                    std::pair{since, "timestamp >= "}}) {
        if (value.is_none()) continue;
        if (!query.empty()) query += " and ";
        query += condition + query_string(py::utf8(value));
    }
    return compile_query(query);
}

nb::list product_runs(nb::handle usda_path, nb::handle domain, nb::handle solver, nb::handle since,
                      nb::handle last) {
    constexpr const char* kFunction = "product_runs";
    nb::object path = py::require_path(usda_path, kFunction, "usda_path");
    py::require_str_or_none(domain, kFunction, "domain");
    py::require_str_or_none(solver, kFunction, "solver");
    py::require_str_or_none(since, kFunction, "since");
    SearchRequest request;
    request.condition = filters(domain, solver, since);
    // The last N: the newest N, turned oldest first below.
    request.limit = py::require_count_or_none(last, kFunction, "last");
    request.descending = request.limit.has_value();

    ProductRuns runs = search_product(path, request);
    if (request.descending) std::reverse(runs.found.begin(), runs.found.end());
    return runs_as_dicts(runs.found, runs.root);
}

}  // namespace

void bind_compare(nb::module_& m);

NB_MODULE(index, m) {
    m.doc() = R"(The workspace's run index: every recorded run (product, solver, domain, time,
status, fingerprint, image, KPIs, parameters) in a SQLite database beside the products
folder. The run files stay the truth: the index is brought up to date from their stat
stamps before every search and recreated from them when missing or damaged.)";
    globals.bind(m);
    py::make_exception_class(m, "QueryError", py::exc::value_error(),
                             R"(A run query that does not parse. `column` (from 1), `reason` and
`query` say where and why; the message ends with the query and a caret under
the column.)");

    m.def("search", &search, nb::arg("query").none() = "", nb::kw_only(),
          nb::arg("products").none() = nb::none(), nb::arg("order_by").none() = nb::none(),
          nb::arg("descending") = false, nb::arg("limit").none() = nb::none(),
          nb::sig("def search(query: str = '', *, products: list[str] | None = None, "
                  "order_by: str | None = None, descending: bool = False, limit: int | None = "
                  "None) -> list[dict[str, typing.Any]]"),
          R"(The runs of the workspace that match `query` (every run for ''), oldest first or
          by `order_by` (a field: 'timestamp', 'kpi.cd', ...; runs without it last), only of
          `products` (folder names) when given, at most `limit`. The index is brought up to
          date first. Each run: product, run_id, solver, domain, timestamp, status,
          fingerprint, image, layer, kpis {name: value}, parameters {name: value}. A query
          that does not parse raises QueryError (a ValueError) naming the column.)");
    m.def("get_run", &get_run, nb::arg("run_id").none(),
          nb::sig("def get_run(run_id: str) -> dict[str, typing.Any] | None"),
          R"(The run of this id as search returns it (the latest, should two products share
          the id), or None.)");
    m.def("update", &update_index, nb::sig("def update() -> dict[str, int]"),
          R"(Bring the index up to date with the run files: read only new and changed files
          (by their stat stamps), forget removed ones; each batch of files changes in one
          transaction, so a reader sees every run of a file or none. Returns the counts
          of added, changed and removed files.)");
    m.def("rebuild", &rebuild, nb::sig("def rebuild() -> int"),
          R"(Read every run file again into the index; returns how many runs it holds.)");
    m.def("database_path", &database_path, nb::sig("def database_path() -> pathlib.Path"),
          R"(The index's database: .orvane-index.sqlite beside the products folder.)");
    m.def("record_run", &record_run, nb::arg("layer_path").none(),
          nb::sig("def record_run(layer_path: str | os.PathLike[str]) -> bool"),
          R"(Index one run file that was just written (or forget it when it is gone). False,
          with nothing done, for a file that is not a run file of the workspace's products.)");
    m.def("product_runs", &product_runs, nb::arg("usda_path").none(), nb::kw_only(),
          nb::arg("domain").none() = nb::none(), nb::arg("solver").none() = nb::none(),
          nb::arg("since").none() = nb::none(), nb::arg("last").none() = nb::none(),
          nb::sig("def product_runs(usda_path: str | os.PathLike[str], *, domain: str | None = "
                  "None, solver: str | None = None, since: str | None = None, last: int | None "
                  "= None) -> list[dict[str, typing.Any]]"),
          R"(One product's runs as search returns them, oldest first: of one domain or solver,
          at or after `since` (ISO time text), only the last `last`. A product outside the
          products folder is read from its own run files.)");
    bind_compare(m);
}
