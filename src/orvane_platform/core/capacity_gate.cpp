// Solver runs gated on the host's hardware: a probe of the host, the
// solver's declared requirements, an advisory verdict, and the stripping of
// parameters a solver owns from a case.
#include <nanobind/nanobind.h>
#include <sys/statvfs.h>
#include <unistd.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <string>
#include <string_view>

#include "native/domain/services.h"
#include "native/fs.h"
#include "native/process.h"
#include "native/py.h"
#include "native/text.h"
#include "native/yaml.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

py::ModuleGlobals globals;
py::CachedModule os_module{"os"};
py::CachedModule dataclasses_module{"dataclasses"};
py::CachedModule yaml_module{"yaml"};
py::CachedModule platform_module{"platform"};

constexpr long long kMebibyte = 1024 * 1024;
// Seconds a probe's tool may take; a module attribute, read at every call.
constexpr double kProbeTimeoutSeconds = 5;

double probe_timeout() { return globals.number("_PROBE_TIMEOUT_SECONDS"); }
constexpr double kMarginalThreshold = 0.9;

// --- the probe ----------------------------------------------------------------------

nb::object parse_meminfo(nb::handle text) {
    py::require_str(text, "_parse_meminfo", "text");
    for (nb::handle line : text.attr("splitlines")()) {
        if (!py::utf8(line).starts_with("MemAvailable:")) continue;
        // A malformed line raises; the probe catches it.
        nb::object kibibytes = py::to_int(line.attr("split")()[1]);
        return kibibytes.floor_div(nb::int_(1024));
    }
    return nb::none();
}

nb::object ram_from_sysctl() {
    try {
        const process::Completed sysctl =
            process::run({"sysctl", "-n", "hw.memsize"}, probe_timeout());
        if (!sysctl.available()) return nb::none();
        nb::object bytes = py::to_int(process::text_output(sysctl.out).attr("strip")());
        if (!(bytes > nb::int_(0))) return nb::none();
        return bytes.floor_div(nb::int_(kMebibyte));
    } catch (nb::python_error& error) {
        if (!py::is_exception(error)) throw;
        return nb::none();
    }
}

// Available RAM from the platform's own facility, 0 when it cannot tell.
long long ram_for_platform(std::string_view system) {
    if (system == "Linux") {
        try {
            const std::string text = fs::read_small_file("/proc/meminfo");
            nb::object parsed = globals.get("_parse_meminfo")(py::make_str(text));
            if (py::truthy(parsed)) return nb::cast<long long>(parsed);
        } catch (nb::python_error& error) {
            if (!py::is_exception(error)) throw;
        }
    } else if (system == "Windows") {
#if defined(_WIN32)
        MEMORYSTATUSEX status{};
        status.dwLength = sizeof(status);
        if (GlobalMemoryStatusEx(&status))
            return static_cast<long long>(status.ullAvailPhys / kMebibyte);
#endif
    } else if (system == "Darwin") {
#if defined(_SC_AVPHYS_PAGES)
        const long pages = ::sysconf(_SC_AVPHYS_PAGES);
        const long page_size = ::sysconf(_SC_PAGE_SIZE);
        if (pages > 0 && page_size > 0)
            return static_cast<long long>(pages) * page_size / kMebibyte;
#endif
        nb::object total = globals.get("_ram_from_sysctl")();  // total, not available, RAM
        if (py::truthy(total)) return nb::cast<long long>(total);
    }
    return 0;
}

nb::object probe_ram() {
    nb::object system = globals.get("_platform").attr("system")();
    return nb::int_(ram_for_platform(py::utf8(system)));
}

nb::object probe_vram() {
    const auto program = process::find_program("nvidia-smi");
    if (!program) return nb::none();
    try {
        const process::Completed smi =
            process::run({*program, "--query-gpu=memory.free", "--format=csv,noheader,nounits"},
                         probe_timeout());
        if (!smi.available() || smi.exit_code != 0) return nb::none();
        nb::str output = process::text_output(smi.out);
        long long total = 0;
        // One line per GPU; anything but digits (a "[N/A]") is skipped.
        for (std::string_view line : text::split(text::strip(py::utf8(output)), '\n')) {
            const std::string_view digits = text::strip(line);
            if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos)
                continue;
            total += nb::cast<long long>(py::to_int(py::make_str(digits)));
        }
        return nb::int_(total);
    } catch (nb::python_error& error) {
        if (!py::is_exception(error)) throw;
        return nb::none();
    }
}

nb::object probe_arch() {
    nb::object machine = globals.get("_platform").attr("machine")();
    const std::string_view name = py::utf8(machine);
    if (name == "x86_64" || name == "AMD64") return nb::str("amd64");
    if (name == "aarch64" || name == "arm64") return nb::str("arm64");
    return machine;
}

void require_workspace(nb::handle workspace, const char* function) {
    if (!workspace.is_none() && !nb::isinstance<nb::str>(workspace) &&
        !nb::isinstance(workspace, os_module.attr("PathLike"))) {
        py::raise_argument_type(function, "workspace", "pathlib.Path, str or None", workspace);
    }
}

nb::object probe_disk(nb::handle workspace) {
    require_workspace(workspace, "_probe_disk");
    nb::object folder =
        workspace.is_none() ? services::workspace::workspace_root() : nb::borrow(workspace);
    const std::string path = py::fs_path(nb::str(folder));
    struct statvfs info {};
    int failed = 0;
    {
        nb::gil_scoped_release release;
        failed = ::statvfs(path.c_str(), &info);
    }
    if (failed != 0) return nb::int_(0);
    return nb::int_(static_cast<long long>(info.f_bavail) * static_cast<long long>(info.f_frsize) /
                    kMebibyte);
}

nb::object hardware_probe(nb::handle cls, nb::handle workspace) {
    require_workspace(workspace, "probe");
    nb::object ram = globals.get("_probe_ram")();
    nb::object vram = globals.get("_probe_vram")();
    nb::object cores = os_module.attr("cpu_count")();
    if (!py::truthy(cores)) cores = nb::int_(1);
    nb::object arch = globals.get("_probe_arch")();
    nb::object disk = globals.get("_probe_disk")(workspace);
    return cls(ram, vram, cores, arch, disk);
}

// --- requirements and the gate ------------------------------------------------------

nb::object requirements_from_solver(nb::handle cls, nb::handle solver) {
    py::require_str(solver, "from_solver", "solver");
    nb::object config = globals.get("get_solver_config")(solver);
    if (!py::truthy(config)) return nb::none();
    nb::object compute = config.attr("get")("compute", nb::dict());
    nb::object requirements = compute.attr("get")("requirements", nb::dict());
    if (!py::truthy(requirements)) return nb::none();
    auto member = [&](const char* key) { return requirements.attr("get")(key); };
    return cls(
        "min_ram_mb"_a = member("min_ram_mb"), "min_vram_mb"_a = member("min_vram_mb"),
        "min_disk_mb"_a = member("min_disk_mb"), "arch"_a = member("arch"),
        "gpu_required"_a = nb::bool_(py::truthy(requirements.attr("get")("gpu_required", false))));
}

nb::object check_resource(nb::handle resource_name, nb::handle available, nb::handle required,
                          nb::handle unit) {
    py::require_str(resource_name, "_check_resource", "resource_name");
    py::require_str(unit, "_check_resource", "unit");
    auto verdict = [](const char* severity, const std::string& message) {
        return nb::make_tuple(nb::str(severity), py::make_str(message));
    };
    if (required.is_none()) return verdict("pass", "");
    const std::string name = py::text(resource_name);
    const std::string units = py::text(unit);
    if (available.is_none() || available < nb::int_(0)) {
        return verdict("warn", "  " + name + ": cannot probe — " + py::text(required) + "+ " +
                                   units + " needed");
    }
    if (available >= required) return verdict("pass", "");
    nb::object marginal = required * globals.get("_MARGINAL_THRESHOLD");
    const std::string shortfall = "  " + name + ": " + py::text(available) + " " + units +
                                  " available, " + py::text(required) + " " + units +
                                  " recommended — ";
    return verdict("warn", shortfall + (available >= marginal ? "marginal" : "may be slow or OOM"));
}

constexpr const char* kNoGpu = "  GPU: required but none detected";

nb::object gate_solver_resources(nb::handle solver, nb::handle workspace, nb::handle hw) {
    py::require_str(solver, "gate_solver_resources", "solver");
    require_workspace(workspace, "gate_solver_resources");
    nb::object requirements = globals.get("SolverRequirements").attr("from_solver")(solver);
    nb::object result_type = globals.get("GateResult");
    if (requirements.is_none()) {
        nb::list only;
        only.append(nb::str("  (no requirements declared)"));
        return result_type(solver, true, "pass", only);
    }
    nb::object snapshot =
        hw.is_none() ? globals.get("HardwareProbe").attr("probe")(workspace) : nb::borrow(hw);
    bool warn = false;
    nb::list messages;
    auto report = [&](nb::handle checked) {
        nb::object severity = checked[0];
        nb::object message = checked[1];
        if (severity.equal(nb::str("warn"))) warn = true;
        if (nb::len(message) > 0) messages.append(message);
    };
    nb::object check = globals.get("_check_resource");
    report(check("RAM", snapshot.attr("ram_mb"), requirements.attr("min_ram_mb")));
    const bool gpu_required = py::truthy(requirements.attr("gpu_required"));
    const bool no_gpu = snapshot.attr("vram_mb").is_none();
    if (!requirements.attr("min_vram_mb").is_none()) {
        if (no_gpu && gpu_required) {
            warn = true;
            messages.append(nb::str(kNoGpu));
        } else {
            report(check("VRAM", snapshot.attr("vram_mb"), requirements.attr("min_vram_mb")));
        }
    }
    report(check("Disk", snapshot.attr("disk_mb"), requirements.attr("min_disk_mb")));
    nb::object arch = requirements.attr("arch");
    if (py::truthy(arch)) {
        if (!py::contains(arch, snapshot.attr("arch"))) {
            warn = true;
            messages.append(py::make_str("  Architecture: " + py::text(snapshot.attr("arch")) +
                                         " not in " + py::text(arch) + " — may be incompatible"));
        }
    }
    // Only when nothing else warned: a warning already explains the risk.
    if (gpu_required && no_gpu && !warn) {
        warn = true;
        messages.append(nb::str(kNoGpu));
    }
    return result_type(solver, true, warn ? "warn" : "pass", messages);
}

nb::object filter_overrides(nb::handle solver, nb::handle case_yaml) {
    py::require_str(solver, "filter_overrides", "solver");
    py::require_str(case_yaml, "filter_overrides", "case_yaml");
    auto unchanged = [&] { return nb::make_tuple(case_yaml, nb::list()); };
    nb::object config = globals.get("get_solver_config")(solver);
    if (!py::truthy(config)) return unchanged();
    nb::set rejected(config.attr("get")("overrides", nb::dict()).attr("get")("reject", nb::list()));
    if (nb::len(rejected) == 0) return unchanged();
    nb::object parsed;
    try {
        parsed = yaml::load(case_yaml, "case.yaml");
    } catch (nb::python_error& error) {
        if (!error.matches(yaml_module.attr("YAMLError"))) throw;
        return unchanged();
    }
    if (!nb::isinstance<nb::dict>(parsed)) return unchanged();
    nb::dict remaining;
    nb::list warnings;
    for (auto [key, value] : nb::borrow<nb::dict>(parsed)) {
        if (rejected.contains(key)) {
            warnings.append(py::make_str("stripped rejected param '" + py::text(key) +
                                         "' from case.yaml (solver owns it)"));
        } else {
            remaining[key] = value;
        }
    }
    if (nb::len(warnings) == 0) return unchanged();  // the text as it came, comments and all
    nb::object text = yaml_module.attr("safe_dump")(remaining, "default_flow_style"_a = false,
                                                    "sort_keys"_a = false);
    return nb::make_tuple(text, warnings);
}

// `type | None`, as an annotation.
nb::object optional_of(nb::handle type) { return nb::borrow(type) | nb::none(); }

// `list[item]`, as an annotation.
nb::object list_of(nb::handle item) { return nb::borrow(py::list_type())[item]; }

}  // namespace

NB_MODULE(capacity_gate, m) {
    m.doc() =
        "Hardware probe and pre-flight resource gate for solver runs; stripping of solver-owned "
        "parameters from a case.";
    globals.bind(m);
    m.attr("_platform") = platform_module.get();
    m.attr("get_solver_config") = services::solver_registry::get_solver_config.get();
    m.attr("_MARGINAL_THRESHOLD") = kMarginalThreshold;
    m.attr("_PROBE_TIMEOUT_SECONDS") = kProbeTimeoutSeconds;

    nb::object no_default = dataclasses_module.attr("field")("default"_a = nb::none());
    nb::list probe_fields;
    probe_fields.append(nb::make_tuple("ram_mb", py::int_type()));
    probe_fields.append(nb::make_tuple("vram_mb", optional_of(py::int_type())));
    probe_fields.append(nb::make_tuple("cpu_cores", py::int_type()));
    probe_fields.append(nb::make_tuple("arch", py::str_type()));
    probe_fields.append(nb::make_tuple("disk_mb", py::int_type()));
    nb::dict probe_namespace;
    probe_namespace["probe"] = py::class_method(
        "probe", &hardware_probe, nb::arg("cls"), nb::arg("workspace").none() = nb::none(),
        nb::sig("def probe(cls, workspace: pathlib.Path | str | None = None) -> HardwareProbe"),
        R"(A snapshot of this host: RAM, GPU memory, CPU cores, architecture, free disk.)");
    py::make_dataclass(m, "HardwareProbe", "Snapshot of host hardware resources at probe time.",
                       probe_fields, probe_namespace);

    nb::list requirement_fields;
    for (const char* name : {"min_ram_mb", "min_vram_mb", "min_disk_mb"}) {
        requirement_fields.append(
            nb::make_tuple(name, optional_of(py::int_type()),
                           dataclasses_module.attr("field")("default"_a = nb::none())));
    }
    requirement_fields.append(
        nb::make_tuple("arch", optional_of(list_of(py::str_type())), no_default));
    requirement_fields.append(nb::make_tuple(
        "gpu_required", py::bool_type(), dataclasses_module.attr("field")("default"_a = false)));
    nb::dict requirement_namespace;
    requirement_namespace["from_solver"] = py::class_method(
        "from_solver", &requirements_from_solver, nb::arg("cls"), nb::arg("solver").none(),
        nb::sig("def from_solver(cls, solver: str) -> SolverRequirements | None"),
        R"(The requirements the solver declares under compute.requirements, or None when it
        declares none.)");
    py::make_dataclass(m, "SolverRequirements",
                       "Parsed resource requirements from a solver's compute.requirements.",
                       requirement_fields, requirement_namespace);

    nb::list result_fields;
    result_fields.append(nb::make_tuple("solver", py::str_type()));
    result_fields.append(nb::make_tuple("passed", py::bool_type()));
    result_fields.append(nb::make_tuple("severity", py::str_type()));
    result_fields.append(nb::make_tuple("messages", list_of(py::str_type())));
    py::make_dataclass(m, "GateResult", "Outcome of a resource pre-flight check.", result_fields);

    m.def("_parse_meminfo", &parse_meminfo, nb::arg("text").none(),
          nb::sig("def _parse_meminfo(text: str) -> int | None"),
          R"(MemAvailable of a /proc/meminfo text in MB, or None when it has no such line.)");
    m.def("_ram_from_sysctl", &ram_from_sysctl, nb::sig("def _ram_from_sysctl() -> int | None"),
          "Total RAM in MB from `sysctl -n hw.memsize` (macOS), or None.");
    m.def("_probe_ram", &probe_ram, nb::sig("def _probe_ram() -> int"),
          "Available RAM in MB; 0 when unknown.");
    m.def("_probe_vram", &probe_vram, nb::sig("def _probe_vram() -> int | None"),
          R"(Free GPU memory in MB over all NVIDIA GPUs (nvidia-smi), or None without one.)");
    m.def("_probe_arch", &probe_arch, nb::sig("def _probe_arch() -> str"),
          R"(The processor architecture, normalised: amd64, arm64, or the machine name as it is.)");
    m.def(
        "_probe_disk", &probe_disk, nb::arg("workspace").none() = nb::none(),
        nb::sig("def _probe_disk(workspace: pathlib.Path | str | None = None) -> int"),
        R"(Free disk space in MB on the file system of the workspace; 0 when it cannot be read.)");
    m.def("_check_resource", &check_resource, nb::arg("resource_name").none(),
          nb::arg("available").none(), nb::arg("required").none(), nb::arg("unit").none() = "MB",
          nb::sig("def _check_resource(resource_name: str, available: int | None, required: int | "
                  "None, unit: str "
                  "= 'MB') -> tuple[str, str]"),
          "(severity, report line) of one resource against its requirement.");
    m.def("gate_solver_resources", &gate_solver_resources, nb::arg("solver").none(),
          nb::arg("workspace").none() = nb::none(), nb::arg("hw").none() = nb::none(),
          nb::sig("def gate_solver_resources(solver: str, workspace: pathlib.Path | str | None = "
                  "None, hw: "
                  "HardwareProbe | None = None) -> GateResult"),
          R"(The advisory verdict ('pass' or 'warn', never blocking) of a solver's requirements
          against a hardware snapshot (a fresh one when `hw` is None).)");
    m.def("filter_overrides", &filter_overrides, nb::arg("solver").none(),
          nb::arg("case_yaml").none(),
          nb::sig("def filter_overrides(solver: str, case_yaml: str) -> tuple[str, list[str]]"),
          R"(The case text without the top-level parameters the solver rejects (overrides.reject),
          with one warning per stripped key; the text unchanged when nothing is stripped.)");
}
