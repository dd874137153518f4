// The processes one run started, found and stopped without the interpreter:
// what the platform and the supervisor program (native/supervise/) both use,
// so that a time-out and a parent's death stop the same tree.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace orvane::process_tree {

// Every process of a run carries this variable in its environment, with a
// value of its own: descendants keep it even when they leave the run's
// process group or session.
inline constexpr std::string_view kVariable = "ORVANE_PROCESS_TREE";

// The program every child is started through, in the installed package's
// folder; CMakeLists.txt installs it there.
inline constexpr std::string_view kSupervisor = "libexec/orvane-supervise";

// The supervisor's descriptor to the platform. It writes two ints on it: the
// errno of a program it could not start, or 0 once the program runs; then
// the program's wait status when it ends. It holds the descriptor until no
// process of the tree is left.
inline constexpr int kReportFd = 3;

// "ORVANE_PROCESS_TREE=value" of this process, or "" when it has none.
std::string own_marker();

// SIGKILLs every process of the process group `group` and every process
// whose environment holds the entry `marker` (none when empty), other than
// the caller, until none is left (each sweep may find children of the last).
void kill(pid_t group, const std::string& marker);

}  // namespace orvane::process_tree
