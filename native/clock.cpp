#include "native/clock.h"

namespace orvane::clock {

using namespace nb::literals;

namespace {
py::CachedModule datetime_module{"datetime"};
}  // namespace

nb::object utc_now() {
    return datetime_module.attr("datetime").attr("now")(datetime_module.attr("UTC"));
}

nb::str utc_now_iso() { return nb::borrow<nb::str>(utc_now().attr("isoformat")()); }

nb::object days(nb::handle count) { return datetime_module.attr("timedelta")("days"_a = count); }

void require_datetime(nb::handle value, const char* function, const char* argument,
                      py::NoneAllowed none) {
    const bool none_allowed = none == py::NoneAllowed::yes;
    if (none_allowed && value.is_none()) return;
    if (!nb::isinstance(value, datetime_module.attr("datetime"))) {
        py::raise_argument_type(function, argument, none_allowed ? "datetime or None" : "datetime",
                                value);
    }
}

}  // namespace orvane::clock
