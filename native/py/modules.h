// Reaching modules and their state: imports kept for the process, interned
// names, loggers, a module's own globals, the environment and per-thread
// state. Another orvane_platform module is reached through
// native/domain/services.h, never imported here by name.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

namespace orvane::py {

namespace nb = nanobind;

// A module imported on first use and kept for the life of the process.
// Third-party imports are deferred so that a module loads without them (the
// stub generator imports modules in a bare build environment).
class CachedModule {
  public:
    constexpr explicit CachedModule(const char* name) : name_(name) {}
    nb::handle get();
    nb::object attr(const char* name) { return get().attr(name); }

  private:
    const char* name_;
    PyObject* module_ = nullptr;
};

// An attribute name interned once; cheaper than building the string per call.
class Name {
  public:
    constexpr explicit Name(const char* text) : text_(text) {}
    nb::handle get();

  private:
    const char* text_;
    PyObject* interned_ = nullptr;
};

// A logger of the host's logging module, looked up once.
class Logger {
  public:
    constexpr explicit Logger(const char* name) : name_(name) {}
    nb::handle get();
    // logger.info(message, *args): formatting is left to logging.
    template <typename... Args>
    void info(const char* message, Args&&... args) {
        get().attr("info")(message, std::forward<Args>(args)...);
    }
    template <typename... Args>
    void warning(const char* message, Args&&... args) {
        get().attr("warning")(message, std::forward<Args>(args)...);
    }

  private:
    const char* name_;
    PyObject* logger_ = nullptr;
};

// A module's own attributes, read when a function runs, as a Python function
// reads its globals: what the module bound at import can be replaced later
// (by callers, or by tests with monkeypatch). The one way a module reads its
// own constants and the functions it imported when it loaded.
class ModuleGlobals {
  public:
    void bind(nb::module_& module);
    // The current value of `name`; NameError when it is gone.
    nb::object get(const char* name) const;
    // The same for a name read on a hot path, without making its text anew.
    nb::object get(Name& name) const;
    // float(the current value of `name`).
    double number(const char* name) const;

  private:
    PyObject* globals_ = nullptr;  // the module's __dict__, kept for the process
};

// `from module import name`, evaluated now: the current binding is seen, so
// callers and tests may replace it. What services.h is built on; module code
// uses services.h for the platform's modules and a CachedModule for others.
nb::object import_from(const char* module, const char* name);

// os.environ[name] when set and not empty, else an invalid object.
nb::object environment_value(const char* name);

// This thread's state dict, shared by every extension module of the
// interpreter: where per-thread state that several modules must agree on
// lives (each module links its own copy of the native library).
nb::dict thread_state_dict();

// obj.name() with no arguments.
nb::object call_method(nb::handle obj, Name& name);

// Makes `function` (and every function of its type: nanobind's) pickle as a
// reference to the module attribute it is, as the host's built-ins do: Dask
// ships a task by pickling its function.
void pickle_by_name(nb::handle function);

}  // namespace orvane::py
