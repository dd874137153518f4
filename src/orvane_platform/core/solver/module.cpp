// orvane_platform.core.solver stands in for the surrounding package's solver
// registry: solvers registered as folders of YAML files. The real one is the
// package's registry service, which the platform's modules reach by name.
#include <nanobind/nanobind.h>

#include "registry.h"

namespace nb = nanobind;
using namespace orvane;

NB_MODULE(solver, m) {
    m.doc() = "The solver registry: registered solvers, their domains and KPI specifications.";
    solver::bind_registry(m);
    // Seconds a registration waits for another one to finish.
    m.attr("_LOCK_TIMEOUT_SECONDS") = 30.0;
    solver::bind_lookups(m);
    solver::bind_registration(m);
}
