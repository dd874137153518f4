// The one place that speaks the CPython C API. Every operation here either
// succeeds or raises the pending Python exception as nb::python_error, so no
// caller can drop a -1 or a null result and leave an exception set behind.
// Module code uses these and nanobind's own checked API (`a.equal(b)`,
// `a < b`, `a - b`, `dict.contains(k)`, `nb::isinstance<nb::str>(v)`).
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvane::py {

namespace nb = nanobind;

// --- imports, names and module state --------------------------------------------

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
// callers and tests may replace it.
nb::object import_from(const char* module, const char* name);

// os.environ[name] when set and not empty, else an invalid object.
nb::object environment_value(const char* name);

// This thread's state dict, shared by every extension module of the
// interpreter: where per-thread state that several modules must agree on
// lives (each module links its own copy of the native library).
nb::dict thread_state_dict();

// obj.name() with no arguments.
nb::object call_method(nb::handle obj, Name& name);

// --- builtin types and exceptions ----------------------------------------------

nb::handle type_type();
nb::handle str_type();
nb::handle int_type();
nb::handle float_type();
nb::handle bool_type();
nb::handle list_type();
nb::handle dict_type();
nb::handle property_type();
nb::handle staticmethod_type();
nb::handle classmethod_type();

// The builtin exception classes the platform raises or catches.
namespace exc {
nb::handle base_exception();
nb::handle exception();
nb::handle value_error();
nb::handle type_error();
nb::handle key_error();
nb::handle runtime_error();
nb::handle os_error();
nb::handle connection_error();
nb::handle timeout_error();
nb::handle eof_error();
nb::handle keyboard_interrupt();
}  // namespace exc

// Whether `except Exception` catches the error: not KeyboardInterrupt,
// SystemExit or GeneratorExit, which must reach the caller.
bool is_exception(const nb::python_error& error);

// raise type(message): the message is UTF-8 text, built with the typed text
// helpers below (text, repr, display_text); an undecodable byte shows as U+FFFD.
[[noreturn]] void raise(nb::handle type, std::string_view message);
// raise type(format % args); the format is PyUnicode_FromFormat's, so %R, %S
// and %U take Python objects (their .ptr()).
[[noreturn]] void raise(nb::handle type, const char* format, ...);
// raise error, an exception instance.
[[noreturn]] void raise_instance(nb::handle error);
// raise error from cause; an invalid `cause` is `raise error from None`.
[[noreturn]] void raise_from(nb::handle error, nb::handle cause);
// Raises what the host's pending signal handlers raise (KeyboardInterrupt for
// Ctrl-C). Call from long waits, with the GIL held.
void check_signals();
// OSError (the subclass errno selects) for `path`, as the host raises it.
[[noreturn]] void raise_os_error(int error, const std::string& path);

// `with manager: return body()`: __exit__ runs whether body returns or
// raises, and what body raises goes on to the caller.
template <typename Body>
auto with_context(nb::handle manager, Body&& body) {
    nb::object exit = manager.attr("__exit__");
    manager.attr("__enter__")();
    try {
        auto result = body();
        exit(nb::none(), nb::none(), nb::none());
        return result;
    } catch (nb::python_error& error) {
        nb::object traceback = error.traceback();
        exit(error.type(), error.value(), traceback.is_valid() ? traceback : nb::none());
        throw;
    } catch (...) {
        exit(nb::none(), nb::none(), nb::none());
        throw;
    }
}

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

// --- checked operations ----------------------------------------------------------

// bool(value), raising what __bool__ or __len__ raises.
bool truthy(nb::handle value);
// `item in container`, raising what __contains__ (or __hash__) raises.
bool contains(nb::handle container, nb::handle item);
// int(value) and float(value), raising what the host's int() and float() raise.
nb::object to_int(nb::handle value);
nb::object to_float(nb::handle value);
// float(value) as a C double.
double to_double(nb::handle value);
// float(text) by the host's own rules; invalid when the host refuses the text
// with ValueError.
nb::object parse_float(std::string_view text);
// An int that fits in 64 bits, or nothing (a bigger int, or not an exact int).
inline std::optional<long long> small_int(nb::handle value) {
    if (!PyLong_CheckExact(value.ptr())) return std::nullopt;
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0) return std::nullopt;
    return number;
}
// The value of an exact or derived float object.
inline double float_value(nb::handle value) { return PyFloat_AS_DOUBLE(value.ptr()); }
// An int (bool included) or a float.
bool is_number(nb::handle value);
// A real number as the numbers module counts one (int, float, Fraction, ...).
bool is_real(nb::handle value);

// --- text ----------------------------------------------------------------------------

// UTF-8 view of a str object, valid while the object lives.
std::string_view utf8(nb::handle text);
nb::str make_str(std::string_view utf8_text);
// Bytes decoded as UTF-8: strictly (UnicodeDecodeError) or with U+FFFD for
// every undecodable byte.
enum class Undecodable : bool { raise, replace };
nb::str decode_utf8(std::string_view bytes, Undecodable undecodable);
// Whether a text ends where the bytes end, or may go on in bytes not read yet.
enum class AtEnd : bool { no, yes };
// Checks `bytes` as the host's UTF-8 decoder does, raising UnicodeDecodeError
// for invalid ones. With AtEnd::no a character cut off at the end is not an
// error. Returns how many leading bytes hold complete characters.
std::size_t validate_utf8(std::string_view bytes, AtEnd at_end);
// A path in the file system's encoding, as the host decodes os.listdir names.
nb::str decode_fs(std::string_view path);
// A path-like object in the file system's encoding, for native file calls.
std::string fs_path(nb::handle path);
// a + b for two str objects (TypeError when either is not a str).
nb::str concat(nb::handle a, nb::handle b);
nb::str concat(const char* a, nb::handle b);
// str(value), repr(value) and format(value, spec) as UTF-8.
std::string text(nb::handle value);
// str(value) as UTF-8 for display: a character UTF-8 cannot hold (a lone
// surrogate from an undecodable file name) becomes "?" instead of raising.
std::string display_text(nb::handle value);
std::string repr(nb::handle value);
std::string format(nb::handle value, const char* spec);
std::string type_name_of(nb::handle value);

// The text of a str whose characters are all ASCII, read in place; nothing
// for any other str.
inline std::optional<std::string_view> ascii_text(nb::handle text) {
    if (!PyUnicode_IS_ASCII(text.ptr())) return std::nullopt;
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(text.ptr())),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr())));
}

// The characters of a str, read in place (no copy): for scans over every
// character of long texts.
class Characters {
  public:
    explicit Characters(nb::handle text)
        : kind_(PyUnicode_KIND(text.ptr())),
          data_(PyUnicode_DATA(text.ptr())),
          length_(static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.ptr()))) {}
    std::size_t size() const { return length_; }
    char32_t operator[](std::size_t index) const {
        return PyUnicode_READ(kind_, data_, static_cast<Py_ssize_t>(index));
    }

  private:
    int kind_;
    const void* data_;
    std::size_t length_;
};

// --- containers --------------------------------------------------------------------

// A list of a known length, filled front to back: no appends, no regrowth.
class ListFiller {
  public:
    explicit ListFiller(std::size_t size);
    // Puts `item` in the next place.
    void push(nb::handle item);
    // The list; every place must be filled.
    nb::list finish();

  private:
    nb::list list_;
    std::size_t filled_ = 0;
};

// mapping.get(key, fallback), for any mapping a caller or service hands in.
nb::object get(nb::handle mapping, const char* key, nb::handle fallback);
// dict[key] when present (None included), else an invalid object; never
// raises KeyError, but raises what the key's __hash__ or __eq__ raises.
inline nb::object dict_get(nb::handle dict, nb::handle key) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (value == nullptr && PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(value);
}
nb::object dict_get(nb::handle dict, const char* key);
// dict[key] when present (None included), else `fallback`.
nb::object dict_get_or(nb::handle dict, const char* key, nb::handle fallback);
nb::object dict_get_or(nb::handle dict, nb::handle key, nb::handle fallback);
// dict[key] when present and not None, else `fallback`.
nb::object dict_value_or(nb::handle dict, const char* key, nb::handle fallback);
// dict.get(key) when it is a dict, else an empty dict; a fresh reference.
nb::dict dict_member(nb::handle dict, const char* key);
// dict[key] of a dict that must hold it: ValueError naming `what` otherwise.
nb::object required_item(nb::handle dict, const char* key, const char* what);
// dict(mapping): a new dict of the same items.
nb::dict dict_copy(nb::handle mapping);
// An empty dict with room for `size` items without growing.
nb::dict dict_with_capacity(std::size_t size);
// A new dict of an exact dict's items, its table copied whole (no rehashing).
nb::dict shallow_copy(const nb::dict& dict);
// dict[key] = value for an exact dict, the fast way.
inline void set_item(nb::handle dict, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
}
// dict.setdefault(key, value).
void set_default(nb::handle dict, nb::handle key, nb::handle value);
// del dict[key] when present.
void discard_key(nb::handle dict, nb::handle key);
// The keys of a dict, sorted by the host's comparison.
nb::list sorted_keys(nb::handle dict);
// A copy of a parsed document: dicts, lists and sets are copied all the way
// down, other values are shared (they are immutable). A document that refers
// to itself raises ValueError.
nb::object deep_copy(nb::handle value);

// {"status": "error", "error": message}: how expected failures are answered.
nb::dict error_status(nb::handle message);
nb::dict error_status(std::string_view message);

// --- argument checks ------------------------------------------------------------

// Whether None is accepted where a value of some type is expected.
enum class NoneAllowed : bool { no, yes };

// Raises TypeError: "func() argument 'arg' must be <expected>, not <type>".
[[noreturn]] void raise_argument_type(const char* function, const char* argument,
                                      const char* expected, nb::handle value);

// Raises TypeError unless `value` is a T (nb::str, nb::dict, nb::list,
// nb::int_, nb::float_, nb::bool_), or None when allowed.
template <typename T>
void require(nb::handle value, const char* function, const char* argument,
             NoneAllowed none = NoneAllowed::no) {
    if (nb::isinstance<T>(value) || (none == NoneAllowed::yes && value.is_none())) return;
    const std::string expected =
        std::string(T::Name.text) + (none == NoneAllowed::yes ? " or None" : "");
    raise_argument_type(function, argument, expected.c_str(), value);
}

inline void require_str(nb::handle value, const char* function, const char* argument) {
    require<nb::str>(value, function, argument);
}
inline void require_str_or_none(nb::handle value, const char* function, const char* argument) {
    require<nb::str>(value, function, argument, NoneAllowed::yes);
}
inline void require_dict(nb::handle value, const char* function, const char* argument) {
    require<nb::dict>(value, function, argument);
}
inline void require_dict_or_none(nb::handle value, const char* function, const char* argument) {
    require<nb::dict>(value, function, argument, NoneAllowed::yes);
}
// Raises ValueError naming `argument` when the str `value` holds a control
// character (a line break, say): such text never becomes a name on disk or a
// field of a record.
void require_no_control_characters(nb::handle value, const char* argument);
// Raises TypeError unless type(value) is exactly `type` (a subclass is refused
// too), or value is None when allowed.
void require_exact_type(nb::handle value, nb::handle type, NoneAllowed none, const char* function,
                        const char* argument, const char* expected);
// A count: an int of 0 or more (TypeError for anything else, bool included;
// ValueError for a negative or huge one), or nothing for None.
std::optional<long long> require_count_or_none(nb::handle value, const char* function,
                                               const char* argument);
// Accepts str or os.PathLike and returns pathlib.Path(value).
nb::object require_path(nb::handle value, const char* function, const char* argument);

// --- classes -----------------------------------------------------------------------

// Plain Python classes defined from C++: real `type` objects (no nanobind
// instance layout), so users can subclass, mix in, compare and patch them.
class ClassBuilder {
  public:
    // Whether the class adds an instance layout of its own. A layout-free class
    // declares `__slots__ = ()`, so it mixes in with any other bases.
    enum class Layout : bool { own, none };

    // type(name, bases, {...}) in `module`.
    ClassBuilder(nb::module_& module, const char* name, const char* doc,
                 nb::handle bases = nb::tuple(), Layout layout = Layout::own);

    // A method: `f` takes `self` (a handle) first.
    template <typename F, typename... Extra>
    ClassBuilder& method(const char* name, F&& f, const Extra&... extra) {
        nb::setattr(class_, name,
                    nb::cpp_function(std::forward<F>(f), nb::scope(class_), nb::name(name),
                                     nb::is_method(), extra...));
        return *this;
    }

    // A static method.
    template <typename F, typename... Extra>
    ClassBuilder& static_method(const char* name, F&& f, const Extra&... extra) {
        nb::object function = nb::cpp_function(std::forward<F>(f), nb::name(name), extra...);
        nb::setattr(class_, name, staticmethod_type()(function));
        return *this;
    }

    // A read-only property computed by `getter(self)`.
    template <typename F>
    ClassBuilder& property(const char* name, F&& getter, const char* doc) {
        nb::setattr(class_, name, make_property(name, std::forward<F>(getter), doc));
        return *this;
    }

    // The class, also set as the module attribute of its name.
    nb::object finish();

    // property(getter, doc=doc) for a class namespace.
    template <typename F>
    static nb::object make_property(const char* name, F&& getter, const char* doc) {
        nb::object fget =
            nb::cpp_function(std::forward<F>(getter), nb::is_method(), nb::name(name));
        return property_type()(fget, nb::none(), nb::none(), doc);
    }

  private:
    nb::module_& module_;
    nb::object class_;
};

// A genuine dataclass (dataclasses.make_dataclass): `fields` is a list of
// (name, type) or (name, type, dataclasses.field(...)) tuples; `namespace_`
// adds methods such as class methods. Set as the module attribute `name`.
nb::object make_dataclass(nb::module_& module, const char* name, const char* doc, nb::list fields,
                          nb::dict namespace_ = nb::dict());

// classmethod(f): `f` receives the class first.
template <typename F, typename... Extra>
nb::object class_method(const char* name, F&& f, const Extra&... extra) {
    nb::object function = nb::cpp_function(std::forward<F>(f), nb::name(name), extra...);
    return classmethod_type()(function);
}

// An exception class `name` deriving from `base`, set as the module attribute.
nb::object make_exception_class(nb::module_& module, const char* name, nb::handle base,
                                const char* doc);

}  // namespace orvane::py
