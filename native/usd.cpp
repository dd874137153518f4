#include "native/usd.h"

#include "native/py.h"

namespace orvane::usd {

namespace {
py::CachedModule usd_module{"pxr.Usd"};
py::CachedModule sdf_module{"pxr.Sdf"};
}  // namespace

nb::handle Usd() { return usd_module.get(); }
nb::handle Sdf() { return sdf_module.get(); }

nb::object open_stage(nb::handle path_text) { return Usd().attr("Stage").attr("Open")(path_text); }

void require_prim(nb::handle prim, const char* function, const char* argument) {
    if (!nb::isinstance(prim, Usd().attr("Prim"))) {
        py::raise_argument_type(function, argument, "Usd.Prim", prim);
    }
}

nb::object find_prim_spec(nb::handle layer, nb::handle prim_path) {
    nb::object spec = layer.attr("GetPrimAtPath")(prim_path);
    return spec.is_none() ? nb::object() : spec;
}

nb::object value_type(const char* name) { return Sdf().attr("ValueTypeNames").attr(name); }

nb::object get_or_create_attribute_spec(nb::handle prim_spec, nb::handle name,
                                        nb::handle type_name) {
    nb::object existing = prim_spec.attr("attributes").attr("get")(name);
    if (py::truthy(existing)) return existing;
    return Sdf().attr("AttributeSpec")(prim_spec, name, type_name);
}

void set_attribute_default(nb::handle prim_spec, nb::handle name, nb::handle value,
                           nb::handle type_name) {
    nb::setattr(get_or_create_attribute_spec(prim_spec, name, type_name), "default", value);
}

void save_layer(nb::handle layer) {
    if (!py::truthy(layer.attr("Save")())) {
        PyErr_Format(PyExc_RuntimeError, "Could not save layer %S", layer.attr("identifier").ptr());
        throw nb::python_error();
    }
}

}  // namespace orvane::usd
