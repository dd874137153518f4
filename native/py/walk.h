// Bounded recursion over caller or file data: a deep or cyclic structure
// raises a Python error instead of overflowing the C stack or looping.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

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

    // Holds `container` as entered for its lifetime.
    class Level {
      public:
        Level(Walk& walk, nb::handle container)
            : walk_(walk), guard_(" while walking a structure") {
            if (walk.path_.size() >= kMaxDepth) walk.refuse_depth();
            for (PyObject* entered : walk.path_) {
                if (entered == container.ptr()) walk.refuse_cycle();
            }
            walk.path_.push_back(container.ptr());
        }
        ~Level() { walk_.path_.pop_back(); }
        Level(const Level&) = delete;
        Level& operator=(const Level&) = delete;

      private:
        Walk& walk_;
        RecursionGuard guard_;
    };

  private:
    [[noreturn]] void refuse_cycle() const;
    [[noreturn]] void refuse_depth() const;

    std::string what_;
    std::vector<PyObject*> path_;  // the containers being walked, outermost first
};

// Raises ValueError "<what> refers to itself" when a dict, list or tuple
// inside `value` contains itself.
void require_acyclic(nb::handle value, const std::string& what);

}  // namespace orvane::py
