// Registering solvers: a new entry takes the old one's place in one step,
// one registration at a time, and what a killed registration left is
// repaired.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "native/clock.h"
#include "native/fs.h"
#include "registry.h"

namespace orvane::solver {

using namespace nb::literals;

namespace {

py::CachedModule yaml_module{"yaml"};

// Hidden folders beside an entry: the next version while it is assembled,
// and, where folders cannot be exchanged in one step, the old one while it is
// swapped out.
std::string staging_folder(const std::string& root, const std::string& alias) {
    return join(root, ("." + alias + ".staging").c_str());
}
std::string replaced_folder(const std::string& root, const std::string& alias) {
    return join(root, ("." + alias + ".replaced").c_str());
}

// Registrations and repairs of one registry, one at a time across processes.
class RegistryLock {
  public:
    explicit RegistryLock(const std::string& root)
        : lock_(join(root, ".lock"), globals.number("_LOCK_TIMEOUT_SECONDS"),
                "the solver registry " + root) {}

  private:
    fs::FileLock lock_;
};

// Finishes what a registration killed half-way through a two-step swap left:
// the old entry is put back when the new one never arrived, and dropped when
// it did. Call with the registry locked.
void repair_swap(const std::string& root, const std::string& alias) {
    const std::string target = join(root, alias.c_str());
    const std::string replaced = replaced_folder(root, alias);
    if (!fs::is_directory(replaced)) return;
    if (fs::exists(target)) {
        fs::remove_tree(replaced);
    } else {
        fs::rename_path(replaced, target);
    }
}

// Puts a new entry for `alias` in place: `fill` writes its files into a
// hidden folder, which then takes the entry's place in one step, so readers
// and a process killed at any moment see the old entry or the new one, whole.
// Call with the registry locked.
template <typename Fill>
void install_entry(const std::string& root, const std::string& alias, Fill&& fill) {
    const std::string target = join(root, alias.c_str());
    const std::string staging = staging_folder(root, alias);
    repair_swap(root, alias);
    fs::remove_tree(staging);  // left by a registration that was killed
    try {
        fs::make_directories(staging);
        fill(staging);
        if (!fs::exists(target)) {
            fs::rename_path(staging, target);
        } else if (fs::exchange_paths(staging, target)) {
            fs::remove_tree(staging);  // now the old entry
        } else {
            const std::string replaced = replaced_folder(root, alias);
            fs::rename_path(target, replaced);
            fs::rename_path(staging, target);
            fs::remove_tree(replaced);
        }
    } catch (...) {
        fs::discard_tree(staging);
        throw;
    }
}

nb::object source_image(nb::handle source_dir) {
    const std::string folder =
        py::fs_path(py::require_path(source_dir, "source_image", "source_dir"));
    auto checked = load_solver_folder("", folder);
    if (!checked) py::raise(py::exc::value_error(), "no solver.yaml in " + folder);
    return py::deep_copy(py::dict_value_or(checked->config, "image", nb::str("")));
}

nb::object register_solver(nb::handle alias, nb::handle source_dir, nb::handle image,
                           nb::handle image_digest, nb::handle cert) {
    py::require_str(alias, "register_solver", "alias");
    nb::object source = py::require_path(source_dir, "register_solver", "source_dir");
    py::require_str(image, "register_solver", "image");
    py::require_str(image_digest, "register_solver", "image_digest");
    py::require_dict_or_none(cert, "register_solver", "cert");
    py::require_acyclic(cert, "register_solver() argument 'cert'");
    fs::require_single_component(alias, "alias");
    if (py::utf8(alias)[0] == '.') {
        py::raise(py::exc::value_error(),
                  "alias must not start with '.' (hidden folders are not solvers)");
    }

    // Check the solver's files before anything is written.
    const std::string source_folder = py::fs_path(source);
    const std::string alias_name(py::utf8(alias));
    auto checked = load_solver_folder(alias_name, source_folder);
    if (!checked) py::raise(py::exc::value_error(), "no solver.yaml in " + source_folder);

    nb::dict record;
    record["alias"] = alias;
    record["image"] = image;
    record["image_digest"] = image_digest;
    record["added_at"] = clock::utc_now_iso();
    record["cert"] = cert;
    nb::object record_text =
        yaml_module.attr("safe_dump")(record, "sort_keys"_a = false, "allow_unicode"_a = true);

    const std::string root = registry_root();
    fs::make_directories(root);
    const RegistryLock lock(root);
    install_entry(root, alias_name, [&](const std::string& staging) {
        fs::copy_file(join(source_folder, kSolverFile), join(staging, kSolverFile));
        if (checked->kpi_spec.is_valid()) {
            fs::copy_file(join(source_folder, kKpiSpecFile), join(staging, kKpiSpecFile));
        }
        fs::write_file_atomic(join(staging, kRecordFile), py::utf8(record_text));
    });
    return py::deep_copy(record);
}

}  // namespace

bool repair_interrupted_swaps(const std::string& root, const std::vector<std::string>& names) {
    constexpr std::string_view kSuffix = ".replaced";
    std::optional<RegistryLock> lock;
    for (const std::string& name : names) {
        if (name.size() <= kSuffix.size() + 1 || name[0] != '.' || !name.ends_with(kSuffix))
            continue;
        if (!lock) lock.emplace(root);
        repair_swap(root, name.substr(1, name.size() - 1 - kSuffix.size()));
    }
    return lock.has_value();
}

void bind_registration(nb::module_& m) {
    m.def("source_image", &source_image, nb::arg("source_dir").none(),
          nb::sig("def source_image(source_dir: str | os.PathLike[str]) -> str"),
          R"(The image named by the solver.yaml in `source_dir` (empty when it names none).)");
    m.def("register_solver", &register_solver, nb::arg("alias").none(),
          nb::arg("source_dir").none(), nb::arg("image").none(),
          nb::arg("image_digest").none() = "", nb::arg("cert").none() = nb::none(),
          nb::sig("def register_solver(alias: str, source_dir: str | os.PathLike[str], image: "
                  "str, image_digest: str = '', cert: dict[str, typing.Any] | None = None) -> "
                  "dict[str, typing.Any]"),
          R"(Copy solver.yaml and kpi_spec.yaml from `source_dir` into the registry under `alias`
          with a registration record, replacing an earlier registration. Returns the record.)");
}

}  // namespace orvane::solver
