#include "native/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "native/py.h"

namespace orvane::fs {

using py::raise_os_error;

namespace {
bool stat_path(const std::string& path, struct stat& info) {
    nb::gil_scoped_release release;
    return ::stat(path.c_str(), &info) == 0;
}
}  // namespace

bool exists(const std::string& path) {
    struct stat info{};
    return stat_path(path, info);
}

bool is_regular_file(const std::string& path) {
    struct stat info{};
    return stat_path(path, info) && S_ISREG(info.st_mode);
}

bool is_directory(const std::string& path) {
    struct stat info{};
    return stat_path(path, info) && S_ISDIR(info.st_mode);
}

nb::object stat_stamp(const std::string& path) {
    struct stat info{};
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
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) error_ = errno;
    return fd_ >= 0;
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

std::string read_small_file(const std::string& path) {
    ChunkReader reader;
    if (!reader.open(path)) raise_os_error(reader.error(), path);
    std::string contents;
    long count = 0;
    while ((count = reader.read(contents, 1 << 14)) > 0) {
    }
    if (count < 0) raise_os_error(reader.error(), path);
    return contents;
}

namespace {

// Opens `temporary` for writing, new and with `mode` from the first moment:
// never a file that someone else created, or one readable by others for a
// while. A stale one left by a crash is removed first.
int create_exclusive(const std::string& temporary, unsigned mode) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    int fd = ::open(temporary.c_str(), flags, static_cast<mode_t>(mode));
    if (fd < 0 && errno == EEXIST && ::unlink(temporary.c_str()) == 0) {
        fd = ::open(temporary.c_str(), flags, static_cast<mode_t>(mode));
    }
    return fd;
}

int write_all(int fd, std::string_view data) {
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0 && errno != EINTR) return errno;
        if (n > 0) written += static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace

void write_file_atomic(const std::string& path, std::string_view data, unsigned mode) {
    const std::string temporary = path + ".tmp";
    int error = 0;
    std::string failed = temporary;
    {
        nb::gil_scoped_release release;
        const int fd = create_exclusive(temporary, mode);
        if (fd < 0) {
            error = errno;
        } else {
            error = write_all(fd, data);
            if (error == 0 && ::fsync(fd) != 0) error = errno;
            if (::close(fd) != 0 && error == 0) error = errno;
            if (error != 0) {
                ::unlink(temporary.c_str());  // incomplete: never leave it
            } else if (::rename(temporary.c_str(), path.c_str()) != 0) {
                // The complete file stays beside the target, as private as
                // `mode` made it; the next write replaces it.
                error = errno;
                failed = path;
            }
        }
    }
    if (error != 0) raise_os_error(error, failed);
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
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

void require_single_component(nb::handle name, const char* argument) {
    if (!is_single_component(py::utf8(name))) {
        py::raise(py::exc::value_error(), "%s must be a single folder name, not %R", argument,
                  name.ptr());
    }
}

}  // namespace orvane::fs
