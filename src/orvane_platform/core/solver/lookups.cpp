// What the registry answers: solvers, their inputs and tests, domains, KPI
// display names and registration records. Every answer the caller owns is a
// copy of the snapshot's.
#include "registry.h"

namespace orvane::solver {

namespace {

// The solver registered as `alias` in `snapshot`, readable, or none.
const Solver* find(const Snapshot& snapshot, nb::handle alias) {
    const Solver* solver = snapshot.find(py::utf8(alias));
    if (solver != nullptr) solver->require_readable();
    return solver;
}

nb::str alias_text(const Solver& solver) { return py::make_str(solver.alias); }

// A copy of mapping[key], or `fallback` when it is absent or None.
nb::object copied_member_or(nb::handle mapping, const char* key, nb::handle fallback) {
    return py::deep_copy(py::dict_value_or(mapping, key, fallback));
}

nb::object get_domain_schemas() {
    const auto snapshot = current();
    snapshot->require_readable();
    return py::deep_copy(snapshot->schemas);
}

nb::object get_domain_schema(nb::handle domain) {
    py::require_str(domain, "get_domain_schema", "domain");
    const auto snapshot = current();
    snapshot->require_readable();
    nb::object schema = py::dict_get(snapshot->schemas, domain);
    return schema.is_valid() ? py::deep_copy(schema) : nb::none();
}

nb::object get_kpi_display_name(nb::handle kpi_key) {
    py::require_str(kpi_key, "get_kpi_display_name", "kpi_key");
    const auto snapshot = current();
    snapshot->require_readable();
    nb::object name = py::dict_get(snapshot->display_names, kpi_key);
    return name.is_valid() ? name : nb::borrow(kpi_key);
}

nb::dict kpi_display_names() {
    const auto snapshot = current();
    snapshot->require_readable();
    return py::shallow_copy(snapshot->display_names);
}

nb::object get_solver_config(nb::handle solver) {
    py::require_str(solver, "get_solver_config", "solver");
    const auto snapshot = current();
    const Solver* found = find(*snapshot, solver);
    return found ? py::deep_copy(found->config) : nb::none();
}

nb::object all_solver_aliases() {
    const auto snapshot = current();
    nb::list aliases;
    for (const Solver& solver : snapshot->solvers) aliases.append(alias_text(solver));
    return aliases;
}

nb::dict solver_inputs(const Solver& solver, nb::handle product_name) {
    nb::dict inputs = nb::borrow<nb::dict>(py::deep_copy(py::dict_member(solver.config, "inputs")));
    if (!product_name.is_none()) {
        nb::object section = py::dict_get(py::dict_member(solver.config, "products"), product_name);
        if (section.is_valid()) {
            for (auto [name, value] : py::dict_member(section, "inputs")) {
                inputs[name] = py::deep_copy(value);
            }
        }
    }
    return inputs;
}

nb::object get_solver_inputs(nb::handle solver, nb::handle product_name) {
    py::require_str(solver, "get_solver_inputs", "solver");
    py::require_str_or_none(product_name, "get_solver_inputs", "product_name");
    const auto snapshot = current();
    const Solver* found = find(*snapshot, solver);
    return found ? solver_inputs(*found, product_name) : nb::dict();
}

nb::object get_solver_tests(nb::handle alias) {
    py::require_str(alias, "get_solver_tests", "alias");
    const auto snapshot = current();
    const Solver* found = find(*snapshot, alias);
    return found ? py::deep_copy(py::dict_member(found->config, "tests")) : nb::dict();
}

// The names of an iterable joined with ", " (YAML keys need not be text).
nb::str joined_names(nb::handle names) {
    nb::list texts;
    for (nb::handle name : names) texts.append(nb::str(name));
    return nb::borrow<nb::str>(nb::str(", ").attr("join")(texts));
}

nb::object resolve_test_preset(nb::handle solver, nb::handle test, nb::handle product_name) {
    py::require_str(solver, "resolve_test_preset", "solver");
    py::require_str(test, "resolve_test_preset", "test");
    py::require_str_or_none(product_name, "resolve_test_preset", "product_name");
    auto refuse = [](nb::str error) { return nb::make_tuple(nb::none(), error); };
    const auto snapshot = current();
    const Solver* found = find(*snapshot, solver);
    if (!found) return refuse(nb::str("Unknown solver '{}'").format(solver));
    nb::dict tests = py::dict_member(found->config, "tests");
    nb::object declared = py::dict_get(tests, test);
    if (!declared.is_valid()) {
        if (nb::len(tests) == 0) {
            return refuse(nb::str("Solver '{}' declares no tests").format(solver));
        }
        return refuse(nb::str("Unknown test '{}' for solver '{}'. Available: {}")
                          .format(test, solver, joined_names(tests)));
    }
    nb::object preset = py::deep_copy(py::dict_member(declared, "inputs"));
    nb::dict inputs = solver_inputs(*found, product_name);
    nb::list undeclared;
    for (nb::handle name : preset) {
        if (!inputs.contains(name)) undeclared.append(name);
    }
    if (nb::len(undeclared) > 0) {
        return refuse(nb::str("Test '{}' of solver '{}' sets undeclared inputs: {}")
                          .format(test, solver, joined_names(undeclared)));
    }
    return nb::make_tuple(preset, nb::none());
}

// The stored record, or one made up for a folder written by hand (such an
// entry has no certificate).
nb::dict solver_record(const Solver& solver) {
    solver.require_readable_record();
    if (solver.record.is_valid()) return nb::borrow<nb::dict>(py::deep_copy(solver.record));
    nb::dict record;
    record["alias"] = alias_text(solver);
    record["image"] = copied_member_or(solver.config, "image", nb::str(""));
    record["image_digest"] = nb::str("");
    record["added_at"] = nb::none();
    record["cert"] = nb::none();
    return record;
}

nb::object get_solver_record(nb::handle alias) {
    py::require_str(alias, "get_solver_record", "alias");
    const auto snapshot = current();
    const Solver* found = find(*snapshot, alias);
    return found ? nb::object(solver_record(*found)) : nb::none();
}

nb::object list_solvers() {
    const auto snapshot = current();
    snapshot->require_readable();
    nb::list listing;
    for (const Solver& solver : snapshot->solvers) {
        nb::dict record = solver_record(solver);
        nb::dict row;
        row["alias"] = alias_text(solver);
        row["name"] = copied_member_or(solver.config, "name", alias_text(solver));
        row["domain"] = solver.kpi_spec.is_valid()
                            ? copied_member_or(solver.kpi_spec, "domain", nb::none())
                            : nb::none();
        row["kind"] = copied_member_or(solver.config, "kind", nb::str(""));
        row["version"] = copied_member_or(solver.config, "version", nb::str(""));
        row["gpu"] =
            nb::bool_(py::truthy(copied_member_or(solver.config, "gpu", nb::bool_(false))));
        for (const char* key : {"image", "image_digest", "added_at", "cert"}) {
            row[key] = copied_member_or(record, key, nb::none());
        }
        listing.append(row);
    }
    return listing;
}

}  // namespace

void bind_lookups(nb::module_& m) {
    m.def("all_solver_aliases", &all_solver_aliases,
          nb::sig("def all_solver_aliases() -> list[str]"),
          R"(The aliases of all registered solvers, in registry order (sorted by alias).)");
    m.def("get_solver_config", &get_solver_config, nb::arg("solver").none(),
          nb::sig("def get_solver_config(solver: str) -> dict[str, typing.Any] | None"),
          "The solver's parsed solver.yaml, or None for an unknown solver.");
    m.def("get_solver_record", &get_solver_record, nb::arg("alias").none(),
          nb::sig("def get_solver_record(alias: str) -> dict[str, typing.Any] | None"),
          R"(The solver's registration record (alias, image, image_digest, added_at, cert), or None
          for an unknown solver. A folder added by hand has a record without certificate.)");
    m.def("get_domain_schemas", &get_domain_schemas,
          nb::sig("def get_domain_schemas() -> dict[str, dict[str, typing.Any]]"),
          R"(Every domain of the registered solvers' kpi_spec.yaml files, mapped to its schema
          (kpis, history_prefix, source_prefix, extra_metadata, solvers).)");
    m.def("get_domain_schema", &get_domain_schema, nb::arg("domain").none(),
          nb::sig("def get_domain_schema(domain: str) -> dict[str, typing.Any] | None"),
          "The schema of one domain, or None for an unknown domain.");
    m.def("get_kpi_display_name", &get_kpi_display_name, nb::arg("kpi_key").none(),
          nb::sig("def get_kpi_display_name(kpi_key: str) -> str"),
          R"(The KPI's display name from the KPI specifications, else the key itself.)");
    m.def("_kpi_display_names", &kpi_display_names,
          nb::sig("def _kpi_display_names() -> dict[str, str]"),
          R"(Every KPI that has a display name, mapped to it: what get_kpi_display_name answers,
          for many KPIs at the cost of one lookup.)");
    m.def("get_solver_inputs", &get_solver_inputs, nb::arg("solver").none(),
          nb::arg("product_name").none() = nb::none(),
          nb::sig("def get_solver_inputs(solver: str, product_name: str | None = None) -> "
                  "dict[str, typing.Any]"),
          R"(The inputs the solver declares (its `inputs` mapping, with the entries of
          `products.<product_name>.inputs` over them); empty for an unknown solver.)");
    m.def("get_solver_tests", &get_solver_tests, nb::arg("alias").none(),
          nb::sig("def get_solver_tests(alias: str) -> dict[str, typing.Any]"),
          R"(The solver's named tests (`tests` mapping); empty when it declares none.)");
    m.def("resolve_test_preset", &resolve_test_preset, nb::arg("solver").none(),
          nb::arg("test").none(), nb::arg("product_name").none() = nb::none(),
          nb::sig("def resolve_test_preset(solver: str, test: str, product_name: str | None = "
                  "None) -> tuple[dict[str, typing.Any] | None, str | None]"),
          R"(The input overrides of a named test as (preset, None), or (None, error text) for an
          unknown solver or test, or a preset that sets inputs the solver does not declare.)");
    m.def("list_solvers", &list_solvers,
          nb::sig("def list_solvers() -> list[dict[str, typing.Any]]"),
          R"(One row per registered solver: alias, name, domain, kind, version, gpu and its
          registration record (image, image_digest, added_at, cert).)");
}

}  // namespace orvane::solver
