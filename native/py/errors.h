// Raising and catching Python exceptions: the builtin exception classes, raise
// with a message built from typed text, and the `with` statement's error flow.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace orvane::py {

namespace nb = nanobind;

// The builtin exception classes the platform raises or catches.
namespace exc {
nb::handle base_exception();
nb::handle exception();
nb::handle value_error();
nb::handle type_error();
nb::handle overflow_error();
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
// helpers (text, repr, display_text, std::to_string); an undecodable byte
// shows as U+FFFD.
[[noreturn]] void raise(nb::handle type, std::string_view message);

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

}  // namespace orvane::py
