// Running the OpenFOAM tools as child processes of the driver: each in a
// process group of its own, its output copied to a log file and handed over
// line by line, and none outliving the driver.
//
// A tool gets SIGTERM when the driver dies, however it dies (the kernel's
// parent-death signal); mpirun forwards SIGTERM to its ranks, which it
// starts in process groups of their own. When the driver is asked to stop
// (SIGTERM, SIGINT, SIGHUP) it stops the running tool the same way, then
// kills its group.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::foam {

struct ToolRun {
    int exit_code = -1;  // when it exited
    int signal = 0;      // the signal that ended it, or 0
    double seconds = 0;
};

// Installs the handlers that stop the running tool when the driver is asked
// to stop; `stop_signal()` then tells which signal asked.
void handle_stop_signals();
int stop_signal();

// Runs `argv` in `folder` with standard input from /dev/null, appending its
// standard output and error to `log_path` and calling `on_line` with each
// line it prints.
ToolRun run_tool(const std::vector<std::string>& argv, const std::string& folder,
                 const std::string& log_path, const std::function<void(std::string_view)>& on_line);

}  // namespace orvane::foam
