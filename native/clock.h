// Time stamps as the platform writes them: the host's datetime in UTC.
#pragma once

#include <nanobind/nanobind.h>

#include "native/py.h"

namespace orvane::clock {

namespace nb = nanobind;

// datetime.now(UTC)
nb::object utc_now();
// datetime.now(UTC).isoformat(): microseconds (when non-zero) and "+00:00".
nb::str utc_now_iso();
// datetime.timedelta(days=days)
nb::object days(nb::handle count);

// Raises TypeError naming the argument unless `value` is a datetime (or None
// when allowed).
void require_datetime(nb::handle value, const char* function, const char* argument,
                      py::NoneAllowed none);

}  // namespace orvane::clock
