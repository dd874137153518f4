#include "index.h"

#include <algorithm>
#include <string>
#include <unordered_map>

#include "native/domain/services.h"
#include "native/fs.h"
#include "native/py.h"
#include "native/yaml.h"

namespace orvane::run_index {

namespace {

py::Logger logger{"orvane_platform.runs.index"};
py::CachedModule yaml_module{"yaml"};

// Run files read before their runs are written to the index.
constexpr std::size_t kWriteBatch = 200;

std::optional<std::string> text_of(nb::handle value) {
    if (!value.is_valid() || value.is_none()) return std::nullopt;
    return std::string(py::utf8(nb::str(value)));
}

// SQLite holds no NaN (it stores NULL) and the infinities print as no JSON:
// a number that is not finite is left out, its name added to `left_out`.
std::optional<double> finite(nb::handle number, std::string name,
                             std::vector<std::string>& left_out) {
    std::optional<double> value = py::finite_double(number);
    if (!value) left_out.push_back(std::move(name));
    return value;
}

// A number (bools and ints as floats) or a text; nothing for other values.
std::optional<Value> value_of(nb::handle value, std::string name,
                              std::vector<std::string>& left_out) {
    if (nb::isinstance<nb::str>(value)) return Value(std::string(py::utf8(value)));
    if (!py::is_number(value)) return std::nullopt;
    if (const std::optional<double> number = finite(value, std::move(name), left_out))
        return Value(*number);
    return std::nullopt;
}

// The design values the solver was given: the `design` mapping of the run's
// case. libyaml's loader: this is for searching only, and a case it reads
// differently from the fingerprint's loader, or one too large to read, is
// skipped.
nb::object case_design(nb::handle provenance) {
    nb::object case_yaml = py::dict_get(provenance, "case_yaml");
    if (!case_yaml.is_valid() || !nb::isinstance<nb::str>(case_yaml)) return nb::none();
    nb::object parsed;
    try {
        parsed = yaml::load(case_yaml, "the case", yaml::Loader::libyaml);
    } catch (nb::python_error& error) {
        if (!error.matches(yaml_module.attr("YAMLError")) && !error.matches(py::exc::value_error()))
            throw;
        return nb::none();
    }
    nb::object design =
        nb::isinstance<nb::dict>(parsed) ? py::dict_get(parsed, "design") : nb::object();
    return design.is_valid() && nb::isinstance<nb::dict>(design) ? design : nb::none();
}

// `left_out` gathers the names of the values the index cannot hold.
Run run_from_record(nb::handle record, const std::string& product,
                    std::vector<std::string>& left_out) {
    Run run;
    run.product = product;
    run.run_id = *text_of(record["run_id"]);
    run.solver = text_of(record["solver"]);
    run.domain = text_of(record["domain"]);
    run.timestamp = text_of(record["timestamp"]);
    run.status = text_of(record["status"]);
    nb::object provenance = record["provenance"];
    run.fingerprint = text_of(py::dict_get(provenance, "fingerprint"));
    run.image = text_of(py::dict_get(provenance, "solver_image"));
    for (auto [name, value] : nb::borrow<nb::dict>(record["kpis"])) {
        if (!py::is_number(value)) continue;
        const std::string_view key = py::utf8(name);
        if (const std::optional<double> number = finite(value, "kpi." + std::string(key), left_out))
            run.kpis.emplace_back(key, *number);
    }
    for (auto [name, entry] : nb::borrow<nb::dict>(record["parameters"])) {
        nb::object value =
            nb::isinstance<nb::dict>(entry) ? py::dict_get(entry, "value") : nb::borrow(entry);
        if (!value.is_valid() || !nb::isinstance<nb::str>(name)) continue;
        if (std::optional<Value> stored =
                value_of(value, "param." + std::string(py::utf8(name)), left_out)) {
            run.parameters.emplace_back(py::utf8(name), std::move(*stored));
        }
    }
    // Design values count as parameters too, so that a sweep's cases can be
    // searched and drawn by what they varied; a solver input of the same
    // name keeps its place.
    nb::object design = case_design(provenance);
    if (!design.is_none()) {
        const std::size_t inputs = run.parameters.size();
        for (auto [name, value] : nb::borrow<nb::dict>(design)) {
            if (!nb::isinstance<nb::str>(name) || !py::is_number(value)) continue;
            const std::string_view key = py::utf8(name);
            const auto end = run.parameters.begin() + static_cast<std::ptrdiff_t>(inputs);
            if (std::find_if(run.parameters.begin(), end,
                             [&](const auto& known) { return known.first == key; }) != end)
                continue;
            if (const std::optional<double> number =
                    finite(value, "param." + std::string(key), left_out))
                run.parameters.emplace_back(key, Value(*number));
        }
    }
    return run;
}

// Texts that recur across runs (products, solvers, KPI names) made into the
// host's str once per call.
class Texts {
  public:
    nb::object get(const std::string& text) {
        auto [found, added] = made_.try_emplace(text);
        if (added) found->second = py::make_str(text);
        return found->second;
    }
    nb::object get(const std::optional<std::string>& text) {
        return text ? get(*text) : nb::none();
    }
    // A name on disk, in the file system's encoding.
    nb::object file_name(const std::string& name) {
        auto [found, added] = names_.try_emplace(name);
        if (added) found->second = py::decode_fs(name);
        return found->second;
    }

  private:
    std::unordered_map<std::string, nb::object> made_;
    std::unordered_map<std::string, nb::object> names_;
};

py::Name product_key{"product"}, run_id_key{"run_id"}, solver_key{"solver"}, domain_key{"domain"},
    timestamp_key{"timestamp"}, status_key{"status"}, fingerprint_key{"fingerprint"},
    image_key{"image"}, layer_key{"layer"}, kpis_key{"kpis"}, parameters_key{"parameters"};

}  // namespace

Location workspace_location() {
    nb::object products = services::workspace::products_dir().attr("absolute")();
    nb::object folder = products.attr("parent");
    return {products, py::fs_path(products), py::fs_path(folder),
            py::fs_path(folder / nb::str(kDatabaseName))};
}

bool index_wanted(const Location& where) {
    return fs::is_directory(where.products) || fs::exists(where.database);
}

std::unique_ptr<Store> open_store(const Location& where) {
    fs::require_own_folder(where.folder, "the run index of the products folder " + where.products);
    for (const char* suffix : kDatabaseFileSuffixes) fs::require_real_file(where.database + suffix);
    fs::require_real_file(where.database + kLockSuffix);
    for (int attempt = 0;; ++attempt) {
        std::unique_ptr<Store> store;
        std::optional<std::string> damage;
        {
            nb::gil_scoped_release release;
            store = std::make_unique<Store>(where.database);
            damage = store->prepare();
        }
        if (!damage) return store;
        if (attempt > 0) {
            throw StoreError(SQLITE_CORRUPT, "the recreated database " + *damage);
        }
        store.reset();
        recover(where, *damage);
    }
}

void recover(const Location& where, const std::string& reason) {
    const std::optional<FileIdentity> damaged = identity_of(where.database);
    {
        const fs::FileLock lock(where.database + kLockSuffix, Store::kBusyTimeoutMs / 1000.0,
                                "the run index " + where.database);
        nb::gil_scoped_release release;
        // Another process may have recreated it while this one waited.
        if (identity_of(where.database) != damaged) return;
        remove_database(where.database);
    }
    logger.warning("run index %s %s: recreated from the run files", py::decode_fs(where.database),
                   py::make_str(reason));
}

void raise_store_error(const Location& where, const StoreError& error) {
    if (error.busy()) {
        py::raise(py::exc::timeout_error(), "the run index " + where.database +
                                                " stayed busy: another process held it for over " +
                                                std::to_string(Store::kBusyTimeoutMs / 1000) +
                                                " s");
    }
    py::raise(py::exc::runtime_error(), "run index " + where.database + ": " + error.what());
}

IndexedFile read_file(const std::string& root, const RunFile& file) {
    IndexedFile indexed{file, {}};
    const std::string product = file.layer.substr(0, file.layer.find('/'));
    nb::str path = py::decode_fs(root + "/" + file.layer);
    std::vector<std::string> left_out;
    try {
        for (nb::handle record : services::run_records::read_run_records(path)) {
            indexed.runs.push_back(run_from_record(record, product, left_out));
        }
    } catch (nb::python_error& error) {
        if (!py::is_exception(error)) throw;
        // Stored without runs: read again (and logged again) only once the
        // file changes.
        logger.warning("run file %s left out of the run index: %s", path, error.value());
        indexed.runs.clear();
        return indexed;
    }
    if (!left_out.empty()) {
        std::string names;
        for (const std::string& name : left_out) names += (names.empty() ? "" : ", ") + name;
        logger.warning("run file %s: values left out of the run index (not finite numbers): %s",
                       path, py::make_str(names));
    }
    return indexed;
}

UpdateCounts update(Store& store, const std::string& root, bool everything) {
    std::string signature;
    Changes changes;
    {
        nb::gil_scoped_release release;
        std::vector<RunFile> files = find_run_files(root);
        signature = walk_signature(files);
        changes = store.changes(std::move(files), signature, everything);
    }
    if (changes.current) return {};
    const UpdateCounts counts{changes.added.size(), changes.changed.size(), changes.removed.size()};
    std::vector<const RunFile*> to_read;
    to_read.reserve(changes.added.size() + changes.changed.size());
    for (const std::vector<RunFile>* files : {&changes.added, &changes.changed}) {
        for (const RunFile& file : *files) to_read.push_back(&file);
    }
    // Written a batch at a time, so that memory stays the same however many
    // files there are to read; each file's runs change in one transaction.
    std::vector<IndexedFile> batch;
    std::size_t next = 0;
    std::int64_t writes = 0;
    bool matches_walk = true;
    do {
        batch.clear();
        for (; next < to_read.size() && batch.size() < kWriteBatch; ++next) {
            batch.push_back(read_file(root, *to_read[next]));
        }
        if (batch.empty() && changes.removed.empty()) break;
        nb::gil_scoped_release release;
        matches_walk = store.write(batch, changes.removed, root) && matches_walk;
        ++writes;
        changes.removed.clear();
    } while (next < to_read.size());
    // The stored stamps are now the walk's, unless a removed file came back
    // or another process wrote in between: then the next search compares.
    if (matches_walk) {
        nb::gil_scoped_release release;
        store.mark_current(signature, changes.generation + writes);
    }
    return counts;
}

std::vector<Found> search_released(Store& store, const SearchRequest& request) {
    nb::gil_scoped_release release;
    return store.search(request);
}

nb::list runs_as_dicts(const std::vector<Found>& found, const std::string& root) {
    Texts texts;
    py::ListFiller runs(found.size());
    for (const Found& entry : found) {
        const Run& run = entry.run;
        nb::dict dict = py::dict_with_capacity(11);
        py::set_item(dict, product_key.get(), texts.file_name(run.product));
        py::set_item(dict, run_id_key.get(), py::make_str(run.run_id));
        py::set_item(dict, solver_key.get(), texts.get(run.solver));
        py::set_item(dict, domain_key.get(), texts.get(run.domain));
        py::set_item(dict, timestamp_key.get(), texts.get(run.timestamp));
        py::set_item(dict, status_key.get(), texts.get(run.status));
        py::set_item(dict, fingerprint_key.get(), texts.get(run.fingerprint));
        py::set_item(dict, image_key.get(), texts.get(run.image));
        py::set_item(dict, layer_key.get(), py::decode_fs(root + "/" + entry.layer));
        nb::dict kpis = py::dict_with_capacity(run.kpis.size());
        for (const auto& [name, value] : run.kpis) {
            py::set_item(kpis, texts.get(name), nb::float_(value));
        }
        py::set_item(dict, kpis_key.get(), kpis);
        nb::dict parameters = py::dict_with_capacity(run.parameters.size());
        for (const auto& [name, value] : run.parameters) {
            if (const double* number = std::get_if<double>(&value)) {
                py::set_item(parameters, texts.get(name), nb::float_(*number));
            } else {
                py::set_item(parameters, texts.get(name), texts.get(std::get<std::string>(value)));
            }
        }
        py::set_item(dict, parameters_key.get(), parameters);
        runs.push(dict);
    }
    return runs.finish();
}

std::vector<Found> current_search(const Location& where, const SearchRequest& request) {
    return with_store(where, [&](Store& store) {
        update(store, where.products, false);
        return search_released(store, request);
    });
}

ProductRuns search_product(nb::handle usda_path, SearchRequest request) {
    nb::object folder = usda_path.attr("absolute")().attr("parent");
    const std::string folder_name = py::fs_path(folder.attr("name"));
    const std::string parent = py::fs_path(folder.attr("parent"));
    const Location where = workspace_location();
    request.products = {folder_name};
    if (fs::is_directory(where.products) &&
        fs::real_path(parent) == fs::real_path(where.products)) {
        return {current_search(where, request), where.products};
    }
    // A product outside the workspace's products folder.
    std::vector<RunFile> files;
    {
        nb::gil_scoped_release release;
        files = find_run_files(parent, folder_name);
    }
    std::vector<IndexedFile> indexed;
    for (const RunFile& file : files) indexed.push_back(read_file(parent, file));
    try {
        nb::gil_scoped_release release;
        Store store(":memory:");
        store.prepare();
        store.write(indexed, {}, parent);
        return {store.search(request), parent};
    } catch (const StoreError& error) {
        py::raise(py::exc::runtime_error(), std::string("in-memory run index: ") + error.what());
    }
}

nb::object find_run(nb::handle run_id, nb::handle usda_path) {
    SearchRequest request;
    request.condition = {"r.run_id = ?", {std::string(py::utf8(run_id))}};
    request.descending = true;  // the latest, should two products share an id
    request.limit = 1;
    if (!usda_path.is_none()) {
        ProductRuns runs = search_product(usda_path, request);
        if (runs.found.empty()) return nb::none();
        return runs_as_dicts(runs.found, runs.root)[0];
    }
    const Location where = workspace_location();
    if (!index_wanted(where)) return nb::none();
    std::vector<Found> found = current_search(where, request);
    if (found.empty()) return nb::none();
    return runs_as_dicts(found, where.products)[0];
}

}  // namespace orvane::run_index
