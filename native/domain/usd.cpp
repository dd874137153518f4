#include "native/domain/usd.h"

#include "native/fs.h"
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
        py::raise(py::exc::runtime_error(), "Could not save layer %S",
                  layer.attr("identifier").ptr());
    }
}

LayerRewrite::LayerRewrite(nb::handle path_text)
    : file_(py::fs_path(path_text)), existed_(fs::exists(file_)) {
    nb::object layer_type = Sdf().attr("Layer");
    nb::object layer = existed_ ? layer_type.attr("FindOrOpen")(path_text)
                                : layer_type.attr("CreateNew")(path_text);
    if (!layer.is_none()) layer_ = layer;
}

void LayerRewrite::roll_back() noexcept {
    try {
        layer_.attr("Reload")(true);
    } catch (nb::python_error&) {
        // The file on disk is what matters: it was never replaced.
    }
    if (!existed_) fs::discard_tree(file_);
}

}  // namespace orvane::usd
