#include "native/domain/diff.h"

#include "native/py.h"

namespace orvane::diff {

nb::tuple triple(nb::handle first, nb::handle second) {
    nb::object a = first.is_valid() ? nb::borrow(first) : nb::none();
    nb::object b = second.is_valid() ? nb::borrow(second) : nb::none();
    if (!py::is_number(a) || !py::is_number(b)) return nb::make_tuple(a, b, nb::none());
    return nb::make_tuple(a, b, a - b);
}

}  // namespace orvane::diff
