// One solver run between its plan and its result: the plan as Python data,
// the child's outcome as Python data (so that either can cross to another
// process, a Dask worker, and back), and the result made from an outcome.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "native/process.h"

namespace orvane::solver_runs {

namespace nb = nanobind;

// The solver of a run of `product` (a Product) and its domain, from whichever
// of the two was given (the product's default solver for the domain when only
// the domain is); ValueError naming what the registry lacks.
std::pair<nb::object, nb::object> solver_and_domain(nb::handle domain, nb::handle solver,
                                                    nb::handle product);

// The resource gate's verdict for the solver on this host, as
// {severity, messages}; `workspace` is the folder the run writes in.
nb::dict resources(nb::handle solver, nb::handle workspace);

// The plan of a run: {domain, solver, argv, timeout, max_output_bytes,
// case_yaml, environment, prepared_dir, parameters, image_digest,
// provenance}. A plan that could not be made is an error status instead.
bool is_plan(nb::handle plan);

// The parts of a plan the child process needs.
struct Command {
    std::vector<std::string> argv;
    double timeout = 0;
    std::size_t max_output_bytes = 0;
    std::string input;
    std::map<std::string, std::string> environment;
};
Command command_of(nb::handle plan);

// The name of every folder a solver's prepare step fills starts with this.
inline constexpr const char* kPreparedPrefix = "orvane-run-";

// Removes the folder a solver's prepare step filled for the plan (its
// `prepared_dir`), if any: now, or when the run is over, however it ends.
void discard_prepared(nb::handle plan);
class PreparedFolder {
  public:
    explicit PreparedFolder(nb::handle plan);
    ~PreparedFolder();
    PreparedFolder(const PreparedFolder&) = delete;
    PreparedFolder& operator=(const PreparedFolder&) = delete;

  private:
    std::optional<std::string> path_;
};

// Why a child failed, as the error the caller sees ("solver 'x' did not
// finish within 60 s"); nothing when it exited with status 0.
std::optional<std::string> failure(const process::Completed& completed, const std::string& solver,
                                   double timeout, std::size_t cap);

// The outcome of a child process as {ending, exit_code, out, err}, and back.
nb::dict outcome_of(const process::Completed& completed);
process::Completed completed_from(nb::handle outcome);

// The options the command's child runs under: its case on standard input,
// its environment and its output cap. Callers add ticks or cancellation.
process::Options options_for(const Command& command);

// The solver's result: its JSON object with solver, parameters and
// provenance added, or the error status of a failed, late or malformed run.
nb::dict result_of(nb::handle plan, const process::Completed& completed);

}  // namespace orvane::solver_runs
