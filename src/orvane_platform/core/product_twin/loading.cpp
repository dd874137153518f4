// Reading a product: the attribute scan, the design-intent declarations, the
// product name and sublayer lookup.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "declaration_scanner.h"
#include "native/domain/usd.h"
#include "native/fs.h"
#include "native/py.h"
#include "native/text.h"
#include "product_twin.h"

namespace orvane::product_twin {

namespace {

py::Name GetAttributes{"GetAttributes"};
py::CachedModule pathlib{"pathlib"};

// The sub-namespaces whose attributes are keyed by their short name, in
// priority order: a current value beats a target, which beats a parameter.
constexpr std::string_view kShortNameNamespaces[] = {"current", "target", "product"};
constexpr std::size_t kReadBytes = 1 << 16;

struct Candidate {
    nb::object key;
    nb::object value;
};

// Names declared in the text of `path`, or nothing when it cannot be read.
// Text that is not UTF-8 raises UnicodeDecodeError, as reading it as text would.
std::vector<std::string> declared_names(const std::string& path) {
    fs::ChunkReader reader;
    if (!reader.open(path)) return {};
    DeclarationScanner scanner;
    std::string buffer;
    std::size_t validated = 0;  // leading bytes of `buffer` known to be UTF-8
    while (true) {
        // Reading at least as much as is carried over keeps the rescans linear.
        const long count = reader.read(buffer, std::max(kReadBytes, buffer.size()));
        if (count < 0) return {};
        const bool at_end = count == 0;
        validated += py::validate_utf8(std::string_view(buffer).substr(validated),
                                       at_end ? py::AtEnd::yes : py::AtEnd::no);
        const std::size_t decided = scanner.scan(buffer, at_end);
        if (at_end) return scanner.names();
        // Bytes the decoder has not taken yet (a character cut off at the end)
        // stay even when the scanner is done with them: it skips them again
        // harmlessly while looking for the end of a line.
        const std::size_t dropped = std::min(decided, validated);
        buffer.erase(0, dropped);
        validated -= dropped;
    }
}

nb::dict scan_prim_attributes(nb::handle prim) {
    usd::require_prim(prim, "_scan_prim_attributes", "prim");
    nb::dict result;
    std::vector<Candidate> by_priority[std::size(kShortNameNamespaces)];
    std::vector<Candidate> bare;
    const usd::AttributeMethods& methods = usd::attribute_methods();
    for (nb::handle attribute : py::call_method(prim, GetAttributes)) {
        // Get() is None exactly when HasValue() is false: one call tells both.
        nb::object value = methods.get(attribute);
        if (value.is_none()) continue;
        nb::object name = methods.get_name(attribute);
        const std::string_view text = py::utf8(name);
        if (text.find(':') == std::string_view::npos) {
            bare.push_back({name, value});
            continue;
        }
        const std::vector<std::string_view> parts = text::split(text, ':');
        const std::string_view sub_namespace = parts[1];
        const std::string_view short_name = parts.back();
        std::size_t priority = 0;
        while (priority < std::size(kShortNameNamespaces) &&
               kShortNameNamespaces[priority] != sub_namespace) {
            ++priority;
        }
        if (priority == std::size(kShortNameNamespaces)) {
            result[py::make_str(text::replace_all(text, ':', '_'))] = value;
            continue;
        }
        by_priority[priority].push_back({py::make_str(short_name), value});
        if (sub_namespace == "target") {
            by_priority[priority].push_back(
                {py::make_str(std::string("target_").append(short_name)), value});
        }
    }
    // The first (highest-priority) value for a short name wins; keys of other
    // namespaces set above are kept, and bare names fill only free keys.
    for (const auto& candidates : by_priority) {
        for (const Candidate& candidate : candidates) {
            if (!result.contains(candidate.key)) {
                py::set_default(result, candidate.key, candidate.value);
            }
        }
    }
    for (const Candidate& candidate : bare) {
        if (!result.contains(candidate.key)) {
            py::set_default(result, candidate.key, candidate.value);
        }
    }
    return result;
}

nb::object design_intent_keys(nb::handle usda_path) {
    nb::object path = py::require_path(usda_path, "_design_intent_keys", "usda_path");
    nb::object design_intent =
        path.attr("parent") / nb::str("layers") / nb::str("design_intent.usda");
    std::string chosen = py::fs_path(design_intent);
    if (!fs::is_regular_file(chosen)) chosen = py::fs_path(path);  // a flat product
    nb::set keys;
    if (!fs::is_regular_file(chosen)) return keys;
    constexpr std::string_view kProductPrefix = "orvane:product:";
    for (const std::string& name : declared_names(chosen)) {
        if (name.starts_with(kProductPrefix)) {
            keys.add(py::make_str(std::string_view(name).substr(name.rfind(':') + 1)));
        } else if (name.find(':') == std::string::npos) {
            keys.add(py::make_str(name));
        }
    }
    return keys;
}

}  // namespace

nb::object load_product(nb::handle usda_path) {
    nb::object path = py::require_path(usda_path, "load_product", "usda_path");
    nb::str path_text(path);
    // The stage must outlive the prim: a prim of a released stage is invalid.
    nb::object stage = usd::open_stage(path_text);
    nb::object prim = stage.attr("GetDefaultPrim")();
    if (!py::truthy(prim)) return nb::dict();
    nb::dict result = scan_prim_attributes(prim);
    result["usd_file"] = path_text;
    result["_design_keys"] = design_intent_keys(path);
    return result;
}

nb::object product_name_from_path(nb::handle usda_path) {
    return py::require_path(usda_path, "product_name_from_path", "usda_path")
        .attr("parent")
        .attr("name");
}

nb::object find_layer_by_name(nb::handle stage, nb::handle name) {
    py::require_str(name, "_find_layer_by_name", "name");
    const std::string_view wanted = py::utf8(name);
    nb::object root = stage.attr("GetRootLayer")();
    nb::object root_dir = pathlib.attr("Path")(root.attr("realPath")).attr("parent");
    for (nb::handle sublayer : root.attr("subLayerPaths")) {
        const std::string_view path = py::utf8(sublayer);
        const std::string_view base = path.substr(path.rfind('/') + 1);  // os.path.basename
        if (base.substr(0, base.find('.')) == wanted) {
            return usd::Sdf().attr("Layer").attr("FindOrOpen")(nb::str(root_dir / sublayer));
        }
    }
    return nb::none();
}

void bind_loading(nb::module_& m) {
    m.def("load_product", &load_product, nb::arg("usda_path").none(),
          nb::sig("def load_product(usda_path: str | os.PathLike[str]) -> dict[str, typing.Any]"),
          R"(Read the product's composed stage into the product dictionary: every valued attribute
          of the default prim under its key, plus `usd_file` and `_design_keys`. Empty when the
          stage has no valid default prim.)");
    m.def("_scan_prim_attributes", &scan_prim_attributes, nb::arg("prim").none(),
          nb::sig("def _scan_prim_attributes(prim: pxr.Usd.Prim) -> dict[str, typing.Any]"),
          R"(Every valued attribute of a Usd.Prim, keyed by short name for the current, target and
          product namespaces (in that priority), by the full name with ':' made '_' for other
          namespaces, and by the plain name for un-namespaced attributes.)");
    m.def("_design_intent_keys", &design_intent_keys, nb::arg("usda_path").none(),
          nb::sig("def _design_intent_keys(usda_path: str | os.PathLike[str]) -> set[str]"),
          R"(The design-intent input names declared in the text of layers/design_intent.usda (or of
          the root file of a flat product): orvane:product: parameters by their short name and
          un-namespaced attributes. Empty when the file cannot be read.)");
    m.def("product_name_from_path", &product_name_from_path, nb::arg("usda_path").none(),
          nb::sig("def product_name_from_path(usda_path: str | os.PathLike[str]) -> str"),
          "The name of the folder that holds the product's root file.");
    m.def("_find_layer_by_name", &find_layer_by_name, nb::arg("stage").none(),
          nb::arg("name").none(),
          nb::sig("def _find_layer_by_name(stage: pxr.Usd.Stage, name: str) -> "
                  "pxr.Sdf.Layer | None"),
          R"(The root layer's first sublayer whose file name up to its first dot is `name`, opened;
          None when no sublayer matches or its file is missing.)");
}

}  // namespace orvane::product_twin
