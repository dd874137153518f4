#include "native/domain/services.h"

#include "native/py.h"

namespace orvane::services {

nb::object Import::get() const { return py::import_from(module_, name_); }

}  // namespace orvane::services
