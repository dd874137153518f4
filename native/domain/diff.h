// How two values of a product compare: the (first, second, difference)
// triple of product, release and competitor diffs.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::diff {

namespace nb = nanobind;

// (first, second, first - second) with the host's subtraction; the
// difference is None unless both are numbers. An invalid handle (a value one
// side does not have) counts as None.
nb::tuple triple(nb::handle first, nb::handle second);

}  // namespace orvane::diff
