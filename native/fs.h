// File-system helpers: stat stamps, chunked reads without the GIL, atomic
// writes, and checks on names that become folders.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::fs {

namespace nb = nanobind;

bool exists(const std::string& path);
bool is_regular_file(const std::string& path);
bool is_directory(const std::string& path);

// Identity of a file's current contents: changes when the file is rewritten.
// An invalid object when the path does not exist.
nb::object stat_stamp(const std::string& path);

// Reads a file front to back in fixed-size chunks, with the GIL released.
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

// The whole contents of a small file (a key, a /proc file); OSError naming
// the file when it cannot be read.
std::string read_small_file(const std::string& path);

// Writes `data` to `path` so that readers see either the old or the new file:
// a temporary file `path`.tmp beside it, created exclusively with `mode` from
// the start, flushed to disk and renamed over the target.
void write_file_atomic(const std::string& path, std::string_view data, unsigned mode = 0644);

// Names of the entries of a folder (without "." and ".."), unsorted; empty
// when it cannot be read.
std::vector<std::string> list_directory(const std::string& path);

void make_directories(const std::string& path);
void copy_file(const std::string& source, const std::string& destination);
void rename_path(const std::string& source, const std::string& destination);

// Copies a folder tree (files and folders only) to a new location.
void copy_tree(const std::string& source, const std::string& destination);
// Removes a file or folder tree if present.
void remove_tree(const std::string& path);
// remove_tree for clean-up paths that must not raise.
void discard_tree(const std::string& path) noexcept;

// Whether `name` can be used as one folder name below a parent: not empty,
// not "." or "..", no path separator, no NUL.
bool is_single_component(std::string_view name);
// Raises ValueError naming `argument` unless is_single_component(name).
void require_single_component(nb::handle name, const char* argument);

}  // namespace orvane::fs
