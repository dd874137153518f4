// The host's builtin types, for calls (`dict_type()(mapping)`) and identity
// checks (`value.type().is(int_type())`).
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::py {

namespace nb = nanobind;

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

}  // namespace orvane::py
