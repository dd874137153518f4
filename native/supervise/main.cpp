// orvane-supervise PARENT PROGRAM [ARGUMENT...]: what the platform starts
// every child through, as the leader of the child's process group. It runs
// PROGRAM (looked up on PATH) in that group with its own standard input,
// output, error and environment, and ends as PROGRAM ends: the same exit
// status, or death by the same signal, once no process PROGRAM started is
// left (orphans are handed to it, as their subreaper). When PARENT dies,
// however abruptly, or anyone sends it SIGTERM, it kills the whole tree (the
// group and every process carrying the run's marker) and dies by SIGTERM.
//
// A program of its own because the kernel's parent-death signal must be set
// in the child, and code between fork and exec in the multithreaded host may
// call async-signal-safe functions only.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "native/process_tree.h"

extern char** environ;

namespace {

using orvane::process_tree::kReportFd;

// Dies by `signal`, as the caller must see it. A core dump is left to the
// program: this process has nothing worth dumping.
[[noreturn]] void die_by(int signal) {
    ::prctl(PR_SET_DUMPABLE, 0);
    ::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    std::_Exit(128 + signal);  // a signal this process cannot die of
}

// Ends this process as `status` says the program ended.
[[noreturn]] void end_like(int status) {
    if (WIFEXITED(status)) std::_Exit(WEXITSTATUS(status));
    die_by(WTERMSIG(status));
}

// Tells the platform; a platform that stopped listening is not an error.
void report(int value) {
    while (::write(kReportFd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

// Starts the program with this process's signal mask before it blocked any;
// the errno when it cannot be started.
int start(char** argv, const sigset_t& mask, pid_t& pid) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigmask(&attributes, &mask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    const int error = ::posix_spawnp(&pid, argv[0], nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    return error;
}

// The supervisor's own standard streams go to /dev/null once the program
// has them: the caller sees the ends of its pipes when the program's tree
// closes them, whatever this process still does.
void let_go_of_streams() {
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) return;
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::dup2(null, fd);
    ::close(null);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: orvane-supervise PARENT PROGRAM [ARGUMENT...]\n", stderr);
        return 2;
    }
    const pid_t parent = static_cast<pid_t>(std::strtol(argv[1], nullptr, 10));
    // The group it stops is the tree's alone: it leads it (the platform
    // starts it so already; anyone else may not).
    ::setpgid(0, 0);
    ::fcntl(kReportFd, F_SETFD, FD_CLOEXEC);  // the program must not hold it

    // SIGCHLD and SIGTERM are taken with sigwaitinfo, never by a handler;
    // SIGPIPE stays blocked so that a report nobody reads fails quietly.
    sigset_t watched;
    sigemptyset(&watched);
    sigaddset(&watched, SIGCHLD);
    sigaddset(&watched, SIGTERM);
    sigset_t blocked = watched;
    sigaddset(&blocked, SIGPIPE);
    sigset_t original;
    ::sigprocmask(SIG_BLOCK, &blocked, &original);
    ::signal(SIGCHLD, SIG_DFL);  // an inherited SIG_IGN would reap the program unseen
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The parent may have died before the line above: then nobody is left
    // to run the program for.
    if (::getppid() != parent) return 1;

    pid_t program = 0;
    const int error = start(argv + 2, original, program);
    report(error);
    if (error != 0) return 127;
    let_go_of_streams();

    const std::string marker = orvane::process_tree::own_marker();
    std::optional<int> ended;  // the program's wait status once it ended
    while (true) {
        if (::sigwaitinfo(&watched, nullptr) == SIGTERM) {
            orvane::process_tree::kill(::getpgrp(), marker);
            die_by(SIGTERM);
        }
        // Every child that ended: the program, and orphans of the tree.
        int status = 0;
        pid_t done = 0;
        while ((done = ::waitpid(-1, &status, WNOHANG)) != 0) {
            if (done == program) {
                ended = status;
                report(status);
            } else if (done < 0 && errno == ECHILD && ended) {
                end_like(*ended);
            } else if (done < 0 && errno != EINTR) {
                break;
            }
        }
    }
}
