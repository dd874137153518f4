// The boundary to the CPython C API: native/py.h and the headers under
// native/py/ are the only code that calls it. Every operation there either
// succeeds or raises the pending Python exception as nb::python_error, so no
// caller can drop a -1 or a null result and leave an exception set behind.
// Module code includes this header and uses these and nanobind's own checked
// API (`a.equal(b)`, `a < b`, `a - b`, `dict.contains(k)`,
// `nb::isinstance<nb::str>(v)`); native/py/detail.h is for native/py alone.
#pragma once

#include "native/py/arguments.h"
#include "native/py/classes.h"
#include "native/py/containers.h"
#include "native/py/errors.h"
#include "native/py/modules.h"
#include "native/py/operations.h"
#include "native/py/text.h"
#include "native/py/types.h"
#include "native/py/walk.h"
