#include "native/process_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

namespace orvane::process_tree {

namespace {

// Up to `limit` bytes of a file under /proc; empty when it cannot be read.
std::string read_proc(const std::string& path, std::size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string text;
    char buffer[1 << 14];
    ssize_t n = 0;
    while (text.size() < limit && (n = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

// The process group of a live process, or nothing for a zombie or one gone.
// /proc/PID/stat reads "PID (NAME) STATE PPID PGRP ...", NAME holding any
// character: the fields are counted from its last ')'.
std::optional<pid_t> live_group(const std::string& pid) {
    const std::string stat = read_proc("/proc/" + pid + "/stat", 1 << 12);
    const std::size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos || name_end + 2 >= stat.size()) return std::nullopt;
    const char state = stat[name_end + 2];
    if (state == 'Z' || state == 'X') return std::nullopt;
    char* after_parent = nullptr;
    std::strtol(stat.c_str() + name_end + 3, &after_parent, 10);  // PPID
    return static_cast<pid_t>(std::strtol(after_parent, nullptr, 10));
}

bool carries(const std::string& pid, const std::string& marker) {
    const std::string environment = '\0' + read_proc("/proc/" + pid + "/environ", 1 << 20);
    return environment.find('\0' + marker + '\0') != std::string::npos;
}

}  // namespace

std::string own_marker() {
    const char* value = std::getenv(std::string(kVariable).c_str());
    return value == nullptr ? std::string() : std::string(kVariable) + "=" + value;
}

void kill(pid_t group, const std::string& marker) {
    // At once where the caller is outside the group; the sweeps find the rest.
    if (group != ::getpgrp()) ::kill(-group, SIGKILL);
    const pid_t self = ::getpid();
    for (int sweep = 0; sweep < 5; ++sweep) {
        DIR* proc = ::opendir("/proc");
        if (proc == nullptr) return;
        bool found = false;
        while (const dirent* entry = ::readdir(proc)) {
            const std::string pid = entry->d_name;
            if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
            const pid_t number = static_cast<pid_t>(std::stol(pid));
            if (number == self) continue;
            const std::optional<pid_t> in_group = live_group(pid);
            if (!in_group || (*in_group != group && (marker.empty() || !carries(pid, marker))))
                continue;
            ::kill(number, SIGKILL);
            found = true;
        }
        ::closedir(proc);
        if (!found) return;
    }
}

}  // namespace orvane::process_tree
