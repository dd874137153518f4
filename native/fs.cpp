#include "native/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>

#include "native/py.h"

namespace orvane::fs {

using py::raise_os_error;

namespace {

using Clock = std::chrono::steady_clock;

bool stat_path(const std::string& path, struct stat& info) {
    nb::gil_scoped_release release;
    return ::stat(path.c_str(), &info) == 0;
}

bool lstat_path(const std::string& path, struct stat& info) {
    nb::gil_scoped_release release;
    return ::lstat(path.c_str(), &info) == 0;
}

// Refuses to write at `path`, which is a symbolic link or not a `kind`.
[[noreturn]] void refuse_path(const std::string& path, const struct stat& info,
                              const char* kind = "folder") {
    if (S_ISLNK(info.st_mode)) {
        py::raise(py::exc::value_error(), "refusing to write through the symbolic link " + path);
    }
    py::raise(py::exc::value_error(), std::string("not a ") + kind + ": " + path);
}

// The operating system's own folders, below the root folder.
constexpr std::string_view kSystemFolders[] = {"bin",   "boot",  "dev",    "etc",  "lib",
                                               "lib32", "lib64", "libx32", "proc", "run",
                                               "sbin",  "sys",   "usr",    "var"};

// Why `real` (a resolved absolute path) is the root folder or a system one, if it is.
std::optional<std::string> system_folder(const std::string& real) {
    if (real == "/") return "it is the root folder";
    const std::string_view top = std::string_view(real).substr(1, real.find('/', 1) - 1);
    for (std::string_view system : kSystemFolders) {
        if (top == system) return "it is a system folder (/" + std::string(system) + ")";
    }
    return std::nullopt;
}

std::vector<std::string_view> split_path(std::string_view relative) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start < relative.size()) {
        std::size_t end = relative.find('/', start);
        if (end == std::string_view::npos) end = relative.size();
        if (end > start) parts.push_back(relative.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The file locks this thread holds, each with how many times it is taken:
// {(device, inode): count} in the thread's state dict, so that every module
// sees the same holds.
class HeldLocks {
  public:
    HeldLocks(unsigned long long device, unsigned long long inode)
        : key_(nb::make_tuple(device, inode)) {
        static py::Name name{"orvane_platform.held_locks"};
        nb::dict state = py::thread_state_dict();
        nb::object holds = py::dict_get(state, name.get());
        if (!holds.is_valid()) {
            holds = nb::dict();
            py::set_item(state, name.get(), holds);
        }
        holds_ = nb::borrow<nb::dict>(holds);
    }
    // Takes a held lock once more; false when this thread does not hold it.
    bool add_nested() {
        nb::object count = py::dict_get(holds_, key_);
        if (!count.is_valid()) return false;
        py::set_item(holds_, key_, nb::int_(nb::cast<long>(count) + 1));
        return true;
    }
    void add() { py::set_item(holds_, key_, nb::int_(1)); }
    // Gives up one hold; the last one removes the entry.
    void release() {
        nb::object count = py::dict_get(holds_, key_);
        if (!count.is_valid()) return;
        const long left = nb::cast<long>(count) - 1;
        if (left > 0) {
            py::set_item(holds_, key_, nb::int_(left));
        } else {
            py::discard_key(holds_, key_);
        }
    }

  private:
    nb::object key_;
    nb::dict holds_;
};

// One attempt at the exclusive lock; 0 or the errno.
int try_lock(int fd) {
#if defined(F_OFD_SETLK)
    struct flock request {};
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &request) == 0 ? 0 : errno;
#else
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
#endif
}

// Takes the lock, retrying with growing pauses until the deadline; false
// when it stays taken by another.
bool lock_within(int fd, double timeout_seconds) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeout_seconds));
    auto pause = std::chrono::milliseconds(1);
    while (true) {
        const int error = try_lock(fd);
        if (error == 0) return true;
        if (error != EAGAIN && error != EACCES && error != EINTR) return false;
        const auto now = Clock::now();
        if (now >= deadline) return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

}  // namespace

bool exists(const std::string& path) {
    struct stat info {};
    return stat_path(path, info);
}

bool exists_or_link(const std::string& path) {
    struct stat info {};
    return lstat_path(path, info);
}

bool is_regular_file(const std::string& path) {
    struct stat info {};
    return stat_path(path, info) && S_ISREG(info.st_mode);
}

bool is_directory(const std::string& path) {
    struct stat info {};
    return stat_path(path, info) && S_ISDIR(info.st_mode);
}

bool others_may_access(const std::string& path) {
    struct stat info {};
    return !stat_path(path, info) || (info.st_mode & S_IRWXO) != 0;
}

std::string real_path(const std::string& path) {
    std::error_code error;
    std::filesystem::path resolved;
    {
        nb::gil_scoped_release release;
        resolved = std::filesystem::weakly_canonical(path, error);
    }
    return error ? path : resolved.string();
}

nb::object stat_stamp(const std::string& path) {
    struct stat info {};
    if (!stat_path(path, info)) return nb::object();
    auto ns = [](const struct timespec& t) {
        return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
    };
    return nb::make_tuple(ns(info.st_mtim), ns(info.st_ctim), static_cast<long long>(info.st_size),
                          static_cast<unsigned long long>(info.st_ino),
                          static_cast<unsigned long long>(info.st_dev));
}

ChunkReader::~ChunkReader() {
    if (fd_ >= 0) ::close(fd_);
}

bool ChunkReader::open(const std::string& path) {
    nb::gil_scoped_release release;
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        error_ = errno;
        return false;
    }
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        error_ = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    return true;
}

long ChunkReader::read(std::string& buffer, std::size_t max_bytes) {
    std::size_t old_size = buffer.size();
    buffer.resize(old_size + max_bytes);
    ssize_t count;
    {
        nb::gil_scoped_release release;
        do {
            count = ::read(fd_, buffer.data() + old_size, max_bytes);
        } while (count < 0 && errno == EINTR);
        if (count < 0) error_ = errno;
    }
    buffer.resize(old_size + (count > 0 ? static_cast<std::size_t>(count) : 0));
    return static_cast<long>(count);
}

std::string read_small_file(const std::string& path, std::size_t at_most) {
    ChunkReader reader;
    if (!reader.open(path)) raise_os_error(reader.error(), path);
    std::string contents;
    long count = 0;
    while (contents.size() < at_most &&
           (count = reader.read(contents,
                                std::min<std::size_t>(1 << 14, at_most - contents.size()))) > 0) {
    }
    if (count < 0) raise_os_error(reader.error(), path);
    return contents;
}

namespace {

int write_all(int fd, std::string_view data) {
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0 && errno != EINTR) return errno;
        if (n > 0) written += static_cast<std::size_t>(n);
    }
    return 0;
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The writer of a temporary file "<name>.<pid>-<n>.tmp", or 0 when `file`
// is not named like one.
long long temporary_writer(std::string_view file) {
    constexpr std::string_view kSuffix = ".tmp";
    if (!file.ends_with(kSuffix)) return 0;
    const std::string_view stem = file.substr(0, file.size() - kSuffix.size());
    const std::size_t dot = stem.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return 0;
    const std::string_view tag = stem.substr(dot + 1);
    const std::size_t dash = tag.find('-');
    if (dash == std::string_view::npos || dash == 0 || dash + 1 == tag.size()) return 0;
    if (tag.find_first_not_of("0123456789-") != std::string_view::npos ||
        tag.find('-', dash + 1) != std::string_view::npos)
        return 0;
    long long pid = 0;
    std::from_chars(tag.data(), tag.data() + dash, pid);
    return pid;
}

// Removes the temporary files in `folder` whose writer has died: a crash
// between creating one and moving it into place leaves it behind, whichever
// file of the folder it was for.
void discard_stale_temporaries(const std::string& folder) {
    DIR* directory = ::opendir(folder.c_str());
    if (directory == nullptr) return;
    while (const dirent* entry = ::readdir(directory)) {
        const long long pid = temporary_writer(entry->d_name);
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            ::unlinkat(::dirfd(directory), entry->d_name, 0);
    }
    ::closedir(directory);
}

// Persists a rename: the folder's entry, not only the file's data.
void sync_folder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

std::atomic<unsigned long> temporary_counter{0};

}  // namespace

bool write_file_atomic(const std::string& path, std::string_view data, unsigned mode,
                       Existing existing) {
    const std::string folder = folder_of(path);
    const std::string name = name_of(path);
    const std::string temporary = folder + "/" + name + "." + std::to_string(::getpid()) + "-" +
                                  std::to_string(++temporary_counter) + ".tmp";
    int error = 0;
    // Errors name what the caller knows: the folder that cannot take a new
    // file, or the target; never the temporary's name.
    std::string failed = path;
    {
        nb::gil_scoped_release release;
        discard_stale_temporaries(folder);
        const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
        const int fd = ::open(temporary.c_str(), flags, static_cast<mode_t>(mode));
        if (fd < 0) {
            error = errno;
            failed = folder;
        } else {
            error = write_all(fd, data);
            if (error == 0 && ::fsync(fd) != 0) error = errno;
            if (::close(fd) != 0 && error == 0) error = errno;
            if (error == 0) {
                // link() never replaces an existing file; rename() does, atomically.
                const bool moved = existing == Existing::keep
                                       ? ::link(temporary.c_str(), path.c_str()) == 0
                                       : ::rename(temporary.c_str(), path.c_str()) == 0;
                if (!moved) error = errno;
            }
            if (error != 0 || existing == Existing::keep) ::unlink(temporary.c_str());
            if (error == 0) sync_folder(folder);
        }
    }
    if (error == EEXIST && failed == path) return false;
    if (error != 0) raise_os_error(error, failed);
    return true;
}

FileLock::FileLock(const std::string& path, double timeout_seconds, const std::string& what) {
    int error = 0;
    {
        nb::gil_scoped_release release;
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        struct stat info {};
        if (fd_ < 0 || ::fstat(fd_, &info) != 0) {
            error = errno;
        } else {
            device_ = info.st_dev;
            inode_ = info.st_ino;
        }
    }
    if (error != 0) {
        if (fd_ >= 0) ::close(fd_);
        raise_os_error(error, path);
    }
    HeldLocks holds(device_, inode_);
    if (holds.add_nested()) {
        ::close(fd_);
        fd_ = -1;  // this thread holds it already
        return;
    }
    bool locked = false;
    {
        nb::gil_scoped_release release;
        locked = lock_within(fd_, timeout_seconds);
    }
    if (!locked) {
        ::close(fd_);
        py::raise(py::exc::timeout_error(),
                  "another process is writing " + what + ": gave up waiting after " +
                      py::text(nb::float_(timeout_seconds)) + " s (lock file " + path + ")");
    }
    try {
        holds.add();
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

FileLock::~FileLock() {
    try {
        HeldLocks(device_, inode_).release();
    } catch (nb::python_error&) {
        // Only the bookkeeping is lost; the lock itself goes with the file.
    }
    if (fd_ >= 0) ::close(fd_);  // the outermost hold: closing releases the lock
}

void make_directories_within(const std::string& base, const std::string& relative) {
    std::string path = base;
    for (std::string_view part : split_path(relative)) {
        path.append("/").append(part);
        struct stat info {};
        int error = 0;
        {
            nb::gil_scoped_release release;
            if (::lstat(path.c_str(), &info) != 0) {
                if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) error = errno;
                if (error == 0 && ::lstat(path.c_str(), &info) != 0) error = errno;
            }
        }
        if (error != 0) raise_os_error(error, path);
        if (!S_ISDIR(info.st_mode)) refuse_path(path, info);
    }
}

void require_real_directory(const std::string& path) {
    struct stat info {};
    if (!lstat_path(path, info)) return;
    if (!S_ISDIR(info.st_mode)) refuse_path(path, info);
}

void require_real_file(const std::string& path) {
    struct stat info {};
    if (!lstat_path(path, info)) return;
    if (!S_ISREG(info.st_mode)) refuse_path(path, info, "regular file");
}

void require_own_folder(const std::string& path, const std::string& what) {
    std::error_code error;
    std::filesystem::path resolved;
    struct stat info {};
    bool found = false, writable = false;
    {
        nb::gil_scoped_release release;
        resolved = std::filesystem::canonical(path, error);
        if (!error) {
            found = ::stat(resolved.c_str(), &info) == 0;
            writable = ::access(resolved.c_str(), W_OK) == 0;
        }
    }
    const std::string real = error ? path : resolved.string();
    std::optional<std::string> why;
    if (!found || !S_ISDIR(info.st_mode)) {
        why = "it is not a folder";
    } else if (const auto system = system_folder(real)) {
        why = system;
    } else if (info.st_uid != ::geteuid()) {
        why = "it belongs to another user (uid " + std::to_string(info.st_uid) + ")";
    } else if (!writable) {
        why = "you may not write to it";
    } else if ((info.st_mode & S_IWOTH) != 0) {
        why = "other users may write to it";
    }
    if (why) py::raise(py::exc::value_error(), what + " cannot be kept in " + real + ": " + *why);
}

void require_regular_if_present(const std::string& path, const char* what) {
    struct stat info {};
    if (!stat_path(path, info) || S_ISREG(info.st_mode)) return;
    py::raise(py::exc::value_error(), std::string(what) + " is not a regular file: " + path);
}

std::vector<std::string> list_directory(const std::string& path) {
    std::vector<std::string> names;
    nb::gil_scoped_release release;
    DIR* directory = ::opendir(path.c_str());
    if (directory == nullptr) return names;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(directory);
    return names;
}

void make_directories(const std::string& path) {
    std::error_code error;
    {
        nb::gil_scoped_release release;
        std::filesystem::create_directories(path, error);
    }
    if (error) raise_os_error(error.value(), path);
}

void copy_file(const std::string& source, const std::string& destination) {
    std::error_code error;
    {
        nb::gil_scoped_release release;
        std::filesystem::copy_file(source, destination,
                                   std::filesystem::copy_options::overwrite_existing, error);
    }
    if (error) raise_os_error(error.value(), source);
}

void rename_path(const std::string& source, const std::string& destination) {
    int error = 0;
    {
        nb::gil_scoped_release release;
        if (::rename(source.c_str(), destination.c_str()) != 0) error = errno;
    }
    if (error != 0) raise_os_error(error, source);
}

bool exchange_paths(const std::string& first, const std::string& second) {
    int error = 0;
    {
        nb::gil_scoped_release release;
#if defined(RENAME_EXCHANGE)
        if (::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) != 0)
            error = errno;
#else
        error = ENOSYS;
#endif
    }
    if (error == EINVAL || error == ENOSYS || error == ENOTSUP) return false;
    if (error != 0) raise_os_error(error, second);
    return true;
}

void copy_tree(const std::string& source, const std::string& destination) {
    std::error_code error;
    {
        nb::gil_scoped_release release;
        std::filesystem::copy(source, destination, std::filesystem::copy_options::recursive, error);
    }
    if (error) raise_os_error(error.value(), destination);
}

void remove_tree(const std::string& path) {
    std::error_code error;
    {
        nb::gil_scoped_release release;
        std::filesystem::remove_all(path, error);
    }
    if (error) raise_os_error(error.value(), path);
}

void discard_tree(const std::string& path) noexcept {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

bool is_single_component(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || byte < 0x20 || byte == 0x7F) return false;
    }
    return true;
}

void require_single_component(nb::handle name, const char* argument) {
    if (!is_single_component(py::utf8(name))) {
        py::raise(py::exc::value_error(),
                  std::string(argument) + " must be a single folder name, not " + py::repr(name));
    }
}

}  // namespace orvane::fs
