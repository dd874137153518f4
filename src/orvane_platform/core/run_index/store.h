// The run index's SQLite database and the walk over the run files, as plain
// C++ (no Python objects), so that callers run them with the GIL released.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "query.h"

namespace orvane::run_index {

// What tells one version of a file from the next: run files are replaced
// whole (a new inode), and anything else that touches them moves the time.
struct Stamp {
    std::int64_t mtime_ns = 0;
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

// The files' stamps against the stored ones.
struct Changes {
    std::vector<RunFile> added;
    std::vector<RunFile> changed;
    std::vector<std::string> removed;
};

class Store {
  public:
    static constexpr int kSchemaVersion = 1;
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

    // `files` against the stored stamps; `reread` counts every stored file
    // that is still there as changed.
    Changes changes(const std::vector<RunFile>& files, bool reread = false);
    // In one transaction: forgets `removed` files (those that exist again by
    // now stay) and stores `files` in place of what was stored for them.
    void write(const std::vector<IndexedFile>& files, const std::vector<std::string>& removed,
               const std::string& products_dir);
    std::vector<Found> search(const SearchRequest& request);
    std::int64_t run_count();

  private:
    void exec(const char* sql);
    [[noreturn]] void fail(int code) const;

    sqlite3* db_ = nullptr;
    bool check_integrity_ = false;
};

// Deletes the database file and its WAL, shared-memory and journal files.
void remove_database(const std::string& path);

}  // namespace orvane::run_index
