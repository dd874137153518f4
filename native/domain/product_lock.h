// The write lock of one product. Every read-modify-write of a product's
// layers and files holds it, so that concurrent writers (threads or
// processes) never lose each other's results; readers never take it.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>

#include "native/fs.h"

namespace orvane::product_lock {

namespace nb = nanobind;

// Holds the lock of the product whose root file is `usda_path` (str or
// os.PathLike) for its lifetime: the lock file .orvane.lock in the product's
// folder. Waits at most product_twin._LOCK_TIMEOUT_SECONDS, then raises
// TimeoutError naming the product. A product whose folder does not exist has
// nothing to protect: no lock is taken, and opening it fails as before.
// Whoever takes the lock first completes a save that was cut short before
// writing anything of its own.
class ProductLock {
  public:
    explicit ProductLock(nb::handle usda_path);

  private:
    std::optional<fs::FileLock> lock_;
};

}  // namespace orvane::product_lock
