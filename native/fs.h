// File-system helpers: stat stamps, chunked reads without the GIL, atomic
// writes, advisory locks, and checks on names and paths that are written.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::fs {

namespace nb = nanobind;

bool exists(const std::string& path);
// exists(), or a symbolic link (even one that leads nowhere).
bool exists_or_link(const std::string& path);
bool is_regular_file(const std::string& path);
bool is_directory(const std::string& path);
// Whether users other than the owner may read, write or run the file.
bool others_may_access(const std::string& path);
// The path with every symbolic link resolved; the path itself when it
// cannot be resolved.
std::string real_path(const std::string& path);

// Identity of a file's current contents: changes when the file is rewritten.
// An invalid object when the path does not exist.
nb::object stat_stamp(const std::string& path);

// Reads a regular file front to back in fixed-size chunks, with the GIL
// released. Anything else (a FIFO, a device) is refused at open with EINVAL,
// never waited on.
class ChunkReader {
  public:
    ChunkReader() = default;
    ChunkReader(const ChunkReader&) = delete;
    ChunkReader& operator=(const ChunkReader&) = delete;
    ~ChunkReader();

    // False when the file cannot be opened (see error()).
    bool open(const std::string& path);
    // Appends up to `max_bytes` to `buffer`; returns the count, 0 at the end,
    // or -1 on a read error (see error()).
    long read(std::string& buffer, std::size_t max_bytes);
    // The errno of the last failed open or read.
    int error() const { return error_; }

  private:
    int fd_ = -1;
    int error_ = 0;
};

// The whole contents of a small file (a key, a /proc file), or its first
// `at_most` bytes; OSError naming the file when it cannot be read.
std::string read_small_file(const std::string& path, std::size_t at_most = SIZE_MAX);

// What an atomic write does to a file already at the target path.
enum class Existing : bool { keep, replace };

// Writes `data` to `path` so that readers see either the old or the new file,
// never a part: a temporary file beside it ("<name>.<pid>-<n>.tmp", this
// process's own), created exclusively with `mode` from the start, flushed to
// disk and moved into place. With Existing::keep a file already there stays
// and the call returns false. Temporary files that processes which died before
// moving theirs into place left in the folder are removed, whatever their target.
bool write_file_atomic(const std::string& path, std::string_view data, unsigned mode = 0644,
                       Existing existing = Existing::replace);

// An exclusive advisory lock on a lock file (created when missing), held for
// the object's lifetime and released by the kernel if the process dies. The
// lock belongs to the open file, so threads of one process exclude each other
// too; a thread that already holds it takes it again at once (a write nested
// in another). Waits at most `timeout_seconds`, with the GIL released, then
// raises TimeoutError naming `what`.
class FileLock {
  public:
    FileLock(const std::string& path, double timeout_seconds, const std::string& what);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Whether this is the thread's first hold of the lock, not one nested in it.
    bool outermost() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
    unsigned long long device_ = 0;
    unsigned long long inode_ = 0;
};

// Creates `base`/`relative` folder by folder (`base` must exist), refusing
// with ValueError any part that is a symbolic link or not a folder: nothing
// below `base` may lead out of it.
void make_directories_within(const std::string& base, const std::string& relative);
// Raises ValueError unless `path` is absent or a folder that is not a
// symbolic link.
void require_real_directory(const std::string& path);
// Raises ValueError unless `path` is absent or a regular file that is not a
// symbolic link: a link is refused even when it leads nowhere, so that
// nothing is created where it leads.
void require_real_file(const std::string& path);
// Raises ValueError "<what> cannot be kept in <path>: <why>" unless `path` is
// a folder of the user's own to create files in: owned by this process's
// user, who may write to it, closed to writes by other users, and neither
// the root folder nor a system folder (/etc, /usr, ... and below them).
void require_own_folder(const std::string& path, const std::string& what);
// Raises ValueError naming `path` when it exists and is not a regular file (a
// FIFO, a device, a socket, a folder): such a path is never opened.
void require_regular_if_present(const std::string& path, const char* what);

// Names of the entries of a folder (without "." and ".."), unsorted; empty
// when it cannot be read.
std::vector<std::string> list_directory(const std::string& path);

void make_directories(const std::string& path);
void copy_file(const std::string& source, const std::string& destination);
void rename_path(const std::string& source, const std::string& destination);
// Swaps two existing paths in one step (each takes the other's place); false
// when the file system cannot, so the caller may fall back.
bool exchange_paths(const std::string& first, const std::string& second);

// Copies a folder tree (files and folders only) to a new location.
void copy_tree(const std::string& source, const std::string& destination);
// Removes a file or folder tree if present.
void remove_tree(const std::string& path);
// remove_tree for clean-up paths that must not raise.
void discard_tree(const std::string& path) noexcept;

// Whether `name` can be used as one folder name below a parent: not empty,
// not "." or "..", no path separator, no control character.
bool is_single_component(std::string_view name);
// Raises ValueError naming `argument` unless is_single_component(name).
void require_single_component(nb::handle name, const char* argument);

}  // namespace orvane::fs
