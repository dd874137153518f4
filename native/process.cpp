#include "native/process.h"

#include <dlfcn.h>
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
#include "native/process_tree.h"
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

// Spawn settings of the supervisor: it leads a process group of its own (so
// a time-out can stop everything the program started), gets default signal
// handling back, and tells on kReportFd why the program could not start.
class SpawnSettings {
  public:
    SpawnSettings(const Options& options, const Pipe* input, const Pipe& out, const Pipe& err,
                  const Pipe& report) {
        posix_spawn_file_actions_init(&actions_);
        posix_spawnattr_init(&attributes_);
        if (input != nullptr) {
            posix_spawn_file_actions_adddup2(&actions_, input->read_end(), STDIN_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        }
        posix_spawn_file_actions_adddup2(&actions_, out.write_end(), STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions_, err.write_end(), STDERR_FILENO);
        // Inherited even when it already is that descriptor: dup2 onto itself
        // clears close-on-exec in posix_spawn.
        posix_spawn_file_actions_adddup2(&actions_, report.write_end(), process_tree::kReportFd);
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

std::string tree_marker() {
    static std::atomic<unsigned long> runs{0};
    return std::string(process_tree::kVariable) + "=" + std::to_string(::getpid()) + "-" +
           std::to_string(++runs) + "-" + std::to_string(Clock::now().time_since_epoch().count());
}

// The host's environment with the caller's variables and the run's marker
// added, each replacing a variable of its name.
class Environment {
  public:
    Environment(const std::string& marker, const std::map<std::string, std::string>& added)
        : marker_(marker) {
        for (const auto& [name, value] : added) added_.push_back(name + "=" + value);
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string_view text(*entry);
            const std::string_view name = text.substr(0, text.find('='));
            if (name != process_tree::kVariable && !added.contains(std::string(name)))
                entries_.push_back(*entry);
        }
        for (std::string& entry : added_) entries_.push_back(entry.data());
        entries_.push_back(marker_.data());
        entries_.push_back(nullptr);
    }
    char* const* get() { return entries_.data(); }

  private:
    std::string marker_;
    std::vector<std::string> added_;
    std::vector<char*> entries_;
};

bool is_executable(const std::string& path) {
    return fs::is_regular_file(path) && ::access(path.c_str(), X_OK) == 0;
}

void set_non_blocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// One running child: its pipes, what it printed, and how it ended.
class Session {
  public:
    Session(pid_t pid, std::string marker, Pipe* input, const std::string& input_data, Pipe& out,
            Pipe& err, Pipe& report, const Options& options)
        : pid_(pid),
          marker_(std::move(marker)),
          input_(input),
          input_data_(input_data),
          out_(out),
          err_(err),
          report_(report),
          options_(options) {
        set_non_blocking(report_.read_end());
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
            process_tree::kill(pid_, marker_);
            if (!supervisor_reaped_) {
                while (::waitpid(pid_, &supervisor_status_, 0) < 0 && errno == EINTR) {
                }
            }
            throw;
        }
    }

  private:
    // The grace for the outputs begins once the program has exited (the
    // supervisor says so, or has ended itself); the supervisor's report pipe
    // stays open while any process of the tree is left.
    void wait_ticking(double timeout_seconds, Completed& result) {
        const auto started = Clock::now();
        const auto deadline = started + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(timeout_seconds));
        std::optional<Clock::time_point> grace_ends;  // set once the program has exited
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
            if (!grace_ends && (program_status_ || reaped())) {
                grace_ends =
                    Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(options_.grace_seconds));
            }
            if (grace_ends && !tree_left()) break;
            const auto now = Clock::now();
            if (!grace_ends && now >= deadline) {
                result.ending = Ending::timed_out;
                break;
            }
            if (!grace_ends && options_.cancel != nullptr &&
                options_.cancel->load(std::memory_order_relaxed)) {
                result.ending = Ending::cancelled;
                break;
            }
            if (grace_ends && now >= *grace_ends) break;  // descendants are left
            const auto until = grace_ends ? *grace_ends : deadline;
            if (!transfer(std::min<Clock::duration>(until - now, std::chrono::milliseconds(20)),
                          result))
                break;
        }
        if (result.ending != Ending::finished || tree_left()) process_tree::kill(pid_, marker_);
        if (!supervisor_reaped_) {
            while (::waitpid(pid_, &supervisor_status_, 0) < 0 && errno == EINTR) {
            }
        }
        if (result.ending == Ending::finished) {
            const int status = program_status_.value_or(supervisor_status_);
            result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        }
    }

    // Whether a process of the tree may still run: one holds an output, or
    // the supervisor still waits for one.
    bool tree_left() const {
        return out_.read_end() >= 0 || err_.read_end() >= 0 || report_.read_end() >= 0;
    }

    // With the GIL taken for a moment: the host's pending signals (Ctrl-C)
    // are raised here, then the caller hears how the run is going.
    void tick(double elapsed, std::string_view new_error_output) {
        nanobind::gil_scoped_acquire acquire;
        py::check_signals();
        if (options_.on_tick) options_.on_tick(elapsed, new_error_output);
    }

    bool reaped() {
        const pid_t done = ::waitpid(pid_, &supervisor_status_, WNOHANG);
        supervisor_reaped_ = done == pid_ || (done < 0 && errno != EINTR);
        return supervisor_reaped_;
    }

    // Moves data between the pipes for at most `wait`; false when an output
    // passed its cap.
    bool transfer(Clock::duration wait, Completed& result) {
        pollfd fds[4];
        nfds_t count = 0;
        if (out_.read_end() >= 0) fds[count++] = {out_.read_end(), POLLIN, 0};
        if (err_.read_end() >= 0) fds[count++] = {err_.read_end(), POLLIN, 0};
        if (report_.read_end() >= 0) fds[count++] = {report_.read_end(), POLLIN, 0};
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
            if (fds[i].fd == report_.read_end()) {
                read_report();
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

    // The program's wait status, once the supervisor tells it; the end of
    // the pipe once the supervisor is gone.
    void read_report() {
        const ssize_t n = ::read(report_.read_end(), reinterpret_cast<char*>(&reported_) + got_,
                                 sizeof reported_ - got_);
        if (n > 0) {
            got_ += static_cast<std::size_t>(n);
            if (got_ == sizeof reported_) program_status_ = reported_;
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            report_.close_read();
        }
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
    Pipe& report_;
    const Options& options_;
    int reported_ = 0;
    std::size_t got_ = 0;
    std::optional<int> program_status_;
    bool supervisor_reaped_ = false;
    int supervisor_status_ = 0;
};

// What the supervisor reports before the program runs: the errno of a
// program it could not start, or 0 once the program runs (also when the
// supervisor ended without a word: its status then tells).
int start_error(const Pipe& report) {
    int error = 0;
    std::size_t got = 0;
    while (got < sizeof error) {
        const ssize_t n =
            ::read(report.read_end(), reinterpret_cast<char*>(&error) + got, sizeof error - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    return got == sizeof error ? error : 0;
}

// The installed package's folder: the nearest orvane_platform/ above the
// module this code was loaded from; "" when unknown.
std::string package_folder() {
    Dl_info loaded{};
    if (::dladdr(reinterpret_cast<void*>(&package_folder), &loaded) == 0 ||
        loaded.dli_fname == nullptr)
        return {};
    std::string folder = loaded.dli_fname;
    for (std::size_t slash = folder.rfind('/'); slash != std::string::npos && slash > 0;
         slash = folder.rfind('/')) {
        folder.resize(slash);
        if (folder.ends_with("/orvane_platform")) return folder;
    }
    return {};
}

// Every child is started through the supervisor (native/supervise/), so that
// it dies with this process however this process ends.
const std::string& supervisor_program() {
    static const std::string path = package_folder() + "/" + std::string(process_tree::kSupervisor);
    if (!is_executable(path))
        py::raise(py::exc::os_error(),
                  "the package's supervisor of child processes is missing: " + path);
    return path;
}

}  // namespace

Completed run(const std::vector<std::string>& argv, double timeout_seconds,
              const Options& options) {
    const std::string& supervisor = supervisor_program();
    std::vector<std::string> supervised = {supervisor, std::to_string(::getpid())};
    supervised.insert(supervised.end(), argv.begin(), argv.end());
    std::vector<char*> arguments;
    for (const std::string& argument : supervised)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);

    std::optional<Pipe> input;
    if (options.input) input.emplace();
    Pipe out;
    Pipe err;
    Pipe report;
    SpawnSettings settings(options, input ? &*input : nullptr, out, err, report);
    const std::string marker = tree_marker();
    Environment environment(marker, options.environment);
    pid_t pid = 0;
    int error = ::posix_spawn(&pid, supervisor.c_str(), settings.actions(), settings.attributes(),
                              arguments.data(), environment.get());
    Completed result;
    if (error == 0) {
        if (input) input->close_read();
        out.close_write();
        err.close_write();
        report.close_write();
        nanobind::gil_scoped_release release;
        error = start_error(report);
        if (error != 0) {
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        } else {
            const std::string input_data = options.input.value_or("");
            Session(pid, marker, input ? &*input : nullptr, input_data, out, err, report, options)
                .wait(timeout_seconds, result);
        }
    }
    // A working folder that is not there reads as a missing program, as
    // posix_spawnp has it.
    if (error == ENOENT) {
        result.ending = Ending::missing;
        return result;
    }
    if (error != 0) py::raise_os_error(error, argv[0]);
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
        if (is_executable(candidate)) return candidate;
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
