// orvane_platform.core.product_twin: the product interface of the platform.
#include <nanobind/nanobind.h>

#include "native/py.h"
#include "product_twin.h"

namespace nb = nanobind;
using namespace orvane;

NB_MODULE(product_twin, m) {
    m.doc() =
        "The product model: a product's USD stage read into one flat dictionary, solver results "
        "written into its layers, the results history, and product comparisons.";
    m.attr("logger") = py::import_from("logging", "getLogger")("orvane_platform.core.product_twin");

    m.def("load_product", &product_twin::load_product, nb::arg("usda_path").none(),
          nb::sig("def load_product(usda_path: str | os.PathLike[str]) -> dict[str, typing.Any]"),
          "Read the product's composed stage into the product dictionary: every valued attribute "
          "of the default prim under its key, plus `usd_file` and `_design_keys`. Empty when the "
          "stage has no valid default prim.");
    m.def("_scan_prim_attributes", &product_twin::scan_prim_attributes, nb::arg("prim").none(),
          nb::sig("def _scan_prim_attributes(prim: pxr.Usd.Prim) -> dict[str, typing.Any]"),
          "Every valued attribute of a Usd.Prim, keyed by short name for the current, target "
          "and product namespaces (in that priority), by the full name with ':' made '_' for "
          "other namespaces, and by the plain name for un-namespaced attributes.");
    m.def("_design_intent_keys", &product_twin::design_intent_keys, nb::arg("usda_path").none(),
          nb::sig("def _design_intent_keys(usda_path: str | os.PathLike[str]) -> set[str]"),
          "The design-intent input names declared in the text of layers/design_intent.usda (or "
          "of the root file of a flat product): orvane:product: parameters by their short name "
          "and un-namespaced attributes. Empty when the file cannot be read.");
    m.def("product_name_from_path", &product_twin::product_name_from_path,
          nb::arg("usda_path").none(),
          nb::sig("def product_name_from_path(usda_path: str | os.PathLike[str]) -> str"),
          "The name of the folder that holds the product's root file.");
    m.def("_find_layer_by_name", &product_twin::find_layer_by_name, nb::arg("stage").none(),
          nb::arg("name").none(),
          nb::sig("def _find_layer_by_name(stage: pxr.Usd.Stage, name: str) -> "
                  "pxr.Sdf.Layer | None"),
          "The root layer's first sublayer whose file name up to its first dot is `name`, "
          "opened; None when no sublayer matches or its file is missing.");

    m.def("write_domain_results", &product_twin::write_domain_results, nb::arg("usda_path").none(),
          nb::arg("domain").none(), nb::arg("kpis").none(), nb::arg("solver").none() = "",
          nb::arg("provenance").none() = nb::none(), nb::arg("assumptions").none() = nb::none(),
          nb::arg("extra_meta").none() = nb::none(), nb::arg("save_target").none() = "prototype",
          nb::arg("parameters").none() = nb::none(), nb::arg("only_missing_targets").none() = false,
          nb::arg("converged").none() = true,
          nb::sig("def write_domain_results(usda_path: str | os.PathLike[str], domain: str, kpis: "
                  "dict[str, typing.Any], solver: str = '', provenance: dict[str, typing.Any] | "
                  "None = None, assumptions: dict[str, typing.Any] | None = None, extra_meta: "
                  "dict[str, typing.Any] | None = None, save_target: str = 'prototype', "
                  "parameters: dict[str, typing.Any] | None = None, only_missing_targets: bool = "
                  "False, converged: bool = True) -> None"),
          "Write one run's KPI values into the product's `save_target` sublayer (prototype, "
          "benchmark, or design_intent for derived ±10% targets), with status and provenance "
          "attributes and one results-history entry. Only that layer is saved; a call that "
          "raises leaves every file as it was.");
    m.def("write_provenance_attrs", &product_twin::write_provenance_attrs, nb::arg("prim").none(),
          nb::arg("kv").none(), nb::kw_only(), nb::arg("ns").none() = "orvane:provenance",
          nb::sig("def write_provenance_attrs(prim: pxr.Sdf.PrimSpec | pxr.Usd.Prim, kv: "
                  "dict[str, typing.Any] | None, *, ns: str = 'orvane:provenance') -> None"),
          "Author each item of `kv` as the string attribute `<ns>:<key>` on a prim spec or a "
          "prim. Nothing is saved.");
    m.def("_layer_has_target", &product_twin::layer_has_target, nb::arg("prim_spec").none(),
          nb::arg("kpi_key").none(),
          nb::sig("def _layer_has_target(prim_spec: pxr.Sdf.PrimSpec, kpi_key: str) -> bool"),
          "Whether the layer's prim spec carries a range target for the KPI (target_<kpi>_* or "
          "orvane:target:<kpi>_*, not the _tol ones).");
    m.def("_layer_hand_set_target", &product_twin::layer_hand_set_target,
          nb::arg("prim_spec").none(), nb::arg("kpi_key").none(),
          nb::sig("def _layer_hand_set_target(prim_spec: pxr.Sdf.PrimSpec, kpi_key: str) -> bool"),
          "Whether the prim spec carries a hand-set target orvane:target:<kpi> or "
          "orvane:target:<kpi>_*.");
    m.def("_layer_derived_target_image", &product_twin::layer_derived_target_image,
          nb::arg("prim_spec").none(), nb::arg("kpi_key").none(),
          nb::sig("def _layer_derived_target_image(prim_spec: pxr.Sdf.PrimSpec, kpi_key: str) -> "
                  "str | None"),
          "The image a derived target came from (orvane:target_src:<kpi>), or None when the "
          "prim spec has no marker.");

    m.def("load_product_history", &product_twin::load_product_history, nb::arg("usda_path").none(),
          nb::sig("def load_product_history(usda_path: str | os.PathLike[str]) -> "
                  "list[dict[str, typing.Any]]"),
          "The results history as records (raw, timestamp, lower-cased key=value pairs, type, "
          "domain), prototype entries then benchmark ones, oldest first.");
    m.def("clean_history", &product_twin::clean_history, nb::arg("usda_path").none(),
          nb::arg("keep_days").none() = 90,
          nb::sig("def clean_history(usda_path: str | os.PathLike[str], keep_days: int = 90) -> "
                  "dict[str, typing.Any]"),
          "Deduplicate the results history and drop entries older than `keep_days`; 0 wipes the "
          "history together with the current results. Returns a summary.");
    m.def("tag_baseline", &product_twin::tag_baseline, nb::arg("usda_path").none(),
          nb::arg("domain").none(), nb::arg("kpis").none(), nb::kw_only(),
          nb::arg("timestamp").none() = nb::none(),
          nb::sig("def tag_baseline(usda_path: str | os.PathLike[str], domain: str, kpis: "
                  "dict[str, float], *, timestamp: datetime.datetime | None = None) -> bool"),
          "Append one baseline-promotion entry to orvane:baseline:history; False when the "
          "product has no default prim or results layer for it.");

    m.def(
        "diff_products", &product_twin::diff_products, nb::arg("path_a").none(),
        nb::arg("path_b").none(), nb::arg("attrs").none() = nb::none(),
        nb::sig("def diff_products(path_a: str | os.PathLike[str], path_b: str | "
                "os.PathLike[str], attrs: list[str] | None = None) -> dict[str, tuple[typing.Any, "
                "typing.Any, typing.Any]]"),
        "(first, second, first - second) per product-dictionary key: the keys in `attrs`, or "
        "every key numeric in both.");
    m.def("diff_against_benchmark", &product_twin::diff_against_benchmark,
          nb::arg("usda_path").none(), nb::arg("competitor_name").none(),
          nb::sig("def diff_against_benchmark(usda_path: str | os.PathLike[str], "
                  "competitor_name: str) -> dict[str, tuple[typing.Any, typing.Any, typing.Any]]"),
          "(own, competitor, own - competitor) per attribute shared with the competitor prim "
          "Competitors/<name>, provenance left out.");
}
