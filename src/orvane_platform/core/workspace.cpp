// Stands in for the surrounding package's workspace service: the folder the
// platform works in, found the way git finds its folder, and the settings its
// orvane.yaml names. The real one is the package's project and settings
// manager.
#include <nanobind/nanobind.h>

#include <charconv>
#include <string>
#include <string_view>

#include "native/domain/services.h"
#include "native/fs.h"
#include "native/py.h"
#include "native/yaml.h"
#include "native/yaml_cache.h"

namespace nb = nanobind;
using namespace orvane;

namespace {

constexpr const char* kFileName = "orvane.yaml";

yaml_cache::FileCache workspace_files;
py::CachedModule pathlib{"pathlib"};
py::CachedModule os_module{"os"};
py::CachedModule yaml_module{"yaml"};

nb::object products_dir();

nb::object llm_config_field(const char* name) { return services::llm::config().attr(name); }

// What a setting's value is: a folder (relative to the workspace in the
// file), text, or a count (a whole number from 1 to kMaxCount).
enum class Kind { folder, text, count };

constexpr long long kMaxCount = 1000000;

// One setting: its key in orvane.yaml, the variable that overrides it, its
// kind, and what applies when neither sets it.
struct Setting {
    const char* key;
    const char* variable;
    Kind kind;
    nb::object (*fallback)();
};

constexpr Setting kSettings[] = {
    {"workspace", "ORVANE_WORKSPACE", Kind::folder,
     [] { return pathlib.attr("Path").attr("cwd")(); }},
    {"home", "ORVANE_HOME", Kind::folder, [] { return services::paths::orvane_home.get(); }},
    {"solvers", "ORVANE_SOLVERS_DIR", Kind::folder,
     [] { return services::solver_registry::registry_dir(); }},
    {"products", "ORVANE_PRODUCTS_DIR", Kind::folder, [] { return products_dir(); }},
    {"llm_model", "ORVANE_LLM_MODEL", Kind::text, [] { return llm_config_field("model"); }},
    {"ollama_url", "ORVANE_OLLAMA_URL", Kind::text, [] { return llm_config_field("base_url"); }},
    {"target_refresh", "ORVANE_TARGET_REFRESH", Kind::text,
     [] { return services::gateway::resolve_target_refresh(); }},
    // A model that keeps asking for tools must not run simulations without end.
    {"agent_max_tool_calls_per_turn", "ORVANE_AGENT_MAX_TOOL_CALLS_PER_TURN", Kind::count,
     [] { return nb::object(nb::int_(8)); }},
    {"agent_max_tool_calls", "ORVANE_AGENT_MAX_TOOL_CALLS", Kind::count,
     [] { return nb::object(nb::int_(40)); }},
    // About 16,000 tokens: old tool output is trimmed to keep a request under it.
    {"agent_max_request_chars", "ORVANE_AGENT_MAX_REQUEST_CHARS", Kind::count,
     [] { return nb::object(nb::int_(64000)); }},
};

// Where the search starts: `start`, else the workspace the environment names,
// else the current directory.
nb::object start_folder(nb::handle start) {
    if (start.is_none()) {
        nb::object named = py::environment_value("ORVANE_WORKSPACE");
        if (named.is_valid()) return pathlib.attr("Path")(named).attr("absolute")();
        return pathlib.attr("Path").attr("cwd")();
    }
    return py::require_path(start, "find_workspace", "start").attr("absolute")();
}

nb::object find_workspace(nb::handle start) {
    nb::object folder = start_folder(start);
    while (true) {
        if (fs::is_regular_file(py::fs_path(folder / nb::str(kFileName)))) return folder;
        nb::object parent = folder.attr("parent");
        if (parent.equal(folder)) return nb::none();
        folder = parent;
    }
}

// The settings orvane.yaml holds, as texts; empty without a workspace file.
nb::dict file_settings(nb::handle workspace) {
    nb::dict found;
    if (workspace.is_none()) return found;
    const std::string file = py::fs_path(workspace / nb::str(kFileName));
    nb::object document = workspace_files.load_mapping(file);
    if (!document.is_valid()) return found;
    for (const Setting& setting : kSettings) {
        nb::object value = py::dict_get(document, setting.key);
        if (!value.is_valid() || value.is_none()) continue;
        if (!nb::isinstance<nb::str>(value) && !py::is_number(value)) {
            py::raise(py::exc::value_error(), "malformed " + file + ": '" + setting.key +
                                                  "' must be text, not " + py::type_name_of(value));
        }
        nb::str text(value);
        found[setting.key] =
            setting.kind == Kind::folder
                ? nb::str(workspace / pathlib.attr("Path")(text).attr("expanduser")())
                : text;
    }
    if (!found.contains("workspace")) found["workspace"] = nb::str(workspace);
    return found;
}

// A setting's value in effect and where it comes from.
nb::dict effective_setting(const Setting& setting, nb::handle from_file) {
    nb::dict entry;
    entry["variable"] = setting.variable;
    nb::object configured = py::environment_value(setting.variable);
    nb::object in_file = py::dict_get(from_file, setting.key);
    // A variable holding the file's value was put there by activate().
    if (configured.is_valid() && !(in_file.is_valid() && configured.equal(in_file))) {
        entry["value"] = configured;
        entry["source"] = "environment";
    } else if (in_file.is_valid()) {
        entry["value"] = in_file;
        entry["source"] = "file";
    } else {
        entry["value"] = nb::str(setting.fallback());
        entry["source"] = "default";
    }
    return entry;
}

nb::object settings(nb::handle start) {
    nb::dict from_file = file_settings(find_workspace(start));
    nb::dict effective;
    for (const Setting& setting : kSettings)
        effective[setting.key] = effective_setting(setting, from_file);
    return effective;
}

nb::object count_setting(nb::handle key) {
    py::require_str(key, "count_setting", "key");
    const Setting* found = nullptr;
    for (const Setting& setting : kSettings) {
        if (setting.kind == Kind::count && key.equal(nb::str(setting.key))) found = &setting;
    }
    if (found == nullptr) py::raise(py::exc::value_error(), "no count setting " + py::repr(key));
    nb::dict entry = effective_setting(*found, file_settings(find_workspace(nb::none())));
    nb::object value = entry["value"];
    const std::string_view text = py::utf8(value);
    long long count = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || count < 1 ||
        count > kMaxCount) {
        const std::string where = entry["source"].equal(nb::str("file"))
                                      ? std::string(kFileName)
                                      : std::string(found->variable);
        py::raise(py::exc::value_error(),
                  std::string(found->key) + " must be a whole number from 1 to " +
                      std::to_string(kMaxCount) + ", not " + py::repr(value) + " (" + where + ")");
    }
    return nb::int_(count);
}

nb::object activate(nb::handle start, bool override_environment) {
    nb::object workspace = find_workspace(start);
    nb::dict from_file = file_settings(workspace);
    nb::object environ = os_module.attr("environ");
    bool changed = false;
    for (const Setting& setting : kSettings) {
        nb::object in_file = py::dict_get(from_file, setting.key);
        if (!in_file.is_valid()) continue;
        if (!override_environment && py::environment_value(setting.variable).is_valid()) continue;
        environ[setting.variable] = in_file;
        changed = true;
        // The home folder is read when the paths module loads: tell it too.
        if (std::string_view(setting.key) == "home")
            services::paths::orvane_home.set(pathlib.attr("Path")(in_file));
    }
    // Settings read before now were read from the old environment.
    nb::object gateway_config = services::gateway::gateway_config.get_if_loaded();
    if (changed && gateway_config.is_valid()) gateway_config.attr("cache_clear")();
    return workspace;
}

nb::object products_dir() {
    nb::object configured = py::environment_value("ORVANE_PRODUCTS_DIR");
    if (configured.is_valid()) return pathlib.attr("Path")(configured);
    nb::object workspace = py::environment_value("ORVANE_WORKSPACE");
    nb::object root =
        workspace.is_valid() ? pathlib.attr("Path")(workspace) : pathlib.attr("Path").attr("cwd")();
    return root / nb::str("products");
}

// A product folder's root file: <folder>/<folder name>.usda, else the only
// .usda file in it.
nb::object root_file_of(nb::handle folder) {
    nb::object named = folder / py::concat(folder.attr("name"), nb::str(".usda"));
    if (py::truthy(named.attr("is_file")())) return named;
    nb::list candidates(folder.attr("glob")("*.usda"));
    if (nb::len(candidates) == 1) return candidates[0];
    return nb::none();
}

nb::object resolve_product(nb::handle argument) {
    nb::object given = py::require_path(argument, "resolve_product", "argument").attr("absolute")();
    const std::string text = py::fs_path(given);
    // The name as typed, control characters escaped.
    const std::string shown = py::display_text(nb::repr(argument));
    if (fs::is_regular_file(text)) return given;
    if (fs::is_directory(text)) {
        nb::object root = root_file_of(given);
        if (root.is_none()) {
            py::raise(py::exc::value_error(),
                      shown + " is a folder without a product's root file (<folder name>.usda)");
        }
        return root;
    }
    if (fs::exists(text)) py::raise(py::exc::value_error(), "not a product file: " + shown);
    // A bare name: a product in the products folder.
    if (nb::isinstance<nb::str>(argument) && fs::is_single_component(py::utf8(argument))) {
        nb::object folder = products_dir() / argument;
        if (fs::is_directory(py::fs_path(folder))) {
            nb::object root = root_file_of(folder);
            if (!root.is_none()) return root;
        }
    }
    py::raise(py::exc::value_error(), "no product " + shown +
                                          ": not a .usda file, a product folder, or a product in " +
                                          py::text(products_dir()));
}

nb::object write_workspace_file(nb::handle folder, nb::handle values) {
    nb::object workspace = py::require_path(folder, "write_workspace_file", "folder");
    py::require_dict(values, "write_workspace_file", "values");
    for (auto [key, value] : nb::borrow<nb::dict>(values)) {
        bool known = false;
        for (const Setting& setting : kSettings) known = known || key.equal(nb::str(setting.key));
        if (!known) py::raise(py::exc::value_error(), "unknown workspace setting " + py::repr(key));
    }
    nb::object text = yaml_module.attr("safe_dump")(values, nb::arg("sort_keys") = false);
    const std::string header =
        "# The Orvane workspace: commands run in this folder or below it use these settings\n"
        "# (folders relative to this file); ORVANE_* environment variables override them.\n";
    nb::object file = workspace / nb::str(kFileName);
    fs::write_file_atomic(py::fs_path(file), header + std::string(py::utf8(text)));
    return file;
}

nb::object workspace_root() {
    nb::object configured = py::environment_value("ORVANE_WORKSPACE");
    if (configured.is_valid()) return pathlib.attr("Path")(configured);
    return pathlib.attr("Path").attr("cwd")();
}

}  // namespace

NB_MODULE(workspace, m) {
    m.doc() = "The platform workspace: the folder the platform works in, and its settings.";
    workspace_files.attach(m, "_file_cache");
    // The most bytes of any YAML file the platform reads (orvane.yaml,
    // solver.yaml, ...) and characters of a case text it parses.
    m.attr("MAX_YAML_BYTES") = yaml::kMaxBytes;
    m.def("workspace_root", &workspace_root, nb::sig("def workspace_root() -> pathlib.Path"),
          "The workspace folder: ORVANE_WORKSPACE when set, else the current directory.");
    m.def("find_workspace", &find_workspace, nb::arg("start").none() = nb::none(),
          nb::sig("def find_workspace(start: str | os.PathLike[str] | None = None) -> "
                  "pathlib.Path | None"),
          R"(The nearest folder at or above `start` (when None: ORVANE_WORKSPACE, else the
          current directory) that holds an orvane.yaml, or None.)");
    m.def("settings", &settings, nb::arg("start").none() = nb::none(),
          nb::sig("def settings(start: str | os.PathLike[str] | None = None) -> "
                  "dict[str, dict[str, str]]"),
          R"(Each workspace setting with its value and where it comes from: 'environment' (its
          ORVANE_* variable), 'file' (orvane.yaml) or 'default' (the platform's own).)");
    m.def("count_setting", &count_setting, nb::arg("key").none(),
          nb::sig("def count_setting(key: str) -> int"),
          R"(The count setting `key` in effect (an agent_max_* bound) as an int. ValueError
          naming the variable or orvane.yaml when it is not a whole number from 1 to
          1000000.)");
    m.def("activate", &activate, nb::arg("start").none() = nb::none(), nb::kw_only(),
          nb::arg("override_environment") = false,
          nb::sig("def activate(start: str | os.PathLike[str] | None = None, *, "
                  "override_environment: bool = False) -> pathlib.Path | None"),
          R"(Put the settings of the nearest orvane.yaml into effect for this process (the
          environment keeps precedence unless `override_environment`); returns the workspace
          folder, or None.)");
    m.def("products_dir", &products_dir, nb::sig("def products_dir() -> pathlib.Path"),
          R"(The products folder: ORVANE_PRODUCTS_DIR, else products/ in the workspace.)");
    m.def("resolve_product", &resolve_product, nb::arg("argument").none(),
          nb::sig("def resolve_product(argument: str | os.PathLike[str]) -> pathlib.Path"),
          R"(A product's root .usda from what a user names it by: the file itself, the
          product's folder, or its name in the products folder. ValueError saying which it
          is not.)");
    m.def("write_workspace_file", &write_workspace_file, nb::arg("folder").none(),
          nb::arg("values").none(),
          nb::sig("def write_workspace_file(folder: str | os.PathLike[str], values: dict[str, "
                  "str]) -> pathlib.Path"),
          "Write `folder`/orvane.yaml with `values` (workspace settings), in one step.");
}
