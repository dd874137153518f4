// The solver registry: one folder per solver alias, holding the solver's
// solver.yaml, its kpi_spec.yaml and the registration record.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "native/clock.h"
#include "native/domain/services.h"
#include "native/fs.h"
#include "native/py.h"
#include "native/yaml_cache.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

constexpr const char* kSolverFile = "solver.yaml";
constexpr const char* kKpiSpecFile = "kpi_spec.yaml";
constexpr const char* kRecordFile = "record.yaml";
// Seconds a registration waits for another one to finish; a module attribute.
constexpr double kLockTimeoutSeconds = 30;

py::ModuleGlobals globals;
yaml_cache::FileCache registry_files;
py::CachedModule pathlib{"pathlib"};
py::CachedModule yaml_module{"yaml"};

nb::object registry_dir() {
    nb::object configured = py::environment_value("ORVANE_SOLVERS_DIR");
    if (configured.is_valid()) return pathlib.attr("Path")(configured);
    return services::paths::orvane_home.get() / nb::str("solvers");
}

// One registered solver, as parsed from its folder (cached documents: copy
// before handing anything out).
struct Solver {
    std::string alias;
    std::string folder;   // file-system encoding
    nb::object config;    // solver.yaml, a dict
    nb::object kpi_spec;  // kpi_spec.yaml, a dict, or invalid when absent
};

std::string join(const std::string& folder, const char* name) { return folder + "/" + name; }

// Raises ValueError naming `file` unless `spec[key]` is absent, None or a T
// (nb::dict, nb::str or nb::list).
template <typename T>
void require_member(nb::handle spec, const char* key, const std::string& file) {
    nb::object value = py::dict_get(spec, key);
    if (!value.is_valid() || value.is_none() || nb::isinstance<T>(value)) return;
    const char* expected = std::is_same_v<T, nb::dict>  ? "a mapping"
                           : std::is_same_v<T, nb::str> ? "a string"
                                                        : "a list";
    throw nb::value_error(("malformed solver file " + file + ": '" + key + "' must be " + expected +
                           ", got " + py::type_name_of(value))
                              .c_str());
}

// The solver in `folder`, checked; nothing when the folder has no solver.yaml.
std::optional<Solver> load_solver_folder(const std::string& alias, const std::string& folder) {
    Solver solver{alias, folder, {}, {}};
    const std::string config_file = join(solver.folder, kSolverFile);
    solver.config = registry_files.load_mapping(config_file);
    if (!solver.config.is_valid()) return std::nullopt;
    for (const char* key : {"inputs", "tests", "compute", "overrides", "kpi_spec", "products"}) {
        require_member<nb::dict>(solver.config, key, config_file);
    }
    const std::string spec_file = join(solver.folder, kKpiSpecFile);
    solver.kpi_spec = registry_files.load_mapping(spec_file);
    if (solver.kpi_spec.is_valid()) {
        require_member<nb::str>(solver.kpi_spec, "domain", spec_file);
        require_member<nb::dict>(solver.kpi_spec, "kpis", spec_file);
        require_member<nb::list>(solver.kpi_spec, "extra_metadata", spec_file);
    }
    return solver;
}

std::optional<Solver> load_solver(const std::string& root, const std::string& alias) {
    return load_solver_folder(alias, join(root, alias.c_str()));
}

std::string registry_root() { return py::fs_path(registry_dir()); }

// Aliases of every registered solver, sorted: the registry's order.
std::vector<std::string> registered_aliases(const std::string& root) {
    std::vector<std::string> aliases = fs::list_directory(root);
    // Hidden folders are registrations in progress or being replaced.
    std::erase_if(aliases, [&](const std::string& alias) {
        return alias[0] == '.' ||
               !fs::is_regular_file(join(join(root, alias.c_str()), kSolverFile));
    });
    std::sort(aliases.begin(), aliases.end());
    return aliases;
}

// --- registration ----------------------------------------------------------------

// Hidden folders beside an entry: the next version while it is assembled,
// and, where folders cannot be exchanged in one step, the old one while it is
// swapped out.
std::string staging_folder(const std::string& root, const std::string& alias) {
    return join(root, ("." + alias + ".staging").c_str());
}
std::string replaced_folder(const std::string& root, const std::string& alias) {
    return join(root, ("." + alias + ".replaced").c_str());
}

// Registrations and repairs of one registry, one at a time across processes.
class RegistryLock {
  public:
    explicit RegistryLock(const std::string& root)
        : lock_(join(root, ".lock"), globals.number("_LOCK_TIMEOUT_SECONDS"),
                "the solver registry " + root) {}

  private:
    fs::FileLock lock_;
};

// Finishes what a registration killed half-way through a two-step swap left:
// the old entry is put back when the new one never arrived, and dropped when
// it did. Call with the registry locked.
void repair_swap(const std::string& root, const std::string& alias) {
    const std::string target = join(root, alias.c_str());
    const std::string replaced = replaced_folder(root, alias);
    if (!fs::is_directory(replaced)) return;
    if (fs::exists(target)) {
        fs::remove_tree(replaced);
    } else {
        fs::rename_path(replaced, target);
    }
}

// Repairs interrupted swaps found among the registry's folder names.
void repair_interrupted_swaps(const std::string& root, const std::vector<std::string>& names) {
    constexpr std::string_view kSuffix = ".replaced";
    std::optional<RegistryLock> lock;
    for (const std::string& name : names) {
        if (name.size() <= kSuffix.size() + 1 || name[0] != '.' || !name.ends_with(kSuffix))
            continue;
        if (!lock) lock.emplace(root);
        repair_swap(root, name.substr(1, name.size() - 1 - kSuffix.size()));
    }
}

// Puts a new entry for `alias` in place: `fill` writes its files into a
// hidden folder, which then takes the entry's place in one step, so readers
// and a process killed at any moment see the old entry or the new one, whole.
// Call with the registry locked.
template <typename Fill>
void install_entry(const std::string& root, const std::string& alias, Fill&& fill) {
    const std::string target = join(root, alias.c_str());
    const std::string staging = staging_folder(root, alias);
    repair_swap(root, alias);
    fs::remove_tree(staging);  // left by a registration that was killed
    try {
        fs::make_directories(staging);
        fill(staging);
        if (!fs::exists(target)) {
            fs::rename_path(staging, target);
        } else if (fs::exchange_paths(staging, target)) {
            fs::remove_tree(staging);  // now the old entry
        } else {
            const std::string replaced = replaced_folder(root, alias);
            fs::rename_path(target, replaced);
            fs::rename_path(staging, target);
            fs::remove_tree(replaced);
        }
    } catch (...) {
        fs::discard_tree(staging);
        throw;
    }
}

std::vector<Solver> load_registry() {
    const std::string root = registry_root();
    std::vector<std::string> aliases = fs::list_directory(root);
    repair_interrupted_swaps(root, aliases);
    std::sort(aliases.begin(), aliases.end());
    std::vector<Solver> solvers;
    for (const std::string& alias : aliases) {
        // Hidden folders are registrations in progress or being replaced.
        if (alias[0] == '.') continue;
        if (auto solver = load_solver(root, alias)) solvers.push_back(std::move(*solver));
    }
    return solvers;
}

// A solver by alias; nothing for an unknown alias or one that is not a
// plain folder name (it could otherwise point outside the registry).
std::optional<Solver> find_solver(nb::handle alias) {
    std::string_view name = py::utf8(alias);
    if (!fs::is_single_component(name) || name[0] == '.') return std::nullopt;
    const std::string root = registry_root();
    std::optional<Solver> found = load_solver(root, std::string(name));
    if (!found && fs::is_directory(replaced_folder(root, std::string(name)))) {
        {
            const RegistryLock lock(root);
            repair_swap(root, std::string(name));
        }
        found = load_solver(root, std::string(name));
    }
    return found;
}

nb::str alias_text(const Solver& solver) { return py::make_str(solver.alias); }

// --- domains ---------------------------------------------------------------

// A copy of mapping[key] (a cached document's), or `fallback` when it is
// absent or None.
nb::object copied_member_or(nb::handle mapping, const char* key, nb::handle fallback) {
    return py::deep_copy(py::dict_value_or(mapping, key, fallback));
}

// One KPI definition with every member the writers read filled in.
nb::dict kpi_definition(nb::handle kpi_key, nb::handle declared) {
    nb::dict definition = nb::isinstance<nb::dict>(declared)
                              ? nb::borrow<nb::dict>(py::deep_copy(declared))
                              : nb::dict();
    nb::str key_text = nb::borrow<nb::str>(nb::str(kpi_key));
    auto fill = [&](const char* member, nb::handle fallback) {
        nb::object value = py::dict_get(definition, member);
        if (!value.is_valid() || value.is_none()) definition[member] = fallback;
    };
    fill("usd_attr", nb::str("orvane:current:") + key_text);
    fill("unit", nb::str(""));
    fill("direction", nb::str("neutral"));
    fill("display_name", key_text);
    return definition;
}

// Domain name to schema, merged over the solvers of each domain in registry
// order: the first solver to define a KPI or a member wins.
nb::dict domain_schemas() {
    nb::dict schemas;
    for (const Solver& solver : load_registry()) {
        if (!solver.kpi_spec.is_valid()) continue;
        nb::object domain = py::dict_get(solver.kpi_spec, "domain");
        if (!domain.is_valid() || domain.is_none() || nb::len(domain) == 0) continue;
        nb::object schema = py::dict_get(schemas, domain);
        if (!schema.is_valid()) {
            nb::dict fresh;
            fresh["domain"] = domain;
            fresh["kpis"] = nb::dict();
            fresh["history_prefix"] = copied_member_or(solver.kpi_spec, "history_prefix",
                                                       nb::str("domain=") + nb::str(domain));
            fresh["source_prefix"] = copied_member_or(solver.kpi_spec, "source_prefix", domain);
            fresh["extra_metadata"] =
                copied_member_or(solver.kpi_spec, "extra_metadata", nb::list());
            fresh["solvers"] = nb::list();
            schemas[domain] = fresh;
            schema = fresh;
        }
        nb::dict kpis = nb::borrow<nb::dict>(schema["kpis"]);
        nb::dict declared = py::dict_member(solver.kpi_spec, "kpis");
        for (auto [kpi_key, definition] : declared) {
            if (!kpis.contains(kpi_key)) kpis[kpi_key] = kpi_definition(kpi_key, definition);
        }
        nb::borrow<nb::list>(schema["solvers"]).append(alias_text(solver));
    }
    return schemas;
}

nb::object get_domain_schemas() { return domain_schemas(); }

nb::object get_domain_schema(nb::handle domain) {
    py::require_str(domain, "get_domain_schema", "domain");
    nb::object schema = py::dict_get(domain_schemas(), domain);
    return schema.is_valid() ? schema : nb::none();
}

nb::object get_kpi_display_name(nb::handle kpi_key) {
    py::require_str(kpi_key, "get_kpi_display_name", "kpi_key");
    // The first definition in registry order, as the merged schemas hold it,
    // without building them.
    for (const Solver& solver : load_registry()) {
        if (!solver.kpi_spec.is_valid()) continue;
        nb::object definition = py::dict_get(py::dict_member(solver.kpi_spec, "kpis"), kpi_key);
        if (!definition.is_valid()) continue;
        nb::object display_name = nb::isinstance<nb::dict>(definition)
                                      ? py::dict_get(definition, "display_name")
                                      : nb::object();
        return (display_name.is_valid() && !display_name.is_none()) ? display_name
                                                                    : nb::borrow(kpi_key);
    }
    return nb::borrow(kpi_key);
}

// --- solvers ---------------------------------------------------------------

nb::object get_solver_config(nb::handle solver) {
    py::require_str(solver, "get_solver_config", "solver");
    auto found = find_solver(solver);
    return found ? py::deep_copy(found->config) : nb::none();
}

nb::object all_solver_aliases() {
    nb::list aliases;
    for (const std::string& alias : registered_aliases(registry_root())) {
        aliases.append(py::make_str(alias));
    }
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
    auto found = find_solver(solver);
    return found ? solver_inputs(*found, product_name) : nb::dict();
}

nb::object get_solver_tests(nb::handle alias) {
    py::require_str(alias, "get_solver_tests", "alias");
    auto found = find_solver(alias);
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
    auto found = find_solver(solver);
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

// --- registration records ---------------------------------------------------

// The stored record, or one made up for a folder written by hand (such an
// entry has no certificate).
nb::dict solver_record(const Solver& solver) {
    nb::object stored = registry_files.load_mapping(join(solver.folder, kRecordFile));
    if (stored.is_valid()) return nb::borrow<nb::dict>(py::deep_copy(stored));
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
    auto found = find_solver(alias);
    return found ? nb::object(solver_record(*found)) : nb::none();
}

nb::object list_solvers() {
    nb::list listing;
    for (const Solver& solver : load_registry()) {
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

nb::object source_image(nb::handle source_dir) {
    const std::string folder =
        py::fs_path(py::require_path(source_dir, "source_image", "source_dir"));
    auto checked = load_solver_folder("", folder);
    if (!checked) throw nb::value_error(("no solver.yaml in " + folder).c_str());
    return copied_member_or(checked->config, "image", nb::str(""));
}

nb::object register_solver(nb::handle alias, nb::handle source_dir, nb::handle image,
                           nb::handle image_digest, nb::handle cert) {
    py::require_str(alias, "register_solver", "alias");
    nb::object source = py::require_path(source_dir, "register_solver", "source_dir");
    py::require_str(image, "register_solver", "image");
    py::require_str(image_digest, "register_solver", "image_digest");
    py::require_dict_or_none(cert, "register_solver", "cert");
    py::require_acyclic(cert, "register_solver() argument 'cert'");
    fs::require_single_component(alias, "alias");
    if (py::utf8(alias)[0] == '.') {
        throw nb::value_error("alias must not start with '.' (hidden folders are not solvers)");
    }

    // Check the solver's files before anything is written.
    const std::string source_folder = py::fs_path(source);
    const std::string alias_name(py::utf8(alias));
    auto checked = load_solver_folder(alias_name, source_folder);
    if (!checked) throw nb::value_error(("no solver.yaml in " + source_folder).c_str());

    nb::dict record;
    record["alias"] = alias;
    record["image"] = image;
    record["image_digest"] = image_digest;
    record["added_at"] = clock::utc_now_iso();
    record["cert"] = cert;
    nb::object record_text =
        yaml_module.attr("safe_dump")(record, "sort_keys"_a = false, "allow_unicode"_a = true);

    const std::string root = registry_root();
    fs::make_directories(root);
    const RegistryLock lock(root);
    install_entry(root, alias_name, [&](const std::string& staging) {
        fs::copy_file(join(source_folder, kSolverFile), join(staging, kSolverFile));
        if (checked->kpi_spec.is_valid()) {
            fs::copy_file(join(source_folder, kKpiSpecFile), join(staging, kKpiSpecFile));
        }
        fs::write_file_atomic(join(staging, kRecordFile), py::utf8(record_text));
    });
    return py::deep_copy(record);
}

}  // namespace

NB_MODULE(solver, m) {
    m.doc() = "The solver registry: registered solvers, their domains and KPI specifications.";
    globals.bind(m);
    m.attr("_LOCK_TIMEOUT_SECONDS") = kLockTimeoutSeconds;
    registry_files.attach(m, "_file_cache");

    m.def("registry_dir", &registry_dir, nb::sig("def registry_dir() -> pathlib.Path"),
          R"(The registry folder: ORVANE_SOLVERS_DIR when set, else ORVANE_HOME/solvers.)");
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
    m.def("source_image", &source_image, nb::arg("source_dir").none(),
          nb::sig("def source_image(source_dir: str | os.PathLike[str]) -> str"),
          R"(The image named by the solver.yaml in `source_dir` (empty when it names none).)");
    m.def("register_solver", &register_solver, nb::arg("alias").none(),
          nb::arg("source_dir").none(), nb::arg("image").none(),
          nb::arg("image_digest").none() = "", nb::arg("cert").none() = nb::none(),
          nb::sig("def register_solver(alias: str, source_dir: str | os.PathLike[str], image: "
                  "str, image_digest: str = '', cert: dict[str, typing.Any] | None = None) -> "
                  "dict[str, typing.Any]"),
          R"(Copy solver.yaml and kpi_spec.yaml from `source_dir` into the registry under `alias`
          with a registration record, replacing an earlier registration. Returns the record.)");
}
