#include "tool_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

namespace orvane::foam {

namespace {

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t running_group = 0;

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

// How long a tool has to stop after SIGTERM before its group is killed.
constexpr auto kStopGrace = std::chrono::seconds(5);

void on_stop(int signal_number) {
    stop_requested = signal_number;
    const pid_t group = running_group;
    if (group > 0) ::kill(-group, SIGTERM);
}

// Hands over whole lines from the bytes as they come.
class LineSplitter {
  public:
    explicit LineSplitter(const std::function<void(std::string_view)>& on_line)
        : on_line_(on_line) {}
    void take(std::string_view bytes) {
        pending_ += bytes;
        std::size_t start = 0;
        for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos;
             start = end + 1)
            on_line_(std::string_view(pending_).substr(start, end - start));
        pending_.erase(0, start);
    }
    void finish() {
        if (!pending_.empty()) on_line_(pending_);
        pending_.clear();
    }

  private:
    const std::function<void(std::string_view)>& on_line_;
    std::string pending_;
};

void write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a full disk loses log lines, not the run
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

void handle_stop_signals() {
    struct sigaction action{};
    action.sa_handler = on_stop;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : kStopSignals) ::sigaction(signal_number, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

int stop_signal() { return stop_requested; }

ToolRun run_tool(const std::vector<std::string>& argv, const std::string& folder,
                 const std::string& log_path,
                 const std::function<void(std::string_view)>& on_line) {
    ToolRun run;
    const auto started = Clock::now();
    if (argv.empty() || stop_requested) return run;
    std::vector<char*> arguments;
    for (const std::string& argument : argv)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);

    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0) return run;
    const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const pid_t parent = ::getpid();

    // The stop signals wait until the child's group is known, so that a
    // stop can never miss it.
    sigset_t stops;
    sigset_t previous;
    sigemptyset(&stops);
    for (const int signal_number : kStopSignals) sigaddset(&stops, signal_number);
    ::sigprocmask(SIG_BLOCK, &stops, &previous);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);  // the driver is already gone
        for (const int signal_number : kStopSignals) ::signal(signal_number, SIG_DFL);
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const int input = ::open("/dev/null", O_RDONLY);
        if (input >= 0) ::dup2(input, STDIN_FILENO);
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(output[1], STDERR_FILENO);
        if (::chdir(folder.c_str()) == 0) ::execvp(arguments[0], arguments.data());
        const char* reason = std::strerror(errno);
        const std::string message = "cannot run " + argv[0] + ": " + reason + "\n";
        write_all(STDERR_FILENO, message.data(), message.size());
        ::_exit(127);
    }
    if (pid > 0) {
        ::setpgid(pid, pid);
        running_group = pid;
    }
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    ::close(output[1]);
    if (pid < 0) {
        ::close(output[0]);
        if (log >= 0) ::close(log);
        return run;
    }

    LineSplitter lines(on_line);
    std::optional<Clock::time_point> stop_seen;
    std::optional<Clock::time_point> exited_at;
    bool open = true;
    int status = 0;
    bool exited = false;
    char buffer[1 << 16];
    while (true) {
        if (!exited) {
            const pid_t done = ::waitpid(pid, &status, WNOHANG);
            if (done == pid) {
                exited = true;
                exited_at = Clock::now();
            }
        }
        // Output still held by a descendant after the tool exited is not
        // waited for long.
        if (exited && (!open || Clock::now() - *exited_at > std::chrono::seconds(2))) break;
        if (stop_requested && !exited) {
            if (!stop_seen) stop_seen = Clock::now();
            if (Clock::now() - *stop_seen > kStopGrace) ::kill(-pid, SIGKILL);
        }
        if (!open) {
            ::usleep(50000);
            continue;
        }
        pollfd watched{output[0], POLLIN, 0};
        if (::poll(&watched, 1, 200) <= 0) continue;
        const ssize_t n = ::read(output[0], buffer, sizeof buffer);
        if (n > 0) {
            if (log >= 0) write_all(log, buffer, static_cast<std::size_t>(n));
            lines.take(std::string_view(buffer, static_cast<std::size_t>(n)));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            open = false;
        }
    }
    if (!exited) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    running_group = 0;
    lines.finish();
    ::close(output[0]);
    if (log >= 0) ::close(log);
    if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    run.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return run;
}

}  // namespace orvane::foam
