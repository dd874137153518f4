#include "native/domain/usd.h"

#include <cctype>
#include <string_view>

#include "native/fs.h"
#include "native/py.h"

namespace orvane::usd {

namespace {
py::CachedModule usd_module{"pxr.Usd"};
py::CachedModule sdf_module{"pxr.Sdf"};
py::CachedModule vt_module{"pxr.Vt"};
}  // namespace

nb::handle Usd() { return usd_module.get(); }
nb::handle Sdf() { return sdf_module.get(); }

const AttributeMethods& attribute_methods() {
    static const AttributeMethods methods = [] {
        nb::object type = Usd().attr("Attribute");
        // Kept for the life of the process, as the module is.
        auto method = [&](const char* name) { return nb::object(type.attr(name)).release(); };
        return AttributeMethods{method("Get"), method("GetDocumentation"), method("GetName"),
                                method("GetTypeName"), method("HasAuthoredValue")};
    }();
    return methods;
}

nb::object open_stage(nb::handle path_text) {
    // A FIFO or a device would block the reader or feed it without end.
    fs::require_regular_if_present(py::fs_path(path_text), "the USD file");
    return Usd().attr("Stage").attr("Open")(path_text);
}

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

nb::object new_custom_attribute(nb::handle prim_spec, nb::handle name, nb::handle type_name) {
    static nb::handle attribute_spec = sdf_module.attr("AttributeSpec").release();  // kept
    static nb::handle varying = sdf_module.attr("VariabilityVarying").release();    // kept
    return attribute_spec(prim_spec, name, type_name, varying, true);
}

nb::object attribute_default(nb::handle prim_spec, const char* name) {
    nb::object spec = prim_spec.attr("attributes").attr("get")(name);
    return py::truthy(spec) ? nb::object(spec.attr("default")) : nb::none();
}

nb::object string_array_appended(nb::handle entries, nb::handle entry) {
    nb::object array_type = vt_module.attr("StringArray");
    if (!entries.is_none() && !nb::isinstance(entries, array_type)) {
        nb::list copied(entries);
        copied.append(entry);
        return array_type(copied);
    }
    const std::size_t count = entries.is_none() ? 0 : nb::len(entries);
    nb::object grown = array_type(count + 1);
    if (count > 0) grown[nb::slice(nb::int_(0), nb::int_(count), nb::none())] = entries;
    grown[count] = entry;
    return grown;
}

ChangeBlock::ChangeBlock() : block_(Sdf().attr("ChangeBlock")()) { block_.attr("__enter__")(); }

ChangeBlock::~ChangeBlock() {
    try {
        block_.attr("__exit__")(nb::none(), nb::none(), nb::none());
    } catch (nb::python_error&) {
        // Ending a block cannot fail in a way worth more than the error in flight.
    }
}

void set_attribute_default(nb::handle prim_spec, nb::handle name, nb::handle value,
                           nb::handle type_name) {
    nb::setattr(get_or_create_attribute_spec(prim_spec, name, type_name), "default", value);
}

void save_layer(nb::handle layer) {
    if (!py::truthy(layer.attr("Save")())) {
        py::raise(py::exc::runtime_error(),
                  "Could not save layer " + py::display_text(layer.attr("identifier")));
    }
}

namespace {

bool is_save_file_name(std::string_view name, std::string_view stem) {
    if (name.size() != stem.size() + 7 || !name.starts_with(stem) || name[stem.size()] != '.')
        return false;
    for (char c : name.substr(stem.size() + 1)) {
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// What OpenUSD's save file holds: nothing yet, or the start of a text layer.
bool holds_layer_text(const std::string& path) {
    fs::ChunkReader reader;
    if (!reader.open(path)) return false;
    std::string head;
    if (reader.read(head, 5) < 0) return false;
    return head.empty() || head == "#usda";
}

}  // namespace

void discard_stale_save_files(nb::handle layer) {
    nb::object real_path = layer.attr("realPath");
    if (!py::truthy(real_path)) return;  // an anonymous layer has no file
    const std::string file = py::fs_path(real_path);
    const std::size_t slash = file.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : file.substr(0, slash);
    const std::string name = file.substr(slash + 1);
    const std::string stem = name.substr(0, name.rfind('.'));
    for (const std::string& entry : fs::list_directory(folder)) {
        if (!is_save_file_name(entry, stem)) continue;
        const std::string candidate = folder + "/" + entry;
        // Private to its writer (no access for others) and layer text.
        if (fs::is_regular_file(candidate) && !fs::others_may_access(candidate) &&
            holds_layer_text(candidate))
            fs::discard_tree(candidate);
    }
}

void reload_if_open(nb::handle path_text) {
    nb::object open = Sdf().attr("Layer").attr("Find")(path_text);
    if (!open.is_none()) open.attr("Reload")(true);
}

void copy_stage_metadata(nb::handle product_stage, nb::handle layer) {
    for (const char* key : {"metersPerUnit", "upAxis"}) {
        if (py::truthy(product_stage.attr("HasAuthoredMetadata")(key))) {
            layer.attr("pseudoRoot").attr("SetInfo")(key, product_stage.attr("GetMetadata")(key));
        }
    }
}

void require_layer_within(nb::handle layer, const std::string& folder) {
    nb::object real_path = layer.attr("realPath");
    const std::string file = fs::real_path(py::fs_path(real_path));
    const std::string inside = fs::real_path(folder) + "/";
    if (!file.starts_with(inside)) {
        py::raise(py::exc::value_error(),
                  "refusing to write " + file + ": it lies outside the product folder " + folder);
    }
}

}  // namespace orvane::usd
