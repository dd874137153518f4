// The solver registry: one folder per solver alias, holding the solver's
// solver.yaml, its kpi_spec.yaml and the registration record. Lookups read
// one snapshot of the whole registry, revalidated per lookup for about one
// system call; each file of the module registers its own functions.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "native/py.h"

namespace orvane::solver {

namespace nb = nanobind;

inline constexpr const char* kSolverFile = "solver.yaml";
inline constexpr const char* kKpiSpecFile = "kpi_spec.yaml";
inline constexpr const char* kRecordFile = "record.yaml";

// The module's attributes (_LOCK_TIMEOUT_SECONDS, _USE_INOTIFY).
extern py::ModuleGlobals globals;

std::string join(const std::string& folder, const char* name);

// One registered solver, as parsed from its folder. The documents are the
// snapshot's: copy before handing anything out.
struct Solver {
    std::string alias;
    std::string folder;       // file-system encoding
    nb::object config;        // solver.yaml, a dict
    nb::object kpi_spec;      // kpi_spec.yaml, a dict, or invalid when absent
    nb::object record;        // record.yaml, a dict, or invalid when added by hand
    nb::object error;         // what reading solver.yaml or kpi_spec.yaml raised, or invalid
    nb::object record_error;  // what reading record.yaml raised, or invalid

    // Raises what reading the solver's files raised, if anything.
    void require_readable() const;
    void require_readable_record() const;
};

// The solver in `folder`, checked; nothing when the folder has no
// solver.yaml. Raises ValueError naming a malformed file.
std::optional<Solver> load_solver_folder(const std::string& alias, const std::string& folder);

// The whole registry at one moment, with the views lookups need.
struct Snapshot {
    std::string root;
    std::vector<Solver> solvers;  // in registry order: sorted by alias
    std::unordered_map<std::string, std::size_t> by_alias;
    nb::dict schemas;        // the merged domain schemas
    nb::dict display_names;  // KPI key -> display name, the first definition's

    // The solver registered as `alias`, or none.
    const Solver* find(std::string_view alias) const;
    // Raises what reading the first unreadable solver raised, if any: a view
    // over every solver needs them all.
    void require_readable() const;
};

// The registry as it is now: the kept snapshot, unless a folder or file of
// the registry changed or the registry folder moved (ORVANE_SOLVERS_DIR,
// ORVANE_HOME), when it is read again.
std::shared_ptr<const Snapshot> current();

// The registry folder: ORVANE_SOLVERS_DIR when set, else ORVANE_HOME/solvers.
nb::object registry_dir();
std::string registry_root();

// Puts back or drops the entries a registration killed half-way through a
// two-step swap left behind, found among `names` of the registry folder;
// true when it repaired any (defined with the registration).
bool repair_interrupted_swaps(const std::string& root, const std::vector<std::string>& names);

void bind_registry(nb::module_& m);
void bind_lookups(nb::module_& m);
void bind_registration(nb::module_& m);

}  // namespace orvane::solver
