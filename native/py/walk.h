// Bounded recursion over caller or file data: a deep or cyclic structure
// raises a Python error instead of overflowing the C stack or looping.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <utility>

namespace orvane::py {

namespace nb = nanobind;

// Counts one nesting level against the host's recursion limit, so a deep or
// cyclic structure raises RecursionError instead of overflowing the C stack.
class RecursionGuard {
  public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where) != 0) throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// Guards a recursive walk over caller or file data: each container entered
// counts against the host's recursion limit and against a fixed depth (the C
// stack must hold the walk whatever limit a program sets), so a deep
// structure raises RecursionError; a container met again inside itself raises
// ValueError "<what> refers to itself" instead of recursing for ever.
class Walk {
  public:
    static constexpr std::size_t kMaxDepth = 2000;

    explicit Walk(std::string what) : what_(std::move(what)) {}

    const std::string& what() const { return what_; }

    // Holds `container` as entered for its lifetime.
    class Level {
      public:
        Level(Walk& walk, nb::handle container)
            : walk_(walk), container_(container.ptr()), guard_(" while walking a structure") {
            if (walk.entered_.size() >= kMaxDepth) walk.refuse_depth();
            if (!walk.entered_.insert(container_).second) walk.refuse_cycle();
        }
        ~Level() { walk_.entered_.erase(container_); }
        Level(const Level&) = delete;
        Level& operator=(const Level&) = delete;

      private:
        Walk& walk_;
        PyObject* container_;
        RecursionGuard guard_;
    };

  private:
    [[noreturn]] void refuse_cycle() const;
    [[noreturn]] void refuse_depth() const;

    std::string what_;
    std::unordered_set<PyObject*> entered_;  // the containers being walked
};

// Raises ValueError "<what> refers to itself" when a dict, list or tuple
// inside `value` contains itself, and ValueError "<what> expands to more than
// <max_entries> entries" when its dict entries and list and tuple items,
// counted once for every way the data reaches them, outnumber `max_entries`.
// Each container is walked once however many references share it, so data
// built of shared parts (a YAML alias bomb) costs what its parts do.
void require_acyclic(nb::handle value, const std::string& what, std::size_t max_entries = SIZE_MAX);

}  // namespace orvane::py
