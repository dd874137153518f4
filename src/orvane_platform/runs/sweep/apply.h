// A sweep's case applied to its product: the case's run saved into the
// product with the design it was made with.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::sweep {

namespace nb = nanobind;

// Registers apply_case.
void bind_apply(nb::module_& m);

}  // namespace orvane::sweep
