// Plain Python classes defined from C++: real `type` objects (no nanobind
// instance layout), so users can subclass, mix in, compare and patch them.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::py {

namespace nb = nanobind;

class ClassBuilder {
  public:
    // type(name, bases, {...}) in `module`. With `layout_free`, the class
    // declares `__slots__ = ()`: it adds no instance layout, so it mixes in
    // with any other bases.
    ClassBuilder(nb::module_& module, const char* name, const char* doc,
                 nb::handle bases = nb::tuple(), bool layout_free = false)
        : module_(module) {
        nb::dict namespace_;
        namespace_["__module__"] = module.attr("__name__");
        namespace_["__qualname__"] = name;
        namespace_["__doc__"] = doc;
        if (layout_free) namespace_["__slots__"] = nb::tuple();
        class_ = nb::borrow<nb::object>(reinterpret_cast<PyObject*>(&PyType_Type))(name, bases,
                                                                                   namespace_);
    }

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
        nb::setattr(
            class_, name,
            nb::borrow<nb::object>(reinterpret_cast<PyObject*>(&PyStaticMethod_Type))(function));
        return *this;
    }

    // A read-only property computed by `getter(self)`.
    template <typename F>
    ClassBuilder& property(const char* name, F&& getter, const char* doc) {
        nb::object fget =
            nb::cpp_function(std::forward<F>(getter), nb::is_method(), nb::name(name));
        nb::object builtins_property =
            nb::borrow<nb::object>(reinterpret_cast<PyObject*>(&PyProperty_Type));
        nb::setattr(class_, name, builtins_property(fget, nb::none(), nb::none(), doc));
        return *this;
    }

    // The class, also set as the module attribute of its name.
    nb::object finish() {
        module_.attr(nb::str(class_.attr("__name__"))) = class_;
        return class_;
    }

  private:
    nb::module_& module_;
    nb::object class_;
};

// A genuine dataclass (dataclasses.make_dataclass): `fields` is a list of
// (name, type) or (name, type, dataclasses.field(...)) tuples; `namespace_`
// adds methods such as class methods. Set as the module attribute `name`.
inline nb::object make_dataclass(nb::module_& module, const char* name, const char* doc,
                                 nb::list fields, nb::dict namespace_ = nb::dict()) {
    nb::object dataclasses = nb::module_::import_("dataclasses");
    nb::object made =
        dataclasses.attr("make_dataclass")(name, fields, nb::arg("namespace") = namespace_);
    made.attr("__module__") = module.attr("__name__");
    made.attr("__qualname__") = name;
    made.attr("__doc__") = doc;
    module.attr(name) = made;
    return made;
}

// classmethod(f): `f` receives the class first.
template <typename F, typename... Extra>
nb::object class_method(const char* name, F&& f, const Extra&... extra) {
    nb::object function = nb::cpp_function(std::forward<F>(f), nb::name(name), extra...);
    return nb::borrow<nb::object>(reinterpret_cast<PyObject*>(&PyClassMethod_Type))(function);
}

}  // namespace orvane::py
