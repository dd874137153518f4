// Holding a product's write lock across several writes.
#include "native/domain/product_lock.h"
#include "native/py.h"
#include "product_twin.h"

namespace orvane::product_twin {

namespace {

void init(nb::handle self, nb::handle usda_path) {
    nb::setattr(self, "usda_path", py::require_path(usda_path, "write_lock", "usda_path"));
    nb::setattr(self, "_held", nb::none());
}

nb::object enter(nb::handle self) {
    auto* lock = new product_lock::ProductLock(self.attr("usda_path"));
    nb::setattr(self, "_held", nb::capsule(lock, [](void* held) noexcept {
                    delete static_cast<product_lock::ProductLock*>(held);
                }));
    return nb::borrow(self);
}

bool exit(nb::handle self, nb::handle, nb::handle, nb::handle) {
    nb::setattr(self, "_held", nb::none());  // releasing the capsule releases the lock
    return false;
}

}  // namespace

void bind_locking(nb::module_& m) {
    py::ClassBuilder(m, "write_lock",
                     R"(The product's write lock as a context manager: `with write_lock(path):`
                     holds it across several writes (a run record and its results, say), so
                     other writers see all of them or none. Writes inside take it again at
                     once; other threads and processes wait.)")
        .method("__init__", &init, nb::arg("usda_path").none(),
                nb::sig("def __init__(self, usda_path: str | os.PathLike[str]) -> None"),
                "The lock of the product whose root file is `usda_path`; taken on entry.")
        .method("__enter__", &enter, nb::sig("def __enter__(self) -> write_lock"),
                "Wait for the lock (TimeoutError naming the product after "
                "_LOCK_TIMEOUT_SECONDS) and hold it.")
        .method("__exit__", &exit, nb::arg("kind").none(), nb::arg("error").none(),
                nb::arg("trace").none(),
                nb::sig("def __exit__(self, kind: object, error: object, trace: object) -> bool"),
                "Release the lock.")
        .finish();
}

}  // namespace orvane::product_twin
