#include "native/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <nanobind/nanobind.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string_view>

#include "native/fs.h"
#include "native/py.h"

extern char** environ;

namespace orvane::process {

namespace {

using Clock = std::chrono::steady_clock;

// How often a waiting run looks at the host's signals and reports progress.
constexpr auto kTickInterval = std::chrono::milliseconds(100);

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

// Every process a run starts carries this variable in its environment, with
// a value of its own: descendants inherit it even when they leave the
// child's process group or session, so a time-out can find them all.
constexpr std::string_view kTreeVariable = "ORVANE_PROCESS_TREE=";

std::string tree_marker() {
    static std::atomic<unsigned long> runs{0};
    return std::string(kTreeVariable) + std::to_string(::getpid()) + "-" + std::to_string(++runs) +
           "-" + std::to_string(Clock::now().time_since_epoch().count());
}

// The host's environment with the run's marker added.
class Environment {
  public:
    explicit Environment(const std::string& marker) : marker_(marker) {
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (!std::string_view(*entry).starts_with(kTreeVariable)) entries_.push_back(*entry);
        }
        entries_.push_back(marker_.data());
        entries_.push_back(nullptr);
    }
    char* const* get() { return entries_.data(); }

  private:
    std::string marker_;
    std::vector<char*> entries_;
};

// Whether the process `pid` carries `marker` in its environment.
bool carries_marker(const std::string& pid, const std::string& marker) {
    const int fd = ::open(("/proc/" + pid + "/environ").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string environment;
    char buffer[1 << 14];
    ssize_t n = 0;
    while (environment.size() < (1 << 20) && (n = ::read(fd, buffer, sizeof buffer)) > 0)
        environment.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    const std::string entry = '\0' + marker + '\0';
    return ('\0' + environment).find(entry) != std::string::npos;
}

// Kills the child's process group and every process that carries the run's
// marker, until none is left (each sweep may find children of the last).
void kill_tree(pid_t child, const std::string& marker) {
    ::kill(-child, SIGKILL);
    for (int sweep = 0; sweep < 5; ++sweep) {
        DIR* proc = ::opendir("/proc");
        if (proc == nullptr) return;
        bool found = false;
        while (const dirent* entry = ::readdir(proc)) {
            const std::string pid = entry->d_name;
            if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
            const pid_t number = static_cast<pid_t>(std::stol(pid));
            if (number == ::getpid() || !carries_marker(pid, marker)) continue;
            ::kill(number, SIGKILL);
            found = true;
        }
        ::closedir(proc);
        if (!found) return;
    }
}

void set_non_blocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// One running child: its pipes, what it printed, and how it ended.
class Session {
  public:
    Session(pid_t pid, std::string marker, Pipe* input, const std::string& input_data, Pipe& out,
            Pipe& err, const Options& options)
        : pid_(pid),
          marker_(std::move(marker)),
          input_(input),
          input_data_(input_data),
          out_(out),
          err_(err),
          options_(options) {
        if (input_ != nullptr) {
            if (input_data_.empty()) {
                input_->close_write();
            } else {
                set_non_blocking(input_->write_end());
            }
        }
    }

    // Runs the child to its end within `timeout_seconds`; fills `result`.
    // What a tick raises (Ctrl-C, say) stops the child and everything it
    // started, and reaches the caller.
    void wait(double timeout_seconds, Completed& result) {
        try {
            wait_ticking(timeout_seconds, result);
        } catch (...) {
            kill_tree(pid_, marker_);
            if (!exited_) {
                while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
                }
            }
            throw;
        }
    }

  private:
    void wait_ticking(double timeout_seconds, Completed& result) {
        const auto started = Clock::now();
        const auto deadline = started + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(timeout_seconds));
        std::optional<Clock::time_point> grace_ends;  // set once the child has exited
        auto next_tick = started + kTickInterval;
        std::size_t error_told = 0;  // how much of standard error the ticks have shown
        while (true) {
            const auto now_for_tick = Clock::now();
            if (now_for_tick >= next_tick || result.err.size() > error_told) {
                tick(std::chrono::duration<double>(now_for_tick - started).count(),
                     std::string_view(result.err).substr(error_told));
                error_told = result.err.size();
                next_tick = now_for_tick + kTickInterval;
            }
            if (!exited_ && reaped()) {
                grace_ends =
                    Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(options_.grace_seconds));
            }
            if (exited_ && out_.read_end() < 0 && err_.read_end() < 0) break;
            const auto now = Clock::now();
            if (!exited_ && now >= deadline) {
                result.ending = Ending::timed_out;
                break;
            }
            if (!exited_ && options_.cancel != nullptr &&
                options_.cancel->load(std::memory_order_relaxed)) {
                result.ending = Ending::cancelled;
                break;
            }
            if (exited_ && now >= *grace_ends) break;  // descendants hold the pipes
            const auto until = exited_ ? *grace_ends : deadline;
            if (!transfer(std::min<Clock::duration>(until - now, std::chrono::milliseconds(20)),
                          result))
                break;
        }
        if (result.ending != Ending::finished || out_.read_end() >= 0 || err_.read_end() >= 0)
            kill_tree(pid_, marker_);
        if (!exited_) {
            while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
            }
        }
        if (result.ending == Ending::finished) {
            result.exit_code = WIFEXITED(status_) ? WEXITSTATUS(status_) : -WTERMSIG(status_);
        }
    }

    // With the GIL taken for a moment: the host's pending signals (Ctrl-C)
    // are raised here, then the caller hears how the run is going.
    void tick(double elapsed, std::string_view new_error_output) {
        nanobind::gil_scoped_acquire acquire;
        py::check_signals();
        if (options_.on_tick) options_.on_tick(elapsed, new_error_output);
    }

    bool reaped() {
        const pid_t done = ::waitpid(pid_, &status_, WNOHANG);
        exited_ = done == pid_ || (done < 0 && errno != EINTR);
        return exited_;
    }

    // Moves data between the pipes for at most `wait`; false when an output
    // passed its cap.
    bool transfer(Clock::duration wait, Completed& result) {
        pollfd fds[3];
        nfds_t count = 0;
        if (out_.read_end() >= 0) fds[count++] = {out_.read_end(), POLLIN, 0};
        if (err_.read_end() >= 0) fds[count++] = {err_.read_end(), POLLIN, 0};
        if (input_ != nullptr && input_->write_end() >= 0)
            fds[count++] = {input_->write_end(), POLLOUT, 0};
        const int milliseconds = static_cast<int>(std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(wait).count()));
        if (::poll(fds, count, milliseconds) < 0) return true;  // EINTR: look again
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            if (input_ != nullptr && fds[i].fd == input_->write_end()) {
                feed();
                continue;
            }
            const bool is_out = fds[i].fd == out_.read_end();
            if (!drain(is_out ? out_ : err_, is_out ? result.out : result.err)) {
                result.ending = is_out ? Ending::too_much_output : Ending::too_much_error_output;
                return false;
            }
        }
        return true;
    }

    void feed() {
        const ssize_t n = ::write(input_->write_end(), input_data_.data() + written_,
                                  input_data_.size() - written_);
        if (n > 0) written_ += static_cast<std::size_t>(n);
        // A child that stops reading early is not an error.
        if (n < 0 && errno != EINTR && errno != EAGAIN) written_ = input_data_.size();
        if (written_ == input_data_.size()) input_->close_write();
    }

    // Reads what is there; false once `sink` holds more than the cap.
    bool drain(Pipe& pipe, std::string& sink) {
        char buffer[1 << 16];
        const ssize_t n = ::read(pipe.read_end(), buffer, sizeof buffer);
        if (n > 0) {
            sink.append(buffer, static_cast<std::size_t>(n));
            return sink.size() <= options_.max_output_bytes;
        }
        if (n == 0 || (errno != EINTR && errno != EAGAIN)) pipe.close_read();
        return true;
    }

    pid_t pid_;
    std::string marker_;
    Pipe* input_;
    const std::string& input_data_;
    std::size_t written_ = 0;
    Pipe& out_;
    Pipe& err_;
    const Options& options_;
    bool exited_ = false;
    int status_ = 0;
};

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
    const std::string marker = tree_marker();
    Environment environment(marker);
    pid_t pid = 0;
    const int started = ::posix_spawnp(&pid, arguments[0], settings.actions(),
                                       settings.attributes(), arguments.data(), environment.get());
    Completed result;
    if (started == ENOENT) {
        result.ending = Ending::missing;
        return result;
    }
    if (started != 0) py::raise_os_error(started, argv[0]);
    if (input) input->close_read();
    out.close_write();
    err.close_write();
    {
        nanobind::gil_scoped_release release;
        const std::string input_data = options.input.value_or("");
        Session(pid, marker, input ? &*input : nullptr, input_data, out, err, options)
            .wait(timeout_seconds, result);
    }
    if (result.ending != Ending::finished) {
        result.out.clear();
        result.err.clear();
    }
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
    if (encoded.find('\0') != std::string::npos)
        py::raise(py::exc::value_error(), "embedded null byte");
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
