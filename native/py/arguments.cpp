#include "native/py/arguments.h"

#include "native/py/errors.h"
#include "native/py/modules.h"
#include "native/py/operations.h"
#include "native/py/text.h"
#include "native/text.h"

namespace orvane::py {

namespace {
CachedModule pathlib{"pathlib"};
CachedModule os_module{"os"};
}  // namespace

void raise_argument_type(const char* function, const char* argument, const char* expected,
                         nb::handle value) {
    raise(exc::type_error(), std::string(function) + "() argument '" + argument + "' must be " +
                                 expected + ", not " + type_name_of(value));
}

void require_exact_type(nb::handle value, nb::handle type, NoneAllowed none, const char* function,
                        const char* argument, const char* expected) {
    if ((none == NoneAllowed::yes && value.is_none()) || value.type().is(type)) return;
    raise_argument_type(function, argument, expected, value);
}

void require_no_control_characters(nb::handle value, const char* argument) {
    if (text::has_control_characters(utf8(value))) {
        raise(
            exc::value_error(),
            std::string(argument) + " must not contain control characters, not " + py::repr(value));
    }
}

std::optional<long long> require_count_or_none(nb::handle value, const char* function,
                                               const char* argument) {
    if (value.is_none()) return std::nullopt;
    if (!PyLong_CheckExact(value.ptr()))
        raise_argument_type(function, argument, "int or None", value);
    const std::optional<long long> count = small_int(value);
    if (!count || *count < 0) {
        raise(exc::value_error(),
              std::string(argument) + " must be 0 or more, not " + py::repr(value));
    }
    return count;
}

nb::object require_path(nb::handle value, const char* function, const char* argument) {
    if (!nb::isinstance<nb::str>(value) && !nb::isinstance(value, os_module.attr("PathLike"))) {
        raise_argument_type(function, argument, "str or os.PathLike", value);
    }
    return pathlib.attr("Path")(value);
}

}  // namespace orvane::py
