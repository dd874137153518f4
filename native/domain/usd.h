// A thin layer over OpenUSD's Python objects (usd-core ships no C++ headers).
// Values that go back to callers stay Python objects.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "native/fs.h"
#include "native/py.h"

namespace orvane::usd {

namespace nb = nanobind;

nb::handle Usd();
nb::handle Sdf();

// Usd.Stage.Open(path_text): the composed stage; OpenUSD's error propagates.
// A path that exists but is not a regular file raises ValueError at once.
nb::object open_stage(nb::handle path_text);

// Usd.Attribute's methods, called with the attribute as their argument. A
// call through the instance first passes Usd's validity check on attribute
// lookup; walks over the attributes of a prim known valid skip it.
struct AttributeMethods {
    nb::handle get, get_documentation, get_name, get_type_name, has_authored_value;
};
const AttributeMethods& attribute_methods();

// Raises TypeError naming the argument unless `prim` is a Usd.Prim.
void require_prim(nb::handle prim, const char* function, const char* argument);

// layer.GetPrimAtPath(path), or an invalid object when the layer has none.
nb::object find_prim_spec(nb::handle layer, nb::handle prim_path);

// Sdf.ValueTypeNames.<name>, for example "Double" or "StringArray".
nb::object value_type(const char* name);

// The attribute spec `name` on `prim_spec`, created with `type_name` when it
// is missing (an existing spec keeps its type).
nb::object get_or_create_attribute_spec(nb::handle prim_spec, nb::handle name,
                                        nb::handle type_name);

// A new custom attribute spec, as UsdPrim.CreateAttribute authors one:
// Sdf.AttributeSpec(prim_spec, name, type_name, Sdf.VariabilityVarying, True).
nb::object new_custom_attribute(nb::handle prim_spec, nb::handle name, nb::handle type_name);

// The default value of the attribute spec `name` of `prim_spec`, or None.
nb::object attribute_default(nb::handle prim_spec, const char* name);

// `entries` (a Vt.StringArray, or None for none) with `entry` after them, as
// a new Vt.StringArray: the old entries are copied inside OpenUSD, never
// through the host's objects. Another sequence is copied item by item.
nb::object string_array_appended(nb::handle entries, nb::handle entry);

// Holds an Sdf.ChangeBlock for its lifetime: the edits inside are announced
// to OpenUSD once, when it ends, instead of one by one.
class ChangeBlock {
  public:
    ChangeBlock();
    ~ChangeBlock();
    ChangeBlock(const ChangeBlock&) = delete;
    ChangeBlock& operator=(const ChangeBlock&) = delete;

  private:
    nb::object block_;
};

// get_or_create_attribute_spec(...).default = value
void set_attribute_default(nb::handle prim_spec, nb::handle name, nb::handle value,
                           nb::handle type_name);

// layer.Save(), raising RuntimeError naming the layer when it reports failure.
void save_layer(nb::handle layer);

// Removes what a save killed half-way left beside the layer's file: OpenUSD
// writes "<name>.XXXXXX" there and renames it over the file.
void discard_stale_save_files(nb::handle layer);

// Reloads the layer of `path_text` if this process has it open.
void reload_if_open(nb::handle path_text);

// Runs `edit` on `layer` and saves it. When anything fails, the layer is
// reloaded from disk, so no half-made edit stays in memory for a later save.
// Call with the product locked: save files that a killed writer left beside
// the layer are removed first.
template <typename Edit>
void edit_and_save(nb::handle layer, Edit&& edit) {
    discard_stale_save_files(layer);
    try {
        edit();
        save_layer(layer);
    } catch (...) {
        layer.attr("Reload")(true);
        throw;
    }
}

// Writes the layer file at `path_text` from scratch, all or nothing: `build`
// authors an empty anonymous layer, whose text then replaces the file in one
// step (fs::write_file_atomic). A copy of the file already open in this
// process is reloaded. With Existing::keep an existing file stays, nothing is
// written, and the call returns false.
template <typename Build>
bool write_layer_file(nb::handle path_text, Build&& build, fs::Existing existing) {
    nb::object layer = Sdf().attr("Layer").attr("CreateAnonymous")(".usda");
    build(nb::handle(layer));
    nb::object text = layer.attr("ExportToString")();
    if (!fs::write_file_atomic(py::fs_path(path_text), py::utf8(text), 0644, existing))
        return false;
    reload_if_open(path_text);
    return true;
}

// Gives `layer` the stage metadata a product authors (its units and up
// axis), so that a file made from the product is read at the same scale.
void copy_stage_metadata(nb::handle product_stage, nb::handle layer);

// Raises ValueError unless the file of `layer` lies inside `folder` (both
// with symbolic links resolved): nothing is written out of a product.
void require_layer_within(nb::handle layer, const std::string& folder);

}  // namespace orvane::usd
