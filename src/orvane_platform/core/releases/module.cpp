// Lifecycle releases: frozen, named snapshots of a product's twin state, each
// with a one-line gate summary of the latest run of every domain.
#include <nanobind/nanobind.h>

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "native/clock.h"
#include "native/domain/diff.h"
#include "native/domain/history.h"
#include "native/domain/history_records.h"
#include "native/domain/product_lock.h"
#include "native/domain/services.h"
#include "native/domain/usd.h"
#include "native/fs.h"
#include "native/process.h"
#include "native/py.h"
#include "native/text.h"
#include "validation_summary.h"

namespace nb = nanobind;
using namespace orvane;
using releases::MeasuredKpi;

namespace {

py::CachedModule pathlib{"pathlib"};

constexpr std::string_view kReservedPrefix = "orvane:release:";
constexpr double kGitTimeoutSeconds = 3;

bool is_valid_prim(nb::handle prim) {
    return py::truthy(prim) && py::truthy(prim.attr("IsValid")());
}

// --- validation summary -------------------------------------------------------------

// A bound of a KPI's hand-set range target on the product prim.
std::optional<double> target_bound(nb::handle prim, std::string_view kpi, const char* suffix) {
    nb::object attribute = prim.attr("GetAttribute")(
        py::make_str(std::string("orvane:target:").append(kpi).append(suffix)));
    if (!py::truthy(attribute) || !py::truthy(attribute.attr("HasValue")())) return std::nullopt;
    return py::to_double(attribute.attr("Get")());
}

// The KPI pairs of one entry, each key once (lower-cased, stripped) in
// first-seen order with its last value, with their range targets.
std::vector<MeasuredKpi> measured_kpis(nb::handle prim, std::string_view entry) {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::map<std::string, std::size_t> position;
    history::for_each_pair(entry, [&](std::string_view key, std::string_view value) {
        std::string name(py::utf8(history_records::lowercase(text::strip(key))));
        auto [found, inserted] = position.emplace(name, pairs.size());
        if (inserted) {
            pairs.emplace_back(name, std::string(text::strip(value)));
        } else {
            pairs[found->second].second = std::string(text::strip(value));
        }
    });
    std::vector<MeasuredKpi> kpis;
    for (const auto& [key, value] : pairs) {
        if (!releases::is_kpi_key(key)) continue;
        nb::object number = history_records::number_or_text(value);
        if (!nb::isinstance<nb::float_>(number)) continue;
        kpis.push_back({key, py::float_value(number), target_bound(prim, key, "_min"),
                        target_bound(prim, key, "_max")});
    }
    return kpis;
}

nb::object build_validation_summary(nb::handle stage, nb::handle usda_path) {
    (void)usda_path;  // accepted for callers; the stage holds everything needed
    nb::object prim = stage.attr("GetDefaultPrim")();
    if (!is_valid_prim(prim)) return nb::str(releases::kNoGateResults);
    nb::object history = prim.attr("GetAttribute")("resultsHistory");
    if (!py::truthy(history) || !py::truthy(history.attr("HasValue")()))
        return nb::str(releases::kNoGateResults);
    nb::list entries;
    for (nb::handle entry : history.attr("Get")()) entries.append(nb::str(entry));
    // The latest entry of each domain, domains in name order.
    std::map<std::string, std::string_view> latest;
    for (nb::handle entry : entries) {
        const std::string_view text = py::utf8(entry);
        if (auto domain = history::entry_domain(text)) latest[std::string(*domain)] = text;
    }
    std::vector<std::string> parts;
    for (const auto& [domain, entry] : latest) {
        if (auto part = releases::domain_summary(domain, measured_kpis(prim, entry)))
            parts.push_back(std::move(*part));
    }
    return py::make_str(releases::join_summary(parts));
}

// --- versions, git and metadata ---------------------------------------------------

std::string sanitised(nb::handle version) {
    const std::string_view stripped = text::strip(py::utf8(version));
    std::string safe;
    bool in_run = false;  // inside a run of characters that are replaced
    for (char c : stripped) {
        const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (kept) {
            safe += c;
        } else if (!in_run) {
            safe += '_';
        }
        in_run = !kept;
    }
    return safe;
}

nb::object sanitise_version(nb::handle version) {
    py::require_str(version, "_sanitise_version", "version");
    return py::make_str(sanitised(version));
}

nb::object read_git_commit(nb::handle cwd) {
    try {
        nb::object folder =
            py::truthy(cwd) ? nb::borrow(cwd) : services::workspace::workspace_root();
        process::Options in_folder;
        in_folder.cwd = py::fs_path(folder);
        const process::Completed git =
            process::run({"git", "rev-parse", "--short", "HEAD"}, kGitTimeoutSeconds, in_folder);
        if (!git.available() || git.exit_code != 0) return nb::none();
        nb::str decoded = py::decode_utf8(git.out, py::Undecodable::replace);
        const std::string_view commit = text::strip(py::utf8(decoded));
        return commit.empty() ? nb::none() : nb::object(py::make_str(commit));
    } catch (nb::python_error& error) {
        if (!py::is_exception(error)) throw;
        return nb::none();  // no git, no repository, a bad folder: no commit
    }
}

nb::object read_release_metadata(nb::handle release_path) {
    nb::object stage = usd::open_stage(nb::str(release_path));
    nb::object prim = stage.attr("GetDefaultPrim")();
    nb::dict metadata;
    if (!is_valid_prim(prim)) return metadata;
    auto read = [&](const char* field) -> nb::object {
        nb::object attribute = prim.attr("GetAttribute")(
            py::concat(nb::str(kReservedPrefix.data(), kReservedPrefix.size()), nb::str(field)));
        if (!py::truthy(attribute) || !py::truthy(attribute.attr("IsValid")())) return nb::str("");
        nb::object value = attribute.attr("Get")();
        return value.is_none() ? nb::object(nb::str("")) : nb::object(nb::str(value));
    };
    auto or_none = [](nb::object text) { return nb::len(text) == 0 ? nb::none() : text; };
    metadata["version"] = read("version");
    metadata["timestamp"] = read("timestamp");
    metadata["notes"] = read("notes");
    metadata["git_commit"] = or_none(read("git_commit"));
    metadata["source"] = read("source");
    metadata["validation_summary"] = or_none(read("validation_summary"));
    return metadata;
}

// --- freezing and reading ---------------------------------------------------------

// One valued attribute of the product, as the release keeps it.
struct Snapshot {
    nb::object name;
    nb::object type_name;
    nb::object value;
    nb::object documentation;
};

nb::object releases_dir(nb::handle usda_path, const char* function) {
    return py::require_path(usda_path, function, "usda_path").attr("resolve")().attr("parent") /
           nb::str("releases");
}

// The stored source: relative to the workspace when the product lies inside it.
nb::object source_text(nb::handle path) {
    nb::object workspace = pathlib.attr("Path")(services::workspace::workspace_root());
    if (py::truthy(path.attr("is_relative_to")(workspace)))
        return nb::str(path.attr("relative_to")(workspace));
    return nb::str(path);
}

// Every valued attribute of the product prim, in the stage's order.
std::vector<Snapshot> snapshot_attributes(nb::handle prim) {
    static py::Name get_attributes{"GetAttributes"};
    const usd::AttributeMethods& methods = usd::attribute_methods();
    std::vector<Snapshot> snapshot;
    for (nb::handle attribute : py::call_method(prim, get_attributes)) {
        if (!py::truthy(methods.has_authored_value(attribute))) continue;
        nb::object value = methods.get(attribute);
        if (value.is_none()) continue;
        nb::object documentation = methods.get_documentation(attribute);
        snapshot.push_back({methods.get_name(attribute), methods.get_type_name(attribute), value,
                            py::truthy(documentation) ? documentation : nb::object(nb::str(""))});
    }
    return snapshot;
}

// The metadata block of a release, under orvane:release:.
struct ReleaseMetadata {
    nb::str version;
    nb::object timestamp;  // the release time, a datetime
    nb::handle notes;
    nb::object git_commit;  // None outside a repository
    nb::object source;
    nb::object validation_summary;
};

// Authors the release prim in an empty layer: metadata first, then every
// snapshot attribute outside the reserved namespace. Returns how many
// attributes were captured.
std::size_t author_release(nb::handle layer, nb::handle product_name,
                           const ReleaseMetadata& metadata, const std::vector<Snapshot>& snapshot) {
    // Specs straight on the layer, inside one change block: the same file a
    // stage would write, without a stage's work per edit.
    const usd::ChangeBlock block;
    nb::object prim_spec =
        usd::Sdf().attr("PrimSpec")(layer, product_name, usd::Sdf().attr("SpecifierDef"), "Xform");
    nb::setattr(layer, "defaultPrim", product_name);
    nb::object string_type = usd::value_type("String");
    auto author = [&](const char* field, nb::handle value) {
        nb::object name =
            py::concat(nb::str(kReservedPrefix.data(), kReservedPrefix.size()), nb::str(field));
        nb::setattr(usd::new_custom_attribute(prim_spec, name, string_type), "default", value);
    };
    author("version", metadata.version);
    author("timestamp", metadata.timestamp.attr("isoformat")());
    author("notes", metadata.notes);
    if (!metadata.git_commit.is_none()) author("git_commit", metadata.git_commit);
    author("source", metadata.source);
    author("validation_summary", metadata.validation_summary);
    std::size_t captured = 0;
    static py::Name default_value{"default"}, documentation{"documentation"};
    for (const Snapshot& item : snapshot) {
        if (py::utf8(item.name).starts_with(kReservedPrefix)) continue;
        nb::object copied = usd::new_custom_attribute(prim_spec, item.name, item.type_name);
        nb::setattr(copied, default_value.get(), item.value);
        if (nb::len(item.documentation) > 0)
            nb::setattr(copied, documentation.get(), item.documentation);
        ++captured;
    }
    return captured;
}

nb::object freeze_release(nb::handle usda_path, nb::handle version, nb::handle notes,
                          nb::handle force, nb::handle timestamp) {
    constexpr const char* kFunction = "freeze_release";
    nb::object path = py::require_path(usda_path, kFunction, "usda_path").attr("resolve")();
    py::require_str(version, kFunction, "version");
    py::require_str(notes, kFunction, "notes");
    clock::require_datetime(timestamp, kFunction, "timestamp", py::NoneAllowed::yes);
    // Surrounding white space is stripped; a control character inside is refused.
    py::require_no_control_characters(py::make_str(text::strip(py::utf8(version))), "version");
    if (!py::truthy(path.attr("exists")()))
        return py::error_status(py::concat("Product USD not found: ", nb::str(path)));
    const std::string safe = sanitised(version);
    if (safe.empty()) return py::error_status(py::concat("Invalid version: ", nb::repr(version)));

    const product_lock::ProductLock lock(path);
    nb::object product_folder = path.attr("parent");
    fs::make_directories_within(py::fs_path(product_folder), "releases");
    nb::object release_file = product_folder / nb::str("releases") / py::make_str(safe + ".usda");
    const bool overwrite = py::truthy(force);
    auto already_frozen = [&] {
        return py::error_status("Release " + safe + " already exists at " + py::text(release_file) +
                                ". Pass force=True to overwrite.");
    };
    if (fs::exists_or_link(py::fs_path(release_file)) && !overwrite) return already_frozen();
    nb::object stage = usd::open_stage(nb::str(path));
    nb::object prim = stage.attr("GetDefaultPrim")();
    if (!is_valid_prim(prim)) return py::error_status("Product USD has no default prim");
    const std::vector<Snapshot> snapshot = snapshot_attributes(prim);

    // Everything is read before the release file is touched.
    const ReleaseMetadata metadata{py::make_str(safe),
                                   py::truthy(timestamp) ? nb::borrow(timestamp) : clock::utc_now(),
                                   notes,
                                   read_git_commit(path.attr("parent")),
                                   source_text(path),
                                   build_validation_summary(stage, path)};
    nb::str release_text(release_file);
    std::size_t captured = 0;
    const bool frozen_now = usd::write_layer_file(
        release_text,
        [&](nb::handle layer) {
            captured = author_release(layer, prim.attr("GetName")(), metadata, snapshot);
            usd::copy_stage_metadata(stage, layer);
        },
        overwrite ? fs::Existing::replace : fs::Existing::keep);
    if (!frozen_now) return already_frozen();
    nb::dict frozen;
    frozen["status"] = "frozen";
    frozen["version"] = metadata.version;
    frozen["path"] = release_text;
    frozen["source"] = nb::str(path);
    frozen["timestamp"] = metadata.timestamp.attr("isoformat")();
    frozen["git_commit"] = metadata.git_commit;
    frozen["attributes_captured"] = captured;
    return frozen;
}

nb::object list_releases(nb::handle usda_path) {
    nb::object folder = releases_dir(usda_path, "list_releases");
    nb::list releases;
    if (!py::truthy(folder.attr("is_dir")())) return releases;
    nb::list files = nb::list(folder.attr("glob")("*.usda"));
    files.sort();
    for (nb::handle file : files) {
        nb::object metadata = read_release_metadata(file);
        if (nb::len(metadata) == 0) continue;  // not a release: no default prim
        metadata["path"] = nb::str(file);
        releases.append(metadata);
    }
    // Oldest first; sorting is stable, so equal times keep file-name order.
    releases.attr("sort")(
        nb::arg("key") = nb::cpp_function([](nb::handle release) { return release["timestamp"]; }));
    return releases;
}

nb::object read_release(nb::handle usda_path, nb::handle version) {
    nb::object folder = releases_dir(usda_path, "read_release");
    py::require_str(version, "read_release", "version");
    nb::object file = folder / py::make_str(sanitised(version) + ".usda");
    nb::dict release;
    if (!py::truthy(file.attr("is_file")())) return release;
    nb::object metadata = read_release_metadata(file);
    metadata["path"] = nb::str(file);
    nb::dict attributes;
    release["metadata"] = metadata;
    release["attributes"] = attributes;
    nb::object stage = usd::open_stage(nb::str(file));
    nb::object prim = stage.attr("GetDefaultPrim")();
    if (!is_valid_prim(prim)) return release;
    const usd::AttributeMethods& methods = usd::attribute_methods();
    for (nb::handle attribute : prim.attr("GetAttributes")()) {
        nb::object name = methods.get_name(attribute);
        if (py::utf8(name).starts_with(kReservedPrefix)) continue;
        nb::object value = methods.get(attribute);
        if (!value.is_none()) attributes[name] = value;
    }
    return release;
}

nb::object diff_releases(nb::handle usda_path, nb::handle version_a, nb::handle version_b) {
    py::require_str(version_a, "diff_releases", "version_a");
    py::require_str(version_b, "diff_releases", "version_b");
    nb::object first = read_release(usda_path, version_a);
    nb::object second = read_release(usda_path, version_b);
    for (auto [release, version] : {std::pair{first, version_a}, std::pair{second, version_b}}) {
        if (nb::len(release) == 0) {
            py::raise(py::exc::value_error(), "Release " + py::repr(version) + " not found for " +
                                                  py::display_text(usda_path));
        }
    }
    nb::object a = first["attributes"];
    nb::object b = second["attributes"];
    nb::list keys;
    for (auto [key, value] : nb::borrow<nb::dict>(a)) {
        nb::object other = py::dict_get(b, key);
        if (py::is_number(value) && other.is_valid() && py::is_number(other)) keys.append(key);
    }
    keys.sort();
    nb::dict diff;
    for (nb::handle key : keys) diff[key] = diff::triple(a[key], b[key]);
    return diff;
}

}  // namespace

NB_MODULE(releases, m) {
    m.doc() = "Lifecycle releases: frozen, named snapshots of a product's twin state.";
    m.def(
        "_build_validation_summary", &build_validation_summary, nb::arg("stage").none(),
        nb::arg("usda_path").none(),
        nb::sig(
            "def _build_validation_summary(stage: pxr.Usd.Stage, usda_path: pathlib.Path) -> str"),
        R"(One line of range gates over the latest recorded run of each domain, for example 'aero
        2/2 pass · dynamics 1/3 pass (lateral_g, roll_angle FAIL)'.)");
    m.def("_sanitise_version", &sanitise_version, nb::arg("version").none(),
          nb::sig("def _sanitise_version(version: str) -> str"),
          R"(Filesystem-safe version text: stripped, runs of other characters than letters, digits,
          '.', '_' and '-' made one '_'.)");
    m.def("_read_git_commit", &read_git_commit, nb::arg("cwd").none() = nb::none(),
          nb::sig("def _read_git_commit(cwd: pathlib.Path | None = None) -> str | None"),
          R"(The short commit id of HEAD in `cwd` (the workspace when none), or None.)");
    m.def(
        "_read_release_metadata", &read_release_metadata, nb::arg("release_path").none(),
        nb::sig("def _read_release_metadata(release_path: pathlib.Path) -> dict[str, str | None]"),
        R"(The metadata block of one release file; empty when it has no default prim.)");
    m.def("freeze_release", &freeze_release, nb::arg("usda_path").none(), nb::arg("version").none(),
          nb::arg("notes").none() = "", nb::arg("force").none() = false,
          nb::arg("timestamp").none() = nb::none(),
          nb::sig(
              "def freeze_release(usda_path: str | os.PathLike[str], version: str, notes: str = "
              "'', force: "
              "bool = False, timestamp: datetime.datetime | None = None) -> dict[str, typing.Any]"),
          R"(Freeze the product's composed state into releases/<version>.usda with its metadata and
          validation summary. Expected failures come back as status 'error'.)");
    m.def(
        "list_releases", &list_releases, nb::arg("usda_path").none(),
        nb::sig(
            "def list_releases(usda_path: str | os.PathLike[str]) -> list[dict[str, typing.Any]]"),
        "Every release of the product as metadata with its path, oldest first.");
    m.def("read_release", &read_release, nb::arg("usda_path").none(), nb::arg("version").none(),
          nb::sig("def read_release(usda_path: str | os.PathLike[str], version: str) -> dict[str, "
                  "typing.Any]"),
          R"({'metadata': ..., 'attributes': ...} of one release; empty when it does not exist.)");
    m.def(
        "diff_releases", &diff_releases, nb::arg("usda_path").none(), nb::arg("version_a").none(),
        nb::arg("version_b").none(),
        nb::sig("def diff_releases(usda_path: str | os.PathLike[str], version_a: str, version_b: "
                "str) -> "
                "dict[str, tuple[typing.Any, typing.Any, typing.Any]]"),
        R"((first, second, first - second) for every attribute numeric in both releases; ValueError
        naming a version that was never frozen.)");
}
