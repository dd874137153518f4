// The product model: a product's USD layers read into the product dictionary,
// results written back, the results history, and comparisons. Each file of
// the module registers its own functions.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::product_twin {

namespace nb = nanobind;

inline constexpr const char* kLoggerName = "orvane_platform.core.product_twin";
inline constexpr const char* kHistoryAttribute = "resultsHistory";

// Shared between the files of the module.
nb::object load_product(nb::handle usda_path);
nb::object product_name_from_path(nb::handle usda_path);
nb::object find_layer_by_name(nb::handle stage, nb::handle name);
void write_provenance_attrs(nb::handle prim, nb::handle kv, nb::handle ns);
// The entries of a string-array attribute spec of `prim_spec`; empty when the
// spec is missing or has no value.
nb::list string_array_default(nb::handle prim_spec, const char* name);

void bind_loading(nb::module_& m);
void bind_writing(nb::module_& m);
void bind_history(nb::module_& m);
void bind_diffs(nb::module_& m);
void bind_locking(nb::module_& m);

}  // namespace orvane::product_twin
