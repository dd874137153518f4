// Child processes: an argument vector (never a shell) looked up on PATH,
// captured output up to a cap, and a time-out after which the child and
// everything it started (even in a session of its own) are killed and
// reaped; what a child that exited left running is killed after a grace.
// The GIL is released while waiting. Each child is started through the
// supervisor program (native/supervise/), which kills the same tree when
// this process dies, even by SIGKILL.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::process {

// How a run ended.
enum class Ending {
    finished,               // the program ran and exited (see exit_code)
    missing,                // the program is not on PATH
    timed_out,              // it did not finish in time: it and its descendants were killed
    too_much_output,        // it printed more than the cap on standard output: killed
    too_much_error_output,  // the same, on standard error
    cancelled,              // the caller asked it to stop: it and its descendants were killed
};

struct Completed {
    Ending ending = Ending::finished;
    int exit_code = -1;  // the exit status, or -signal when a signal ended it
    std::string out;
    std::string err;

    // Whether the tool ran to its end: a probe reads anything else as "not
    // available".
    bool available() const { return ending == Ending::finished; }
};

// What a program may print on each of its outputs before it is stopped.
inline constexpr std::size_t kDefaultMaxOutputBytes = 64u << 20;

struct Options {
    std::optional<std::string> input;  // standard input; /dev/null when none
    std::optional<std::string> cwd;    // working folder; the caller's when none
    // Variables set for the program (and its descendants) over the caller's.
    std::map<std::string, std::string> environment = {};
    std::size_t max_output_bytes = kDefaultMaxOutputBytes;
    // How long the outputs are still read, and the program's descendants
    // waited for, after the program exits: those left are killed then.
    double grace_seconds = 0.5;
    // Called with the GIL held about every tenth of a second and whenever
    // the program writes to standard error: the seconds since it started and
    // what it wrote since the last call.
    std::function<void(double elapsed, std::string_view new_error_output)> on_tick;
    // Set by another thread to stop the program early (Ending::cancelled).
    const std::atomic<bool>* cancel = nullptr;
};

// Runs `argv` to completion within `timeout_seconds`. Raises OSError for
// failures to start other than a missing program (for example a program that
// is not executable, or no supervisor installed). Ctrl-C while it runs stops
// the program and raises KeyboardInterrupt. The kernel tells the supervisor
// when the thread that started it ends, not the process: run waits in that
// thread until the child is reaped.
Completed run(const std::vector<std::string>& argv, double timeout_seconds,
              const Options& options = {});

// The executable `name` would run as, searched on PATH like the host's
// shutil.which; nothing when there is none.
std::optional<std::string> find_program(const std::string& name);

// A str argument in the file system's encoding; ValueError for an embedded
// NUL, as the host's subprocess module raises.
std::string argument(nanobind::handle text);

// Output read as the host's text mode reads it: strict UTF-8, with "\r\n"
// and "\r" made "\n".
nanobind::str text_output(const std::string& bytes);

}  // namespace orvane::process
