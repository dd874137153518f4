// What the writers of a solver result share: which solver ran, which KPIs it
// carries, and what its history entry records besides them.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::results {

namespace nb = nanobind;

// The schema of a domain from the registry; an empty dict for an unknown one.
nb::object domain_schema(nb::handle domain);

// The KPIs a domain's result carries, as the KPI service extracts them.
nb::object domain_kpis(nb::handle domain, nb::handle result);

// The solver a result names: its executor_id when it has one, else its solver.
nb::object solver_id(nb::handle result);

// The schema's extra metadata keys that the result carries, with their
// values, for its history entry.
nb::dict history_metadata(nb::handle schema, nb::handle result);

// Whether a result's `converged` entry says it converged: a text when it is
// "yes", "true", "1" or "converged" in any case, anything else by its truth.
bool converged(nb::handle value);

}  // namespace orvane::results
