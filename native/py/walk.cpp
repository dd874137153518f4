#include "native/py/walk.h"

#include <unordered_map>

#include "native/py/errors.h"

namespace orvane::py {

namespace {

// Counts the entries below each container once, remembering the count by the
// container's identity: a shared container is walked the first time only.
class EntryCount {
  public:
    EntryCount(const std::string& what, std::size_t max_entries)
        : walk_(what), max_entries_(max_entries) {}

    std::size_t of(nb::handle value) {
        const bool mapping = nb::isinstance<nb::dict>(value);
        if (!mapping && !nb::isinstance<nb::list>(value) && !nb::isinstance<nb::tuple>(value))
            return 0;
        const auto known = counted_.find(value.ptr());
        if (known != counted_.end()) return known->second;
        std::size_t entries = 0;
        {
            Walk::Level level(walk_, value);
            if (mapping) {
                for (auto [key, item] : nb::borrow<nb::dict>(value)) entries = add(entries, item);
            } else {
                for (nb::handle item : value) entries = add(entries, item);
            }
        }
        counted_.emplace(value.ptr(), entries);
        return entries;
    }

  private:
    // `entries` and the item with everything below it; refuses past the bound.
    std::size_t add(std::size_t entries, nb::handle item) {
        const std::size_t below = of(item);
        // Both are within the bound, so the sum cannot wrap unless it is past it.
        const std::size_t total = below >= max_entries_ - entries ? SIZE_MAX : entries + 1 + below;
        if (total > max_entries_) {
            raise(exc::value_error(), walk_.what() + " expands to more than " +
                                          std::to_string(max_entries_) + " entries");
        }
        return total;
    }

    Walk walk_;
    std::size_t max_entries_;
    std::unordered_map<PyObject*, std::size_t> counted_;
};

}  // namespace

void Walk::refuse_cycle() const { raise(exc::value_error(), what_ + " refers to itself"); }

void Walk::refuse_depth() const {
    raise(PyExc_RecursionError,
          what_ + " is nested more than " + std::to_string(kMaxDepth) + " levels deep");
}

void require_acyclic(nb::handle value, const std::string& what, std::size_t max_entries) {
    EntryCount(what, max_entries).of(value);
}

}  // namespace orvane::py
