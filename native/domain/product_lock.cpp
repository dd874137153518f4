#include "native/domain/product_lock.h"

#include "native/domain/pending_save.h"
#include "native/domain/services.h"
#include "native/py.h"

namespace orvane::product_lock {

namespace {
py::CachedModule pathlib{"pathlib"};
}

ProductLock::ProductLock(nb::handle usda_path) {
    nb::object path = pathlib.attr("Path")(usda_path);
    const std::string folder = py::fs_path(path.attr("parent"));
    if (!fs::is_directory(folder)) return;
    lock_.emplace(folder + "/.orvane.lock",
                  py::to_double(services::product_twin::lock_timeout_seconds.get()),
                  "product " + py::text(path));
    if (lock_->outermost() && fs::exists(pending_save::file_of(path)))
        services::solver_run::complete_pending_save(path);
}

}  // namespace orvane::product_lock
