// The run path of one solver run: planned from a product and a request,
// executed as a child process (here, or by an engine elsewhere with the plan
// as data), completed into a result and recorded; and the engineer's run of a
// product around it (design parameters, resources, saving, gates, baseline).
// Each file of the module registers its own functions.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <optional>
#include <string>

#include "native/process.h"
#include "native/py.h"

namespace orvane::solver_run {

namespace nb = nanobind;

// The module's own attributes, read when a function runs.
extern py::ModuleGlobals module_globals;

// The plan of a run of `product` (an object with `name`, `specs`, `usd_path`
// and `default_solver(domain)`) for the keywords of `request`, or the error
// status of a run that cannot start. `function` names the caller in
// argument errors.
nb::dict plan_run(nb::handle product, nb::handle request, const char* function);

// Plans, runs and records one run, as Product.simulate does.
nb::dict simulate(nb::handle product, nb::handle request);

// Raises ValueError naming the first of `values` ({parameter: value}) that
// lies outside the bounds `solver` declares (solver.yaml `design`).
void check_design(nb::handle solver, nb::handle values);
// check_design against every registered solver that fits `product` (the
// product has every design parameter it declares).
void check_design_for_product(nb::handle product, nb::handle values);

// Why a child failed, as the error the caller sees ("solver 'x' did not
// finish within 60 s"); nothing when it exited with status 0.
std::optional<std::string> failure(const process::Completed& completed, const std::string& solver,
                                   double timeout, std::size_t cap);

// Writes `design` ({name: value}) into the product's design and the run's
// KPIs into its `save_target` layer in one locked step, completed by the next
// write to the product if it is cut short.
void save_run(nb::handle product, nb::handle domain, nb::handle result, nb::handle kpis,
              nb::handle design, nb::handle save_target);

void bind_planning(nb::module_& m);
void bind_execution(nb::module_& m);
void bind_product_runs(nb::module_& m);
void bind_saving(nb::module_& m);
void bind_bounds(nb::module_& m);

}  // namespace orvane::solver_run
