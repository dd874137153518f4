// Plain Python classes defined from C++: classes, dataclasses, class methods
// and exception classes, as a Python module would define them.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

#include "native/py/types.h"

namespace orvane::py {

namespace nb = nanobind;

// Real `type` objects (no nanobind instance layout), so users can subclass,
// mix in, compare and patch them.
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
