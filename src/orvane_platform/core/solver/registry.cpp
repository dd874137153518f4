// Reading the registry into a snapshot, and knowing when to read it again.
#include "registry.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <type_traits>

#include "native/domain/design.h"
#include "native/domain/services.h"
#include "native/fs.h"
#include "native/fs_watch.h"
#include "native/yaml_cache.h"

namespace orvane::solver {

py::ModuleGlobals globals;

namespace {

yaml_cache::FileCache registry_files;
py::CachedModule pathlib{"pathlib"};

// Raises ValueError naming `file` unless `spec[key]` is absent, None or a T
// (nb::dict, nb::str or nb::list).
template <typename T>
void require_member(nb::handle spec, const char* key, const std::string& file) {
    nb::object value = py::dict_get(spec, key);
    if (!value.is_valid() || value.is_none() || nb::isinstance<T>(value)) return;
    const char* expected = std::is_same_v<T, nb::dict>  ? "a mapping"
                           : std::is_same_v<T, nb::str> ? "a string"
                                                        : "a list";
    py::raise(py::exc::value_error(), "malformed solver file " + file + ": '" + key + "' must be " +
                                          expected + ", got " + py::type_name_of(value));
}

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
nb::dict merged_schemas(const std::vector<Solver>& solvers) {
    nb::dict schemas;
    for (const Solver& solver : solvers) {
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
        for (auto [kpi_key, definition] : py::dict_member(solver.kpi_spec, "kpis")) {
            if (!kpis.contains(kpi_key)) kpis[kpi_key] = kpi_definition(kpi_key, definition);
        }
        nb::borrow<nb::list>(schema["solvers"]).append(py::make_str(solver.alias));
    }
    return schemas;
}

// KPI key to display name: the first definition in registry order decides,
// its display_name or, without one, the key itself.
nb::dict display_names(const std::vector<Solver>& solvers) {
    nb::dict names;
    for (const Solver& solver : solvers) {
        if (!solver.kpi_spec.is_valid()) continue;
        for (auto [kpi_key, definition] : py::dict_member(solver.kpi_spec, "kpis")) {
            if (names.contains(kpi_key)) continue;
            nb::object name = nb::isinstance<nb::dict>(definition)
                                  ? py::dict_value_or(definition, "display_name", kpi_key)
                                  : nb::borrow(kpi_key);
            names[kpi_key] = name;
        }
    }
    return names;
}

// Reads a solver folder for the snapshot; what fails is kept with the solver,
// to be raised when the solver is used.
std::optional<Solver> read_solver(const std::string& alias, const std::string& folder) {
    std::optional<Solver> solver;
    try {
        solver = load_solver_folder(alias, folder);
    } catch (nb::python_error& error) {
        if (!py::is_exception(error)) throw;
        return Solver{alias, folder, {}, {}, {}, nb::borrow(error.value()), {}};
    }
    if (!solver) return solver;
    try {
        solver->record = registry_files.load_mapping(join(folder, kRecordFile));
    } catch (nb::python_error& error) {
        if (!py::is_exception(error)) throw;
        solver->record_error = nb::borrow(error.value());
    }
    return solver;
}

// What decides where the registry lies and how it is watched: a snapshot is
// read again when any of it changes.
struct Setting {
    bool from_environment = false;
    std::string configured;  // ORVANE_SOLVERS_DIR, when it is set
    nb::object home;         // ORVANE_HOME otherwise, compared by identity
    bool notify = true;

    static Setting now() {
        Setting setting;
        const char* configured = std::getenv("ORVANE_SOLVERS_DIR");
        setting.from_environment = configured != nullptr && *configured != '\0';
        if (setting.from_environment)
            setting.configured = configured;
        else
            setting.home = services::paths::orvane_home.get();
        static py::Name use_inotify{"_USE_INOTIFY"};
        setting.notify = py::truthy(globals.get(use_inotify));
        return setting;
    }

    bool same_as(const Setting& other) const {
        return from_environment == other.from_environment && notify == other.notify &&
               (from_environment ? configured == other.configured : home.is(other.home));
    }
};

// A snapshot with the watch that tells when it is out of date.
struct Reading {
    std::shared_ptr<const Snapshot> snapshot;
    std::unique_ptr<fs_watch::Watch> watch;
};

Reading read_registry(bool notify) {
    auto read = std::make_shared<Snapshot>();
    Snapshot& snapshot = *read;
    auto watch_owner = std::make_unique<fs_watch::Watch>();
    fs_watch::Watch& watch = *watch_owner;
    snapshot.root = registry_root();
    // Watched before it is read: what changes while it is read is seen next time.
    watch.begin(notify ? fs_watch::Notify::yes : fs_watch::Notify::no);
    watch.add_folder(snapshot.root);
    std::vector<std::string> names = fs::list_directory(snapshot.root);
    if (repair_interrupted_swaps(snapshot.root, names)) names = fs::list_directory(snapshot.root);
    std::sort(names.begin(), names.end());
    for (const std::string& alias : names) {
        // Hidden folders are registrations in progress or being replaced.
        if (alias[0] == '.') continue;
        const std::string folder = join(snapshot.root, alias.c_str());
        if (!fs::is_directory(folder)) continue;
        watch.add_folder(folder);
        for (const char* file : {kSolverFile, kKpiSpecFile, kRecordFile})
            watch.add_file(join(folder, file));
        if (auto solver = read_solver(alias, folder)) {
            snapshot.by_alias.emplace(alias, snapshot.solvers.size());
            snapshot.solvers.push_back(std::move(*solver));
        }
    }
    std::vector<Solver> readable;
    for (const Solver& solver : snapshot.solvers) {
        if (!solver.error.is_valid()) readable.push_back(solver);
    }
    snapshot.schemas = merged_schemas(readable);
    snapshot.display_names = display_names(readable);
    return {std::move(read), std::move(watch_owner)};
}

struct Kept {
    Setting setting;  // the one `reading` was read under
    Reading reading;
};

Kept& kept() {
    static Kept* state = new Kept();  // for the process: its Python objects must outlive exit
    return *state;
}

}  // namespace

std::string join(const std::string& folder, const char* name) { return folder + "/" + name; }

void Solver::require_readable() const {
    if (error.is_valid()) py::raise_instance(error);
}

void Solver::require_readable_record() const {
    require_readable();
    if (record_error.is_valid()) py::raise_instance(record_error);
}

std::optional<Solver> load_solver_folder(const std::string& alias, const std::string& folder) {
    Solver solver{alias, folder, {}, {}, {}, {}, {}};
    const std::string config_file = join(solver.folder, kSolverFile);
    solver.config = registry_files.load_mapping(config_file);
    if (!solver.config.is_valid()) return std::nullopt;
    for (const char* key : {"inputs", "tests", "compute", "overrides", "kpi_spec", "products"}) {
        require_member<nb::dict>(solver.config, key, config_file);
    }
    // Refused when read, not at the first run whose values it would check.
    design::declared(py::dict_get(solver.config, "design"),
                     "malformed solver file " + config_file + ": ");
    const std::string spec_file = join(solver.folder, kKpiSpecFile);
    solver.kpi_spec = registry_files.load_mapping(spec_file);
    if (solver.kpi_spec.is_valid()) {
        require_member<nb::str>(solver.kpi_spec, "domain", spec_file);
        require_member<nb::dict>(solver.kpi_spec, "kpis", spec_file);
        require_member<nb::list>(solver.kpi_spec, "extra_metadata", spec_file);
    }
    return solver;
}

const Solver* Snapshot::find(std::string_view alias) const {
    const auto found = by_alias.find(std::string(alias));
    return found == by_alias.end() ? nullptr : &solvers[found->second];
}

void Snapshot::require_readable() const {
    for (const Solver& solver : solvers) solver.require_readable();
}

std::shared_ptr<const Snapshot> current() {
    Kept& state = kept();
    Setting setting = Setting::now();
    if (!state.reading.snapshot || !setting.same_as(state.setting) ||
        state.reading.watch->changed()) {
        // Reading may release the GIL: another thread may read at the same
        // time, and the last to finish is kept with the setting it read
        // under. Callers hold their snapshot.
        try {
            Reading fresh = read_registry(setting.notify);
            state.reading = std::move(fresh);
            state.setting = std::move(setting);
        } catch (...) {
            state.reading = {};  // never answer from a registry that moved
            throw;
        }
    }
    return state.reading.snapshot;
}

nb::object registry_dir() {
    nb::object configured = py::environment_value("ORVANE_SOLVERS_DIR");
    if (configured.is_valid()) return pathlib.attr("Path")(configured);
    return services::paths::orvane_home.get() / nb::str("solvers");
}

std::string registry_root() { return py::fs_path(registry_dir()); }

void bind_registry(nb::module_& m) {
    globals.bind(m);
    registry_files.attach(m, "_file_cache");
    // Whether the registry is watched with the kernel's change notification
    // where it can see; off, every lookup compares stat signatures.
    m.attr("_USE_INOTIFY") = true;
    m.def("registry_dir", &registry_dir, nb::sig("def registry_dir() -> pathlib.Path"),
          R"(The registry folder: ORVANE_SOLVERS_DIR when set, else ORVANE_HOME/solvers.)");
}

}  // namespace orvane::solver
