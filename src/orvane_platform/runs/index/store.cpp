#include "store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "native/text.h"

namespace orvane::run_index {

namespace {

constexpr const char* kRunFile = "result.usda";
constexpr std::size_t kMaxWalkers = 8;  // threads that stat run files

// Folders hold runs by product, solver and time; nothing else is looked at.
constexpr const char* kSchema = R"sql(
CREATE TABLE run_files (
    id INTEGER PRIMARY KEY,
    layer TEXT NOT NULL UNIQUE,
    mtime_ns INTEGER NOT NULL,
    ctime_ns INTEGER NOT NULL,
    size INTEGER NOT NULL,
    inode INTEGER NOT NULL
);
CREATE TABLE runs (
    id INTEGER PRIMARY KEY,
    file INTEGER NOT NULL REFERENCES run_files(id) ON DELETE CASCADE,
    product TEXT NOT NULL,
    run_id TEXT NOT NULL,
    solver TEXT,
    domain TEXT,
    timestamp TEXT,
    status TEXT,
    fingerprint TEXT,
    image TEXT
);
CREATE INDEX runs_file ON runs(file);
CREATE INDEX runs_product ON runs(product);
CREATE INDEX runs_run_id ON runs(run_id);
CREATE INDEX runs_solver ON runs(solver);
CREATE INDEX runs_timestamp ON runs(timestamp);
CREATE INDEX runs_fingerprint ON runs(fingerprint);
CREATE TABLE run_kpis (
    run INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
    name TEXT NOT NULL,
    value REAL NOT NULL,
    PRIMARY KEY (run, name)
) WITHOUT ROWID;
CREATE INDEX run_kpis_name_value ON run_kpis(name, value);
-- No declared type: numbers stay REAL and texts TEXT in one column.
CREATE TABLE run_params (
    run INTEGER NOT NULL REFERENCES runs(id) ON DELETE CASCADE,
    name TEXT NOT NULL,
    value,
    PRIMARY KEY (run, name)
) WITHOUT ROWID;
CREATE INDEX run_params_name_value ON run_params(name, value);
-- The signature of the walk the stored files match, and a count of writes:
-- a search skips comparing stamps while the walk's signature is unchanged.
CREATE TABLE walk (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    signature TEXT,
    generation INTEGER NOT NULL
);
INSERT INTO walk (id, signature, generation) VALUES (1, NULL, 0);
)sql";

// A folder opened relative to another, closed with its listing.
class Folder {
  public:
    Folder(int parent, const char* name) {
        const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return;
        dir_ = ::fdopendir(fd);
        if (dir_ == nullptr) ::close(fd);
    }
    ~Folder() {
        if (dir_ != nullptr) ::closedir(dir_);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    bool is_open() const { return dir_ != nullptr; }
    int fd() const { return ::dirfd(dir_); }

    // The names of the entries that may be folders (links and unknown kinds
    // included: opening them tells).
    std::vector<std::string> subfolders() {
        std::vector<std::string> names;
        while (const dirent* entry = ::readdir(dir_)) {
            const std::string_view name(entry->d_name);
            if (name == "." || name == "..") continue;
            if (entry->d_type != DT_DIR && entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN)
                continue;
            names.emplace_back(name);
        }
        return names;
    }

  private:
    DIR* dir_ = nullptr;
};

std::int64_t nanoseconds(const struct timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000LL + time.tv_nsec;
}

Stamp stamp_from(const struct stat& info) {
    return {nanoseconds(info.st_mtim), nanoseconds(info.st_ctim),
            static_cast<std::int64_t>(info.st_size), static_cast<std::int64_t>(info.st_ino)};
}

// Databases this process has checked already, by device and inode: SQLite's
// quick check reads the whole file, so it runs once per process and file.
std::mutex checked_mutex;
std::set<std::pair<dev_t, ino_t>> checked_files;

bool first_open_in_process(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return false;
    const std::lock_guard<std::mutex> hold(checked_mutex);
    return checked_files.emplace(info.st_dev, info.st_ino).second;
}

// A prepared statement, finalized when it goes.
class Statement {
  public:
    Statement(sqlite3* db, const std::string& sql) : db_(db) {
        const int code =
            sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &statement_, nullptr);
        if (code != SQLITE_OK) fail(code);
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bind(int index, const Value& value) {
        if (const double* number = std::get_if<double>(&value)) {
            check(sqlite3_bind_double(statement_, index, *number));
        } else {
            bind(index, std::get<std::string>(value));
        }
    }
    void bind(int index, const std::string& text) {
        check(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                                SQLITE_TRANSIENT));
    }
    void bind(int index, const std::optional<std::string>& text) {
        if (text) {
            bind(index, *text);
        } else {
            check(sqlite3_bind_null(statement_, index));
        }
    }
    void bind(int index, std::int64_t number) {
        check(sqlite3_bind_int64(statement_, index, number));
    }

    // True while there is a row to read.
    bool step() {
        const int code = sqlite3_step(statement_);
        if (code == SQLITE_ROW) return true;
        if (code == SQLITE_DONE) return false;
        fail(code);
    }
    // Runs a statement that returns no rows, then readies it for new values.
    void run() {
        step();
        reset();
    }
    void reset() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }

    std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
    double number(int column) const { return sqlite3_column_double(statement_, column); }
    bool is_text(int column) const {
        return sqlite3_column_type(statement_, column) == SQLITE_TEXT;
    }
    bool is_null(int column) const {
        return sqlite3_column_type(statement_, column) == SQLITE_NULL;
    }
    // Valid until the next step or reset.
    std::string_view text_view(int column) const {
        const auto* data = sqlite3_column_text(statement_, column);
        const int size = sqlite3_column_bytes(statement_, column);
        return data == nullptr ? std::string_view()
                               : std::string_view(reinterpret_cast<const char*>(data),
                                                  static_cast<std::size_t>(size));
    }
    std::string text(int column) const { return std::string(text_view(column)); }
    std::optional<std::string> optional_text(int column) const {
        if (is_null(column)) return std::nullopt;
        return text(column);
    }

  private:
    void check(int code) const {
        if (code != SQLITE_OK) fail(code);
    }
    [[noreturn]] void fail(int code) const { throw StoreError(code, sqlite3_errmsg(db_)); }

    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

std::int64_t single_integer(sqlite3* db, const char* sql) {
    Statement statement(db, sql);
    return statement.step() ? statement.integer(0) : 0;
}

}  // namespace

bool StoreError::damaged() const {
    const int primary = code_ & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

bool StoreError::busy() const {
    const int primary = code_ & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

namespace {

// The run files of one product folder, appended to `files`.
void find_product_run_files(const Folder& products, const std::string& product,
                            std::vector<RunFile>& files) {
    Folder product_dir(products.fd(), product.c_str());
    if (!product_dir.is_open()) return;
    Folder runs(product_dir.fd(), "simulation_runs");
    if (!runs.is_open()) return;
    for (const std::string& solver : runs.subfolders()) {
        Folder solver_dir(runs.fd(), solver.c_str());
        if (!solver_dir.is_open()) continue;
        for (const std::string& time : solver_dir.subfolders()) {
            const std::string relative = time + "/" + kRunFile;
            struct stat info {};
            if (::fstatat(solver_dir.fd(), relative.c_str(), &info, 0) != 0) continue;
            if (!S_ISREG(info.st_mode)) continue;
            files.push_back(
                {product + "/simulation_runs/" + solver + "/" + relative, stamp_from(info)});
        }
    }
}

}  // namespace

std::vector<RunFile> find_run_files(const std::string& products_dir,
                                    const std::optional<std::string>& only) {
    std::vector<RunFile> files;
    Folder products(AT_FDCWD, products_dir.c_str());
    if (!products.is_open()) return files;
    const std::vector<std::string> product_names =
        only ? std::vector<std::string>{*only} : products.subfolders();
    // The walk is one stat per run file, time spent in the kernel's path
    // lookups: products are shared out among threads, one per core.
    const std::size_t workers = std::min<std::size_t>(
        {product_names.size(), std::max(1U, std::thread::hardware_concurrency()), kMaxWalkers});
    std::vector<std::vector<RunFile>> found(workers);
    std::atomic<std::size_t> next{0};
    auto walk = [&](std::vector<RunFile>& into) {
        for (std::size_t i = next++; i < product_names.size(); i = next++)
            find_product_run_files(products, product_names[i], into);
    };
    {
        std::vector<std::jthread> helpers;
        for (std::size_t w = 1; w < workers; ++w) helpers.emplace_back(walk, std::ref(found[w]));
        if (workers > 0) walk(found[0]);
    }
    for (std::vector<RunFile>& part : found) {
        files.insert(files.end(), std::make_move_iterator(part.begin()),
                     std::make_move_iterator(part.end()));
    }
    return files;
}

std::optional<Stamp> stamp_of(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return stamp_from(info);
}

bool is_run_layer(std::string_view relative) {
    // <product>/simulation_runs/<solver>/<time>/result.usda
    const std::vector<std::string_view> parts = text::split(relative, '/');
    if (parts.size() != 5 || parts[1] != "simulation_runs" || parts[4] != kRunFile) return false;
    for (std::string_view part : parts) {
        if (part.empty() || part == "." || part == "..") return false;
    }
    return true;
}

std::optional<FileIdentity> identity_of(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileIdentity{info.st_dev, info.st_ino};
}

Store::Store(const std::string& path) {
    const int code = sqlite3_open_v2(
        path.c_str(), &db_,
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
        nullptr);
    if (code != SQLITE_OK) {
        const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError(code, message + ": " + path);
    }
    sqlite3_extended_result_codes(db_, 1);
    // Several processes record and search at once: each waits its turn.
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    if (path != ":memory:" && first_open_in_process(path)) check_integrity_ = true;
}

Store::~Store() { sqlite3_close_v2(db_); }

void Store::fail(int code) const { throw StoreError(code, sqlite3_errmsg(db_)); }

void Store::exec(const char* sql) {
    const int code = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) fail(code);
}

std::optional<std::string> Store::prepare() {
    std::int64_t version = 0;
    try {
        version = single_integer(db_, "PRAGMA user_version");
        if (check_integrity_) {
            Statement check(db_, "PRAGMA quick_check");
            const std::string verdict = check.step() ? check.text(0) : "";
            if (verdict != "ok") return "fails SQLite's integrity check (" + verdict + ")";
        }
    } catch (const StoreError& error) {
        if (error.damaged()) return std::string(error.what());
        throw;
    }
    if (version == 0 && single_integer(db_, "SELECT count(*) FROM sqlite_master") == 0) {
        // WAL: readers and one writer at a time never block each other.
        exec("PRAGMA journal_mode=WAL");
        exec("BEGIN IMMEDIATE");
        try {
            // Another process may have made the tables since the first look.
            if (single_integer(db_, "PRAGMA user_version") == 0) {
                exec(kSchema);
                exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
            }
            exec("COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        version = single_integer(db_, "PRAGMA user_version");
    }
    if (version != kSchemaVersion) {
        return "has schema version " + std::to_string(version) + ", not " +
               std::to_string(kSchemaVersion);
    }
    // The index can be rebuilt from the files, so nothing waits for the disk:
    // a process that dies mid-write leaves it whole (SQLite's own guarantee
    // without syncs); a power cut may damage it, which the first open of the
    // next process finds and repairs by rebuilding. Syncing cost each recorded
    // run about 20 ms of fsync.
    // No memory-mapped reads: mapped pages count against the process for as
    // long as it runs, so its memory would grow with the index.
    exec("PRAGMA foreign_keys=ON; PRAGMA synchronous=OFF; PRAGMA mmap_size=0");
    return std::nullopt;
}

namespace {

std::uint64_t mix(std::uint64_t value) {  // splitmix64's finaliser
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ULL;
    value = (value ^ (value >> 27)) * 0x94d049bb133111ebULL;
    return value ^ (value >> 31);
}

// A 64-bit hash of one file's layer and stamp; `seed` picks one of a family.
std::uint64_t file_hash(const RunFile& file, std::uint64_t seed) {
    std::uint64_t hash = 0xcbf29ce484222325ULL ^ seed;  // FNV-1a over the layer
    for (const char c : file.layer)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    for (const std::int64_t field :
         {file.stamp.mtime_ns, file.stamp.ctime_ns, file.stamp.size, file.stamp.inode})
        hash = mix(hash ^ static_cast<std::uint64_t>(field));
    return mix(hash);
}

}  // namespace

std::string walk_signature(const std::vector<RunFile>& files) {
    // Sums of two independent hashes: the order of the walk does not matter.
    std::uint64_t first = 0, second = 0;
    for (const RunFile& file : files) {
        first += file_hash(file, 0);
        second += file_hash(file, 0x9e3779b97f4a7c15ULL);
    }
    char text[64];
    std::snprintf(text, sizeof text, "%zu:%016llx%016llx", files.size(),
                  static_cast<unsigned long long>(first), static_cast<unsigned long long>(second));
    return text;
}

Changes Store::changes(std::vector<RunFile> files, const std::string& signature, bool reread) {
    Changes changes;
    // One read snapshot: the walk's row and the stamps agree.
    exec("BEGIN");
    try {
        Statement walk(db_, "SELECT signature, generation FROM walk");
        if (walk.step()) {
            changes.generation = walk.integer(1);
            changes.current = !reread && walk.text_view(0) == signature;
        }
        if (!changes.current) compare_stamps(files, reread, changes);
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    return changes;
}

void Store::compare_stamps(std::vector<RunFile>& files, bool reread, Changes& changes) {
    // The stored stamps in table order (no index to walk), each looked up
    // among the files found.
    std::unordered_map<std::string_view, std::size_t> found_at;
    found_at.reserve(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) found_at.emplace(files[i].layer, i);
    enum class Stored : unsigned char { no, same, changed };
    std::vector<Stored> stored(files.size(), Stored::no);
    Statement stamps(db_, "SELECT layer, mtime_ns, ctime_ns, size, inode FROM run_files");
    while (stamps.step()) {
        const auto found = found_at.find(stamps.text_view(0));
        if (found == found_at.end()) {
            changes.removed.emplace_back(stamps.text_view(0));
            continue;
        }
        const RunFile& file = files[found->second];
        const Stamp stamp{stamps.integer(1), stamps.integer(2), stamps.integer(3),
                          stamps.integer(4)};
        stored[found->second] = reread || !(stamp == file.stamp) ? Stored::changed : Stored::same;
    }
    // Moved only now: the lookup's keys are views of the files' names.
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (stored[i] == Stored::no) changes.added.push_back(std::move(files[i]));
        if (stored[i] == Stored::changed) changes.changed.push_back(std::move(files[i]));
    }
    // In the order of their layer names, whatever order the walk found them in.
    const auto by_layer = [](const RunFile& a, const RunFile& b) { return a.layer < b.layer; };
    std::sort(changes.added.begin(), changes.added.end(), by_layer);
    std::sort(changes.changed.begin(), changes.changed.end(), by_layer);
    std::sort(changes.removed.begin(), changes.removed.end());
}

void Store::mark_current(const std::string& signature, std::int64_t generation) {
    Statement mark(db_, "UPDATE walk SET signature = ? WHERE id = 1 AND generation = ?");
    mark.bind(1, signature);
    mark.bind(2, generation);
    mark.run();
}

bool Store::write(const std::vector<IndexedFile>& files, const std::vector<std::string>& removed,
                  const std::string& products_dir) {
    bool all_removed = true;
    exec("BEGIN IMMEDIATE");
    try {
        // Whatever this writes, the stored files no longer match a walk.
        exec("UPDATE walk SET signature = NULL, generation = generation + 1 WHERE id = 1");
        Statement forget(db_, "DELETE FROM run_files WHERE layer = ?");
        for (const std::string& layer : removed) {
            // A file that another process wrote since the walk stays.
            if (stamp_of(products_dir + "/" + layer)) {
                all_removed = false;
                continue;
            }
            forget.bind(1, layer);
            forget.run();
        }
        Statement add_file(db_,
                           "INSERT INTO run_files (layer, mtime_ns, ctime_ns, size, inode) "
                           "VALUES (?, ?, ?, ?, ?)");
        Statement add_run(db_,
                          "INSERT INTO runs (file, product, run_id, solver, domain, timestamp, "
                          "status, fingerprint, image) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
        Statement add_kpi(db_,
                          "INSERT OR REPLACE INTO run_kpis (run, name, value) VALUES (?, ?, ?)");
        Statement add_parameter(
            db_, "INSERT OR REPLACE INTO run_params (run, name, value) VALUES (?, ?, ?)");
        for (const IndexedFile& indexed : files) {
            forget.bind(1, indexed.file.layer);
            forget.run();
            add_file.bind(1, indexed.file.layer);
            add_file.bind(2, indexed.file.stamp.mtime_ns);
            add_file.bind(3, indexed.file.stamp.ctime_ns);
            add_file.bind(4, indexed.file.stamp.size);
            add_file.bind(5, indexed.file.stamp.inode);
            add_file.run();
            const std::int64_t file_id = sqlite3_last_insert_rowid(db_);
            for (const Run& run : indexed.runs) {
                add_run.bind(1, file_id);
                add_run.bind(2, run.product);
                add_run.bind(3, run.run_id);
                add_run.bind(4, run.solver);
                add_run.bind(5, run.domain);
                add_run.bind(6, run.timestamp);
                add_run.bind(7, run.status);
                add_run.bind(8, run.fingerprint);
                add_run.bind(9, run.image);
                add_run.run();
                const std::int64_t run_id = sqlite3_last_insert_rowid(db_);
                for (const auto& [name, value] : run.kpis) {
                    add_kpi.bind(1, run_id);
                    add_kpi.bind(2, name);
                    add_kpi.bind(3, Value(value));
                    add_kpi.run();
                }
                for (const auto& [name, value] : run.parameters) {
                    add_parameter.bind(1, run_id);
                    add_parameter.bind(2, name);
                    add_parameter.bind(3, value);
                    add_parameter.run();
                }
            }
        }
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    return all_removed;
}

std::vector<Found> Store::search(const SearchRequest& request) {
    std::string sql =
        "SELECT r.id, r.product, r.run_id, r.solver, r.domain, r.timestamp, r.status, "
        "r.fingerprint, r.image, f.layer FROM runs r JOIN run_files f ON f.id = r.file WHERE (" +
        request.condition.sql + ")";
    if (!request.products.empty()) {
        sql += " AND r.product IN (?";
        for (std::size_t i = 1; i < request.products.size(); ++i) sql += ", ?";
        sql += ")";
    }
    const char* direction = request.descending ? " DESC" : "";
    // Runs without the value come last either way.
    const std::string key = request.order ? request.order->sql : "r.timestamp";
    sql += " ORDER BY " + key + " IS NULL, " + key + direction + ", r.product" + direction +
           ", r.run_id" + direction;
    if (request.limit) sql += " LIMIT ?";

    Statement select(db_, sql);
    int index = 0;
    for (const Value& value : request.condition.values) select.bind(++index, value);
    for (const std::string& product : request.products) select.bind(++index, product);
    if (request.order) {
        for (int twice = 0; twice < 2; ++twice) {
            for (const Value& value : request.order->values) select.bind(++index, value);
        }
    }
    if (request.limit) select.bind(++index, *request.limit);

    std::vector<Found> found;
    std::vector<std::int64_t> ids;
    while (select.step()) {
        ids.push_back(select.integer(0));
        Found entry;
        entry.run.product = select.text(1);
        entry.run.run_id = select.text(2);
        entry.run.solver = select.optional_text(3);
        entry.run.domain = select.optional_text(4);
        entry.run.timestamp = select.optional_text(5);
        entry.run.status = select.optional_text(6);
        entry.run.fingerprint = select.optional_text(7);
        entry.run.image = select.optional_text(8);
        entry.layer = select.text(9);
        found.push_back(std::move(entry));
    }
    attach_values(ids, found);
    return found;
}

void Store::attach_values(const std::vector<std::int64_t>& ids, std::vector<Found>& found) {
    if (ids.empty()) return;
    // One statement per table for all the runs, their ids passed as one
    // JSON array, rather than two statements per run.
    std::string id_list = "[";
    std::unordered_map<std::int64_t, std::size_t> position;
    position.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i > 0) id_list += ',';
        id_list += std::to_string(ids[i]);
        position.emplace(ids[i], i);
    }
    id_list += ']';
    Statement kpis(db_,
                   "SELECT run, name, value FROM run_kpis "
                   "WHERE run IN (SELECT value FROM json_each(?)) ORDER BY run, name");
    kpis.bind(1, id_list);
    while (kpis.step()) {
        found[position.at(kpis.integer(0))].run.kpis.emplace_back(kpis.text(1), kpis.number(2));
    }
    Statement parameters(db_,
                         "SELECT run, name, value FROM run_params "
                         "WHERE run IN (SELECT value FROM json_each(?)) ORDER BY run, name");
    parameters.bind(1, id_list);
    while (parameters.step()) {
        found[position.at(parameters.integer(0))].run.parameters.emplace_back(
            parameters.text(1),
            parameters.is_text(2) ? Value(parameters.text(2)) : Value(parameters.number(2)));
    }
}

std::int64_t Store::run_count() { return single_integer(db_, "SELECT count(*) FROM runs"); }

void remove_database(const std::string& path) {
    for (const char* suffix : kDatabaseFileSuffixes) {
        const std::string file = path + suffix;
        if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
            throw StoreError(SQLITE_IOERR, "cannot remove " + file + ": " + std::strerror(errno));
        }
    }
}

}  // namespace orvane::run_index
