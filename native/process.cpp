#include "native/process.h"

#include <fcntl.h>
#include <nanobind/nanobind.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "native/fs.h"
#include "native/py.h"

extern char** environ;

namespace orvane::process {

namespace {

using Clock = std::chrono::steady_clock;

class Pipe {
  public:
    Pipe() {
        if (::pipe2(fds_, O_CLOEXEC) != 0) py::raise_os_error(errno, "pipe");
    }
    ~Pipe() {
        close_read();
        close_write();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    int read_end() const { return fds_[0]; }
    int write_end() const { return fds_[1]; }
    void close_read() { close(fds_[0]); }
    void close_write() { close(fds_[1]); }

  private:
    static void close(int& fd) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int fds_[2] = {-1, -1};
};

// Spawn settings: the child leads a process group of its own (so a time-out
// can stop everything it started) and gets default signal handling back.
class SpawnSettings {
  public:
    SpawnSettings(const Options& options, const Pipe* input, const Pipe& out, const Pipe& err) {
        posix_spawn_file_actions_init(&actions_);
        posix_spawnattr_init(&attributes_);
        if (input != nullptr) {
            posix_spawn_file_actions_adddup2(&actions_, input->read_end(), STDIN_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        }
        posix_spawn_file_actions_adddup2(&actions_, out.write_end(), STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions_, err.write_end(), STDERR_FILENO);
        if (options.cwd) posix_spawn_file_actions_addchdir_np(&actions_, options.cwd->c_str());
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGXFSZ);
        sigset_t no_mask;
        sigemptyset(&no_mask);
        posix_spawnattr_setsigdefault(&attributes_, &defaults);
        posix_spawnattr_setsigmask(&attributes_, &no_mask);
        posix_spawnattr_setpgroup(&attributes_, 0);
        posix_spawnattr_setflags(
            &attributes_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~SpawnSettings() {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attributes_);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;

    const posix_spawn_file_actions_t* actions() const { return &actions_; }
    const posix_spawnattr_t* attributes() const { return &attributes_; }

  private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 1000));
}

// Moves data between the child's pipes until both outputs close or the
// deadline passes; returns false on the deadline.
bool exchange(Pipe* input, const std::string& input_data, Pipe& out, Pipe& err, Completed& result,
              Clock::time_point deadline) {
    std::size_t written = 0;
    if (input != nullptr && input_data.empty()) input->close_write();
    char buffer[1 << 16];
    while (true) {
        pollfd fds[3];
        nfds_t count = 0;
        if (out.read_end() >= 0) fds[count++] = {out.read_end(), POLLIN, 0};
        if (err.read_end() >= 0) fds[count++] = {err.read_end(), POLLIN, 0};
        if (input != nullptr && input->write_end() >= 0)
            fds[count++] = {input->write_end(), POLLOUT, 0};
        if (out.read_end() < 0 && err.read_end() < 0) return true;
        const int wait = remaining_ms(deadline);
        if (wait == 0) return false;
        if (::poll(fds, count, wait) < 0 && errno != EINTR) return false;
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            if (input != nullptr && fds[i].fd == input->write_end()) {
                const ssize_t n =
                    ::write(fds[i].fd, input_data.data() + written, input_data.size() - written);
                if (n > 0) written += static_cast<std::size_t>(n);
                // A child that stops reading early is not an error.
                if (n < 0 && errno != EINTR && errno != EAGAIN) written = input_data.size();
                if (written == input_data.size()) input->close_write();
                continue;
            }
            Pipe& pipe = fds[i].fd == out.read_end() ? out : err;
            std::string& sink = fds[i].fd == out.read_end() ? result.out : result.err;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sink.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                pipe.close_read();
            }
        }
    }
}

// Waits for the child to end before the deadline; false when it did not.
bool reap(pid_t pid, Clock::time_point deadline, int& status) {
    while (true) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

Completed run(const std::vector<std::string>& argv, double timeout_seconds,
              const Options& options) {
    std::vector<char*> arguments;
    for (const std::string& argument : argv)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);

    std::optional<Pipe> input;
    if (options.input) input.emplace();
    Pipe out;
    Pipe err;
    SpawnSettings settings(options, input ? &*input : nullptr, out, err);
    pid_t pid = 0;
    const int started = ::posix_spawnp(&pid, arguments[0], settings.actions(),
                                       settings.attributes(), arguments.data(), environ);
    if (started == ENOENT) return {};
    if (started != 0) py::raise_os_error(started, argv[0]);
    if (input) input->close_read();
    out.close_write();
    err.close_write();

    Completed result;
    int status = 0;
    bool finished = false;
    {
        nanobind::gil_scoped_release release;
        const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(timeout_seconds));
        finished = exchange(input ? &*input : nullptr, options.input.value_or(""), out, err, result,
                            deadline) &&
                   reap(pid, deadline, status);
        if (!finished) {
            ::kill(-pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    if (!finished) return {};
    result.available = true;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return result;
}

std::optional<std::string> find_program(const std::string& name) {
    const char* search_path = std::getenv("PATH");
    if (search_path == nullptr) return std::nullopt;
    const std::string_view folders(search_path);
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        if (end == std::string_view::npos) end = folders.size();
        std::string candidate(folders.substr(start, end - start));
        candidate.append(candidate.empty() ? "" : "/").append(name);
        if (fs::is_regular_file(candidate) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

std::string argument(nanobind::handle text) {
    std::string encoded = py::fs_path(text);
    if (encoded.find('\0') != std::string::npos) throw nanobind::value_error("embedded null byte");
    return encoded;
}

nanobind::str text_output(const std::string& bytes) {
    nanobind::object text = py::decode_utf8(bytes, py::Undecodable::raise);
    if (bytes.find('\r') != std::string::npos) {
        text = text.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n");
    }
    return nanobind::borrow<nanobind::str>(text);
}

}  // namespace orvane::process
