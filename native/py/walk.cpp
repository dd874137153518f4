#include "native/py/walk.h"

#include "native/py/errors.h"

namespace orvane::py {

namespace {
void check_within(Walk& walk, nb::handle value) {
    if (nb::isinstance<nb::dict>(value)) {
        Walk::Level level(walk, value);
        for (auto [key, item] : nb::borrow<nb::dict>(value)) check_within(walk, item);
    } else if (nb::isinstance<nb::list>(value) || nb::isinstance<nb::tuple>(value)) {
        Walk::Level level(walk, value);
        for (nb::handle item : value) check_within(walk, item);
    }
}
}  // namespace

void Walk::refuse_cycle() const { raise(exc::value_error(), what_ + " refers to itself"); }

void Walk::refuse_depth() const {
    raise(PyExc_RecursionError,
          what_ + " is nested more than " + std::to_string(kMaxDepth) + " levels deep");
}

void require_acyclic(nb::handle value, const std::string& what) {
    Walk walk(what);
    check_within(walk, value);
}

}  // namespace orvane::py
