#include "native/py/classes.h"

#include "native/py/modules.h"

namespace orvane::py {

namespace {
CachedModule dataclasses_module{"dataclasses"};
}

ClassBuilder::ClassBuilder(nb::module_& module, const char* name, const char* doc, nb::handle bases,
                           Layout layout)
    : module_(module) {
    nb::dict namespace_;
    namespace_["__module__"] = module.attr("__name__");
    namespace_["__qualname__"] = name;
    namespace_["__doc__"] = doc;
    if (layout == Layout::none) namespace_["__slots__"] = nb::tuple();
    class_ = type_type()(name, bases, namespace_);
}

nb::object ClassBuilder::finish() {
    module_.attr(nb::str(class_.attr("__name__"))) = class_;
    return class_;
}

nb::object make_dataclass(nb::module_& module, const char* name, const char* doc, nb::list fields,
                          nb::dict namespace_) {
    nb::object made =
        dataclasses_module.attr("make_dataclass")(name, fields, nb::arg("namespace") = namespace_);
    made.attr("__module__") = module.attr("__name__");
    made.attr("__qualname__") = name;
    made.attr("__doc__") = doc;
    module.attr(name) = made;
    return made;
}

nb::object make_exception_class(nb::module_& module, const char* name, nb::handle base,
                                const char* doc) {
    nb::dict namespace_;
    namespace_["__module__"] = module.attr("__name__");
    namespace_["__doc__"] = doc;
    nb::object made = type_type()(name, nb::make_tuple(base), namespace_);
    module.attr(name) = made;
    return made;
}

}  // namespace orvane::py
