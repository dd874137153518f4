// Python interop shared by every extension module: imports, interned names,
// argument checks and small container helpers.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>
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

  private:
    const char* name_;
    PyObject* logger_ = nullptr;
};

// A module's own attributes, read when a function runs, as a Python function
// reads its globals: what the module bound at import can be replaced later
// (by callers, or by tests with monkeypatch).
class ModuleGlobals {
  public:
    void bind(nb::module_& module);
    // The current value of `name`; NameError when it is gone.
    nb::object get(const char* name) const;

  private:
    PyObject* globals_ = nullptr;  // the module's __dict__, kept for the process
};

// `from module import name`, evaluated now: the current binding is seen, so
// callers and tests may replace it.
nb::object import_from(const char* module, const char* name);

// os.environ[name] when set and not empty, else an invalid object.
nb::object environment_value(const char* name);

// obj.name() with no arguments.
nb::object call_method(nb::handle obj, Name& name);

// --- argument checks -------------------------------------------------------

// Raises TypeError: "func() argument 'arg' must be <expected>, not <type>".
[[noreturn]] void raise_argument_type(const char* function, const char* argument,
                                      const char* expected, nb::handle value);

void require_str(nb::handle value, const char* function, const char* argument);
void require_str_or_none(nb::handle value, const char* function, const char* argument);
void require_dict(nb::handle value, const char* function, const char* argument);
void require_dict_or_none(nb::handle value, const char* function, const char* argument);
// Accepts str or os.PathLike and returns pathlib.Path(value).
nb::object require_path(nb::handle value, const char* function, const char* argument);

// --- conversions -----------------------------------------------------------

// UTF-8 view of a str object, valid while the object lives.
std::string_view utf8(nb::handle text);
// A path-like object in the file system's encoding, for native file calls.
std::string fs_path(nb::handle path);
nb::str make_str(std::string_view utf8_text);
// a + b for two str objects (TypeError when either is not a str).
nb::str concat(nb::handle a, nb::handle b);
nb::str concat(const char* a, nb::handle b);
std::string type_name_of(nb::handle value);
// format(value, spec), the host's own formatting (for example ".4f", "+.0f").
std::string format(nb::handle value, const char* spec);
// str(value) as UTF-8.
std::string text(nb::handle value);
// int(value), raising what the host's int() raises.
nb::object to_int(nb::handle value);
// bool(value), raising what __bool__ raises.
bool truthy(nb::handle value);

// --- containers ------------------------------------------------------------

// mapping.get(key, fallback), for any mapping a caller or service hands in.
nb::object get(nb::handle mapping, const char* key, nb::handle fallback);
// An int (bool included) or a float.
bool is_number(nb::handle value);
// dict[key] when present, else an invalid (null) object; never raises KeyError.
nb::object dict_get(nb::handle dict, nb::handle key);
nb::object dict_get(nb::handle dict, const char* key);
// dict.get(key) when it is a dict, else an empty dict; a fresh reference.
nb::dict dict_member(nb::handle dict, const char* key);
// A copy of a parsed document: dicts, lists and sets are copied all the way
// down, other values are shared (they are immutable).
nb::object deep_copy(nb::handle value);

}  // namespace orvane::py
