// A run plan and its outcome as data: what crosses between the run path
// (orvane_platform.runs.solver_run) and the engines that run its child
// elsewhere (the sweep's pool of threads, a Dask worker) and back. A plan is
// a dict {domain, solver, argv, timeout, max_output_bytes, case_yaml,
// environment, prepared_dir, parameters, image_digest, provenance}; an
// outcome is a dict {ending, exit_code, out, err}.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "native/process.h"

namespace orvane::run_plan {

namespace nb = nanobind;

// Whether `plan` is a plan; a run that could not be planned is an error
// status instead.
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

// The options the command's child runs under: its case on standard input,
// its environment and its output cap. Callers add ticks or cancellation.
process::Options options_for(const Command& command);

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

// The outcome of a child process as data, and back.
nb::dict outcome_of(const process::Completed& completed);
process::Completed completed_from(nb::handle outcome);

}  // namespace orvane::run_plan
