// orvane_platform.runs.solver_run: the run path of one solver run.
#include <nanobind/nanobind.h>

#include "native/process.h"
#include "native/py.h"
#include "solver_run.h"

namespace nb = nanobind;
using namespace orvane;

namespace orvane::solver_run {
py::ModuleGlobals module_globals;
}

NB_MODULE(solver_run, m) {
    m.doc() =
        "The run path of one solver run: planned, executed, completed and recorded, and the "
        "engineer's run of a product around it.";
    solver_run::module_globals.bind(m);
    // What a solver may print on each of its outputs before it is stopped.
    m.attr("_MAX_OUTPUT_BYTES") = process::kDefaultMaxOutputBytes;
    solver_run::bind_planning(m);
    solver_run::bind_execution(m);
    solver_run::bind_product_runs(m);
    solver_run::bind_saving(m);
    solver_run::bind_bounds(m);
}
