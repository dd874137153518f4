// orvane_platform.core.product_twin: the product interface of the platform.
#include <nanobind/nanobind.h>

#include "native/py.h"
#include "product_twin.h"

namespace nb = nanobind;
using namespace orvane;

namespace {
py::CachedModule logging_module{"logging"};
}

NB_MODULE(product_twin, m) {
    m.doc() =
        "The product model: a product's USD stage read into one flat dictionary, solver results "
        "written into its layers, the results history, and product comparisons.";
    m.attr("logger") = logging_module.attr("getLogger")(product_twin::kLoggerName);
    // Seconds a write waits for another writer of the same product.
    m.attr("_LOCK_TIMEOUT_SECONDS") = 60.0;
    product_twin::bind_loading(m);
    product_twin::bind_writing(m);
    product_twin::bind_history(m);
    product_twin::bind_diffs(m);
    product_twin::bind_locking(m);
}
