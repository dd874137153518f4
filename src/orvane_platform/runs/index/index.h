// The workspace's run index as the module's functions use it: where it lives,
// opening it (a damaged one is recreated), bringing it up to date from the
// run files, and runs as the host's dicts.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "store.h"

namespace orvane::run_index {

namespace nb = nanobind;

inline constexpr const char* kDatabaseName = ".orvane-index.sqlite";

// Where a workspace's index lives: beside its products folder.
struct Location {
    nb::object products_dir;  // pathlib.Path, absolute
    std::string products;     // the same, as a file-system path
    std::string folder;       // the folder the database lives in
    std::string database;
};

Location workspace_location();
// Whether there is a products folder to index or an index to keep; when
// neither, callers answer "no runs" without creating a database.
bool index_wanted(const Location& where);

// Opens the database ready for use; a damaged one is recreated first. Its
// folder must be the user's own, and neither it nor its companion files a
// symbolic link: nothing is created elsewhere.
std::unique_ptr<Store> open_store(const Location& where);
// Removes the damaged database (unless another process replaced it since)
// and logs why.
void recover(const Location& where, const std::string& reason);
// Raises the host's error for a failed SQLite call: TimeoutError when the
// database stayed busy, else RuntimeError naming the database.
[[noreturn]] void raise_store_error(const Location& where, const StoreError& error);

// Runs `work` on the opened store. Damage found on the way recreates the
// database and runs `work` once more, on the new one.
template <typename Work>
auto with_store(const Location& where, Work&& work) {
    for (int attempt = 0;; ++attempt) {
        try {
            std::unique_ptr<Store> store = open_store(where);
            return work(*store);
        } catch (const StoreError& error) {
            if (!error.damaged() || attempt > 0) raise_store_error(where, error);
            recover(where, error.what());
        }
    }
}

struct UpdateCounts {
    std::size_t added = 0;
    std::size_t changed = 0;
    std::size_t removed = 0;
};

// Brings the store up to date with the run files below `root`: only new and
// changed files are read. `everything` reads every file again.
UpdateCounts update(Store& store, const std::string& root, bool everything);

// The runs of one file, read through run_records; none (with one log line)
// for a file OpenUSD cannot read.
IndexedFile read_file(const std::string& root, const RunFile& file);

// store.search with the GIL released.
std::vector<Found> search_released(Store& store, const SearchRequest& request);
// Brings the index up to date, then searches it.
std::vector<Found> current_search(const Location& where, const SearchRequest& request);

// Runs found for one product, and the folder their layers are named from.
struct ProductRuns {
    std::vector<Found> found;
    std::string root;
};
// The runs of the product at `usda_path` (a pathlib.Path of its root file)
// that `request` asks for: through the index for a product of the products
// folder, else from its own run files, indexed in memory for the call.
ProductRuns search_product(nb::handle usda_path, SearchRequest request);

// The host's dicts of found runs (product, run_id, solver, domain,
// timestamp, status, fingerprint, image, layer, kpis, parameters); layers
// are relative to `root`.
nb::list runs_as_dicts(const std::vector<Found>& found, const std::string& root);

// The latest run of this id, as runs_as_dicts makes it, or None: in the
// workspace, or of the product at `usda_path` (a pathlib.Path) unless None.
nb::object find_run(nb::handle run_id, nb::handle usda_path);

}  // namespace orvane::run_index
