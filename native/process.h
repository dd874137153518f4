// Child processes: an argument vector (never a shell) looked up on PATH,
// captured output, and a time-out after which the child and everything it
// started are killed and reaped. The GIL is released while waiting.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <vector>

namespace orvane::process {

struct Completed {
    // False when the program is not on PATH or did not finish in time: the
    // tool is "not available".
    bool available = false;
    int exit_code = -1;  // the exit status, or -signal when a signal ended it
    std::string out;
    std::string err;
};

struct Options {
    std::optional<std::string> input;  // standard input; /dev/null when none
    std::optional<std::string> cwd;    // working folder; the caller's when none
};

// Runs `argv` to completion within `timeout_seconds`. Raises OSError for
// failures to start other than a missing program (for example a program that
// is not executable).
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
