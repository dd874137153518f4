// The product model: a product's USD layers read into the product dictionary,
// results written back, the results history, and comparisons.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::product_twin {

namespace nb = nanobind;

nb::object load_product(nb::handle usda_path);
nb::dict scan_prim_attributes(nb::handle prim);
nb::object design_intent_keys(nb::handle usda_path);
nb::object product_name_from_path(nb::handle usda_path);
nb::object find_layer_by_name(nb::handle stage, nb::handle name);

// The entries of a string-array attribute spec of `prim_spec`; empty when the
// spec is missing or has no value.
nb::list string_array_default(nb::handle prim_spec, const char* name);
// The layer that holds results: the prototype sublayer, else the root layer
// (a flat product).
nb::object results_layer(nb::handle stage);

void write_provenance_attrs(nb::handle prim, nb::handle kv, nb::handle ns);
nb::object write_domain_results(nb::handle usda_path, nb::handle domain, nb::handle kpis,
                                nb::handle solver, nb::handle provenance, nb::handle assumptions,
                                nb::handle extra_meta, nb::handle save_target,
                                nb::handle parameters, nb::handle only_missing_targets,
                                nb::handle converged);
bool layer_has_target(nb::handle prim_spec, nb::handle kpi_key);
bool layer_hand_set_target(nb::handle prim_spec, nb::handle kpi_key);
nb::object layer_derived_target_image(nb::handle prim_spec, nb::handle kpi_key);

nb::object load_product_history(nb::handle usda_path);
nb::object clean_history(nb::handle usda_path, nb::handle keep_days);
bool tag_baseline(nb::handle usda_path, nb::handle domain, nb::handle kpis, nb::handle timestamp);

nb::object diff_products(nb::handle path_a, nb::handle path_b, nb::handle attrs);
nb::object diff_against_benchmark(nb::handle usda_path, nb::handle competitor_name);

}  // namespace orvane::product_twin
