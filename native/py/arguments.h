// Checks of the arguments a module function receives, raising the TypeError
// or ValueError the host's own functions raise for a wrong argument.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>

namespace orvane::py {

namespace nb = nanobind;

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

}  // namespace orvane::py
