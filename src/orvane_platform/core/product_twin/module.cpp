// orvane_platform.core.product_twin: the product interface of the platform.
#include <nanobind/nanobind.h>

#include "native/py.h"
#include "product_twin.h"

namespace nb = nanobind;
using namespace orvane;

NB_MODULE(product_twin, m) {
    m.doc() = "The product model: a product's USD stage read into one flat dictionary.";
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
}
