#include "native/domain/services.h"

#include "native/py.h"

namespace orvane::services {

namespace {
py::CachedModule sys_module{"sys"};
}

nb::object Import::get() const { return py::import_from(module_, name_); }

nb::object Import::get_if_loaded() const {
    nb::object module = py::dict_get(sys_module.attr("modules"), module_);
    return module.is_valid() ? nb::object(module.attr(name_)) : nb::object();
}

void Import::set(nb::handle value) const {
    nb::setattr(nb::module_::import_(module_), name_, value);
}

}  // namespace orvane::services
