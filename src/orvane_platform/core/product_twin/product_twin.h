// The product model: a product's USD layers read into the product dictionary.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::product_twin {

namespace nb = nanobind;

nb::object load_product(nb::handle usda_path);
nb::dict scan_prim_attributes(nb::handle prim);
nb::object design_intent_keys(nb::handle usda_path);
nb::object product_name_from_path(nb::handle usda_path);
nb::object find_layer_by_name(nb::handle stage, nb::handle name);

}  // namespace orvane::product_twin
