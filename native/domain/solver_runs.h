// One solver run between its plan and its result: the plan as Python data,
// the child's outcome as Python data (so that either can cross to another
// process, a Dask worker, and back), and the result made from an outcome.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "native/process.h"

namespace orvane::solver_runs {

namespace nb = nanobind;

// The solver of a run and its domain, from whichever of the two was given
// (the domain's first registered solver when only the domain is); ValueError
// naming what the registry lacks.
std::pair<nb::object, nb::object> solver_and_domain(nb::handle domain, nb::handle solver);

// The resource gate's verdict for the solver on this host, as
// {severity, messages}; `workspace` is the folder the run writes in.
nb::dict resources(nb::handle solver, nb::handle workspace);

// The plan of a run: {domain, solver, argv, timeout, max_output_bytes,
// case_yaml, parameters, provenance}. A plan that could not be made is an
// error status instead.
bool is_plan(nb::handle plan);

// The parts of a plan the child process needs.
struct Command {
    std::vector<std::string> argv;
    double timeout = 0;
    std::size_t max_output_bytes = 0;
    std::string input;
};
Command command_of(nb::handle plan);

// The outcome of a child process as {ending, exit_code, out, err}, and back.
nb::dict outcome_of(const process::Completed& completed);
process::Completed completed_from(nb::handle outcome);

// The options the command's child runs under: its case on standard input
// and its output cap. Callers add ticks or cancellation.
process::Options options_for(const Command& command);

// The solver's result: its JSON object with solver, parameters and
// provenance added, or the error status of a failed, late or malformed run.
nb::dict result_of(nb::handle plan, const process::Completed& completed);

}  // namespace orvane::solver_runs
