// The run index's SQLite database and the walk over the run files, as plain
// C++ (no Python objects), so that callers run them with the GIL released.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "query.h"

namespace orvane::run_index {

// What tells one version of a file from the next: run files are replaced
// whole (a new inode), and anything else that touches them moves the change
// time, which no one can set back as they can the modification time.
struct Stamp {
    std::int64_t mtime_ns = 0;
    std::int64_t ctime_ns = 0;
    std::int64_t size = 0;
    std::int64_t inode = 0;
    bool operator==(const Stamp&) const = default;
};

// A run file, named relative to the products folder:
// <product>/simulation_runs/<solver>/<time>/result.usda.
struct RunFile {
    std::string layer;
    Stamp stamp;
};

// Every run file below `products_dir` (of one product when `product` is
// given), in no particular order.
std::vector<RunFile> find_run_files(const std::string& products_dir,
                                    const std::optional<std::string>& product = std::nullopt);
// The stamp of one file, or nothing when it is missing or not a regular file.
std::optional<Stamp> stamp_of(const std::string& path);
// Whether `relative` names a run file as find_run_files does.
bool is_run_layer(std::string_view relative);

// Which file a path names (device, inode), or nothing when it is missing.
using FileIdentity = std::pair<std::uint64_t, std::uint64_t>;
std::optional<FileIdentity> identity_of(const std::string& path);

// One run as the index holds it.
struct Run {
    std::string product;
    std::string run_id;
    std::optional<std::string> solver, domain, timestamp, status, fingerprint, image;
    std::vector<std::pair<std::string, double>> kpis;
    std::vector<std::pair<std::string, Value>> parameters;
};

// A run file's content: its runs (none for a file that cannot be read, so
// that it is not read again until it changes).
struct IndexedFile {
    RunFile file;
    std::vector<Run> runs;
};

// A search: the condition, the products to keep (all when empty), the order
// (by time when empty) and how many runs at most.
struct SearchRequest {
    Condition condition;
    std::vector<std::string> products;
    std::optional<Condition> order;
    bool descending = false;
    std::optional<std::int64_t> limit;
};

struct Found {
    Run run;
    std::string layer;
};

// A failed SQLite call, with its result code.
class StoreError : public std::runtime_error {
  public:
    StoreError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }
    // The file is not a database, or a damaged one.
    bool damaged() const;
    // Another connection held the database longer than the busy time-out.
    bool busy() const;

  private:
    int code_;
};

// What identifies one walk's findings: every file's layer and stamp, in any
// order. Equal signatures mean the same files with the same stamps.
std::string walk_signature(const std::vector<RunFile>& files);

// The files' stamps against the stored ones.
struct Changes {
    std::vector<RunFile> added;
    std::vector<RunFile> changed;
    std::vector<std::string> removed;
    // The stored files were last brought up to date from a walk with the same
    // signature, and nothing wrote to the index since: nothing to compare.
    bool current = false;
    // How many writes the index had seen when the stamps were read.
    std::int64_t generation = 0;
};

class Store {
  public:
    static constexpr int kSchemaVersion = 3;
    static constexpr int kBusyTimeoutMs = 10000;

    // Opens (creating when missing) the database at `path`; ":memory:" for
    // one of this process's own.
    explicit Store(const std::string& path);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Readies the database for use: creates the tables in a new one. Returns
    // why it cannot be used as it is (not a database, damaged, another
    // schema version), or nothing. The first time this process opens a
    // database file, SQLite's quick check runs over it too.
    std::optional<std::string> prepare();

    // `files`, found by a walk of this `signature`, against the stored stamps;
    // `reread` counts every stored file that is still there as changed.
    Changes changes(std::vector<RunFile> files, const std::string& signature, bool reread);
    // In one transaction: forgets `removed` files (those that exist again by
    // now stay) and stores `files` in place of what was stored for them.
    // Returns false when a removed file stayed.
    bool write(const std::vector<IndexedFile>& files, const std::vector<std::string>& removed,
               const std::string& products_dir);
    // Records that the stored files are those of a walk of `signature`,
    // unless another write came after the `generation` this one expects.
    void mark_current(const std::string& signature, std::int64_t generation);
    std::vector<Found> search(const SearchRequest& request);
    std::int64_t run_count();

  private:
    void exec(const char* sql);
    [[noreturn]] void fail(int code) const;
    // Fills in `changes` from the stored stamps; `files` are moved from.
    void compare_stamps(std::vector<RunFile>& files, bool reread, Changes& changes);
    // Fills in the KPIs and parameters of the found runs with these ids.
    void attach_values(const std::vector<std::int64_t>& ids, std::vector<Found>& found);

    sqlite3* db_ = nullptr;
    bool check_integrity_ = false;
};

// What SQLite appends to the database's name for its WAL, shared-memory and
// journal files (the first is the database itself), and the lock file's.
inline constexpr const char* kDatabaseFileSuffixes[] = {"", "-wal", "-shm", "-journal"};
inline constexpr const char* kLockSuffix = ".lock";

// Deletes the database file and its WAL, shared-memory and journal files.
void remove_database(const std::string& path);

}  // namespace orvane::run_index
