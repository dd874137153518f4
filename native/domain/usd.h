// A thin layer over OpenUSD's Python objects (usd-core ships no C++ headers).
// Values that go back to callers stay Python objects.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace orvane::usd {

namespace nb = nanobind;

nb::handle Usd();
nb::handle Sdf();

// Usd.Stage.Open(path_text): the composed stage; OpenUSD's error propagates.
nb::object open_stage(nb::handle path_text);

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

// get_or_create_attribute_spec(...).default = value
void set_attribute_default(nb::handle prim_spec, nb::handle name, nb::handle value,
                           nb::handle type_name);

// layer.Save(), raising RuntimeError naming the layer when it reports failure.
void save_layer(nb::handle layer);

// Runs `edit` on `layer` and saves it. When anything fails, the layer is
// reloaded from disk, so no half-made edit stays in memory for a later save.
template <typename Edit>
void edit_and_save(nb::handle layer, Edit&& edit) {
    try {
        edit();
        save_layer(layer);
    } catch (...) {
        layer.attr("Reload")(true);
        throw;
    }
}

// A layer file written from scratch, all or nothing: the file is opened (or
// created when missing) and cleared, `build` authors its content, and it is
// saved. When anything fails, an existing file keeps its old content (on disk
// and in memory) and a new one is removed.
class LayerRewrite {
  public:
    explicit LayerRewrite(nb::handle path_text);
    // False when OpenUSD could neither open nor create the layer.
    bool opened() const { return layer_.is_valid(); }
    bool existed() const { return existed_; }

    // Runs build(layer) on the cleared layer and saves it; rolls back and
    // rethrows when anything fails.
    template <typename Build>
    void write(Build&& build) {
        try {
            layer_.attr("Clear")();
            build(nb::handle(layer_));
            save_layer(layer_);
        } catch (...) {
            roll_back();
            throw;
        }
    }

  private:
    void roll_back() noexcept;

    std::string file_;
    bool existed_;
    nb::object layer_;
};

}  // namespace orvane::usd
