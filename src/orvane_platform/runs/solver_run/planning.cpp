// Planning a run: the solver and its program, the case it reads, the
// parameter snapshot, the inputs a prepare step makes, and the provenance
// record of exactly what it will be given.
#include <nanobind/nanobind.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "native/domain/design.h"
#include "native/domain/run_plan.h"
#include "native/domain/services.h"
#include "native/fs.h"
#include "native/process.h"
#include "native/py.h"
#include "solver_run.h"

namespace orvane::solver_run {

namespace {

using namespace nb::literals;

py::CachedModule json_module{"json"};
py::CachedModule pathlib{"pathlib"};
py::CachedModule sysconfig{"sysconfig"};
py::CachedModule tempfile{"tempfile"};
py::CachedModule yaml_module{"yaml"};

constexpr double kDefaultTimeoutSeconds = 600;
constexpr double kPrepareTimeoutSeconds = 120;

// The solver inputs of a run: the declared defaults, then the overrides,
// with the parameter snapshot {name: {value, default, path, override}}.
std::pair<nb::dict, nb::dict> run_inputs(nb::handle product, nb::handle solver,
                                         nb::handle request) {
    nb::dict defaults;
    nb::object declared = services::solver_registry::get_solver_inputs(
        solver, "product_name"_a = product.attr("name"));
    for (nb::handle item : declared.attr("items")()) {
        nb::object name = item[0];
        nb::object spec = item[1];
        nb::object fallback =
            nb::isinstance<nb::dict>(spec) ? spec.attr("get")("default") : nb::borrow(spec);
        if (!fallback.is_none()) defaults[name] = fallback;
    }
    nb::dict overrides;
    nb::object asked = py::get(request, "overrides", nb::none());
    if (py::truthy(asked)) overrides.update(asked);
    nb::object manoeuvre = py::get(request, "manoeuvre", nb::none());
    if (py::truthy(manoeuvre)) overrides["manoeuvre"] = manoeuvre;
    nb::dict inputs;
    inputs.update(defaults);
    inputs.update(overrides);
    nb::dict snapshot;
    for (auto [name, value] : inputs) {
        nb::dict parameter;
        parameter["value"] = value;
        parameter["default"] = defaults.attr("get")(name);
        parameter["path"] = py::concat("inputs.", nb::str(name));
        parameter["override"] = nb::bool_(overrides.contains(name));
        snapshot[name] = parameter;
    }
    return {inputs, snapshot};
}

// The case the solver reads: the design inputs (with `design_changes` for
// this run only, each one a design parameter the product has) and the
// solver's inputs.
nb::str case_text(nb::handle product, nb::handle domain, nb::handle solver, nb::handle inputs,
                  nb::handle design_changes, const char* function) {
    nb::dict design = design::values(product.attr("specs"));
    if (!design_changes.is_none()) {
        for (auto [name, value] : nb::borrow<nb::dict>(design_changes)) {
            if (!design.contains(name)) {
                py::raise(py::exc::value_error(), py::display_text(product.attr("name")) +
                                                      " has no design parameter " + py::repr(name));
            }
            if (!py::is_real(value))
                py::raise_argument_type(function, "design", "a dict of numbers", value);
            design[name] = nb::float_(py::to_double(value));
        }
    }
    nb::dict case_mapping;
    case_mapping["product"] = product.attr("name");
    case_mapping["domain"] = domain;
    case_mapping["solver"] = solver;
    case_mapping["design"] = design;
    case_mapping["inputs"] = inputs;
    return nb::borrow<nb::str>(yaml_module.attr("safe_dump")(case_mapping, "sort_keys"_a = false));
}

bool is_executable(const std::string& path) {
    return fs::is_regular_file(path) && ::access(path.c_str(), X_OK) == 0;
}

// The solver's program: a path as given, else found on PATH or among this
// environment's scripts.
std::optional<std::string> solver_program(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return is_executable(name) ? std::optional(name) : std::nullopt;
    if (auto found = process::find_program(name)) return found;
    const std::string beside = py::text(sysconfig.attr("get_path")("scripts")) + "/" + name;
    if (is_executable(beside)) return beside;
    return std::nullopt;
}

// What a solver's prepare step made for the run before it starts.
struct PreparedInputs {
    std::optional<std::string> folder;       // where it wrote them
    nb::object geometry_files = nb::none();  // list of Path, or None
    nb::object mesh_cache = nb::str("none");
    std::optional<nb::object> solver_version;
};

// A solver that makes its own geometry declares `run.prepare`: a command
// given the case on standard input and a folder as its last argument, that
// writes the geometry there and prints {"geometry": [files], "mesh_cache":
// key, "solver_version": version} without running anything heavy. The
// geometry then counts in the run's fingerprint, as a file given by the user
// would. Returns the error text when the step fails or answers nonsense.
std::variant<PreparedInputs, std::string> fill_prepared_folder(nb::handle run,
                                                               const std::string& solver,
                                                               const std::string& case_yaml,
                                                               const std::string& folder) {
    const std::string who = "solver '" + solver + "' could not prepare its inputs: ";
    nb::object command = run.attr("get")("prepare");
    if (!nb::isinstance<nb::list>(command) || nb::len(command) == 0)
        return who + "run.prepare must be a command (a list of words)";
    std::vector<std::string> argv;
    for (nb::handle part : command) argv.push_back(py::text(part));
    const auto program = solver_program(argv[0]);
    if (!program) return who + "program not found: " + argv[0];
    argv[0] = *program;
    argv.push_back(folder);
    process::Options options;
    options.input = case_yaml;
    const process::Completed completed = process::run(argv, kPrepareTimeoutSeconds, options);
    if (auto failed = failure(completed, solver, kPrepareTimeoutSeconds, options.max_output_bytes))
        return who + *failed;
    nb::object answer;
    try {
        answer = json_module.attr("loads")(nb::bytes(completed.out.data(), completed.out.size()));
    } catch (nb::python_error& error) {
        if (!error.matches(py::exc::value_error())) throw;
        return who + "it printed no JSON";
    }
    if (!nb::isinstance<nb::dict>(answer)) return who + "it printed no JSON object";
    nb::object error = answer.attr("get")("error");
    if (!error.is_none()) return who + py::text(error);
    PreparedInputs prepared;
    nb::object files = answer.attr("get")("geometry", nb::list());
    if (!nb::isinstance<nb::list>(files)) return who + "its geometry is not a list of files";
    nb::list geometry;
    const std::string inside = fs::real_path(folder) + "/";
    for (nb::handle file : files) {
        // Only what it wrote into its folder: a solver must not make the
        // platform hash (or let it believe it hashed) a file elsewhere.
        if (!nb::isinstance<nb::str>(file) || !fs::is_regular_file(py::text(file)) ||
            !fs::real_path(py::text(file)).starts_with(inside))
            return who + "its geometry file " + py::repr(file) + " is not a file in " + folder;
        geometry.append(pathlib.attr("Path")(file));
    }
    if (nb::len(geometry) > 0) prepared.geometry_files = geometry;
    nb::object mesh_cache = answer.attr("get")("mesh_cache", "none");
    if (!nb::isinstance<nb::str>(mesh_cache)) return who + "its mesh_cache is not a string";
    prepared.mesh_cache = mesh_cache;
    nb::object version = answer.attr("get")("solver_version");
    if (nb::isinstance<nb::str>(version) && nb::len(version) > 0) prepared.solver_version = version;
    prepared.folder = folder;
    return prepared;
}

// Runs the solver's prepare step, if it declares one, in a folder of its own
// that is removed again when the step fails.
std::variant<PreparedInputs, std::string> prepare(nb::handle run, const std::string& solver,
                                                  const std::string& case_yaml) {
    if (run.attr("get")("prepare").is_none()) return PreparedInputs{};
    const std::string folder =
        py::fs_path(tempfile.attr("mkdtemp")("prefix"_a = run_plan::kPreparedPrefix));
    auto outcome = fill_prepared_folder(run, solver, case_yaml, folder);
    if (std::holds_alternative<std::string>(outcome)) fs::discard_tree(folder);
    return outcome;
}

// The solver's command with its program found, or why it cannot run.
std::variant<nb::list, std::string> solver_argv(nb::handle solver, nb::handle run) {
    nb::object command = nb::isinstance<nb::dict>(run) ? run.attr("get")("command") : nb::none();
    if (!nb::isinstance<nb::list>(command) || nb::len(command) == 0)
        return "solver '" + py::text(solver) + "' declares no command to run";
    nb::list argv;
    for (nb::handle part : command) argv.append(nb::str(part));
    const std::string first = py::text(argv[0]);
    const auto program = solver_program(first);
    if (!program) return "solver program not found: " + first;
    argv[0] = py::make_str(*program);
    return argv;
}

// The provenance of the exact case the solver is given: what is recorded
// with every run, whatever its outcome. A caller planning many runs of one
// solver passes the image digest it looked up once.
nb::object provenance_of(nb::handle solver, nb::handle config, nb::handle case_yaml,
                         nb::handle parameters, const PreparedInputs& prepared,
                         nb::handle image_digest) {
    nb::object record = services::solver_registry::get_solver_record(solver);
    nb::object cert = services::solver_certs::verify_solver_cert(
        py::truthy(record) ? record : nb::object(nb::dict()));
    nb::object version = prepared.solver_version ? *prepared.solver_version
                                                 : nb::str(config.attr("get")("version", ""));
    return services::provenance::build_provenance_record(
        config.attr("get")("image", ""), case_yaml, prepared.geometry_files,
        "parameters"_a = parameters, "solver_version"_a = version, "solver_cert"_a = cert,
        "mesh_cache"_a = prepared.mesh_cache, "image_digest"_a = image_digest);
}

// Where a solver keeps what it may reuse between runs (meshes).
std::string solver_cache_dir(const std::string& solver) {
    return py::fs_path(services::paths::orvane_home.get()) + "/cache/" + solver;
}

// The plan itself, once its solver, case and prepared inputs are known.
nb::dict make_plan(nb::handle solver, nb::handle domain, nb::handle config, nb::handle run,
                   nb::handle argv, nb::handle case_yaml, nb::handle parameters,
                   const PreparedInputs& prepared, nb::handle request) {
    nb::dict environment;
    environment["ORVANE_CACHE_DIR"] = py::make_str(solver_cache_dir(py::text(solver)));
    if (prepared.folder) environment["ORVANE_PREPARED_DIR"] = py::make_str(*prepared.folder);
    nb::object image_digest = py::dict_get(request, "image_digest");
    if (!image_digest.is_valid())
        image_digest = services::provenance::get_image_digest(config.attr("get")("image", ""));
    nb::dict plan;
    plan["domain"] = domain;
    plan["solver"] = solver;
    plan["argv"] = argv;
    plan["timeout"] =
        nb::float_(py::to_double(run.attr("get")("timeout_seconds", kDefaultTimeoutSeconds)));
    plan["max_output_bytes"] = module_globals.get("_MAX_OUTPUT_BYTES");
    plan["case_yaml"] = case_yaml;
    plan["parameters"] = parameters;
    plan["environment"] = environment;
    plan["prepared_dir"] =
        prepared.folder ? nb::object(py::make_str(*prepared.folder)) : nb::none();
    plan["image_digest"] = image_digest;
    plan["labels"] = py::get(request, "labels", nb::dict());
    plan["provenance"] =
        provenance_of(solver, config, case_yaml, parameters, prepared, image_digest);
    return plan;
}

// Labels name what a run belongs to (a sweep and its case, say): plain
// names and values, recorded with the run's result but not part of its
// fingerprint.
void require_labels(nb::handle labels, const char* function) {
    if (labels.is_none()) return;
    py::require_dict(labels, function, "labels");
    for (auto [name, value] : nb::borrow<nb::dict>(labels)) {
        py::require_str(name, function, "labels");
        py::require_no_control_characters(name, "labels");
        if (!nb::isinstance<nb::str>(value) &&
            !(nb::isinstance<nb::int_>(value) && !nb::isinstance<nb::bool_>(value)))
            py::raise_argument_type(function, "labels", "a dict of str or int values", value);
    }
}

// The solver asked for, else the product's choice for the domain.
nb::object solver_for(nb::handle product, nb::handle domain, nb::handle asked) {
    if (py::truthy(asked)) return nb::borrow(asked);
    return product.attr("default_solver")(domain);
}

nb::object plan_run_binding(nb::handle product, nb::kwargs request) {
    return plan_run(product, request, "plan_run");
}

}  // namespace

nb::dict plan_run(nb::handle product, nb::handle request, const char* function) {
    nb::object domain = py::get(request, "domain", nb::str("aero"));
    py::require_str(domain, function, "domain");
    nb::object asked_solver = py::get(request, "solver", nb::none());
    py::require_str_or_none(asked_solver, function, "solver");
    py::require_dict_or_none(py::get(request, "overrides", nb::none()), function, "overrides");
    py::require_str_or_none(py::get(request, "manoeuvre", nb::none()), function, "manoeuvre");
    nb::object design_changes = py::get(request, "design", nb::none());
    py::require_dict_or_none(design_changes, function, "design");
    require_labels(py::get(request, "labels", nb::none()), function);

    nb::object solver = solver_for(product, domain, asked_solver);
    if (solver.is_none())
        return py::error_status("no solver registered for domain '" + py::text(domain) + "'");
    nb::object config = services::solver_registry::get_solver_config(solver);
    if (!py::truthy(config)) return py::error_status("unknown solver '" + py::text(solver) + "'");
    nb::object run = config.attr("get")("run", nb::dict());
    auto argv = solver_argv(solver, run);
    if (auto* error = std::get_if<std::string>(&argv)) return py::error_status(*error);
    fs::require_single_component(solver, "solver");
    const std::string solver_name = py::text(solver);
    auto [inputs, parameters] = run_inputs(product, solver, request);
    nb::str case_yaml = case_text(product, domain, solver, inputs, design_changes, function);
    if (!design_changes.is_none()) check_design(solver, design_changes);
    auto made = prepare(run, solver_name, py::text(case_yaml));
    if (auto* error = std::get_if<std::string>(&made)) return py::error_status(*error);
    const auto& prepared = std::get<PreparedInputs>(made);
    try {
        return make_plan(solver, domain, config, run, std::get<nb::list>(argv), case_yaml,
                         parameters, prepared, request);
    } catch (...) {
        // The plan never reached its caller: nothing else will remove the folder.
        if (prepared.folder) fs::discard_tree(*prepared.folder);
        throw;
    }
}

void bind_planning(nb::module_& m) {
    m.def("plan_run", &plan_run_binding,
          nb::sig("def plan_run(product: object, **request: typing.Any) -> dict[str, typing.Any]"),
          R"(The plan of a run of `product` (a Product: its name, dictionary, root file and
          default_solver), as simulate() makes it from the same keywords (domain, solver,
          overrides, manoeuvre, design; `image_digest` when the caller already looked the
          solver image up; `labels`, {name: str or int} recorded with the run's result, such
          as the sweep and case it belongs to): the solver's command, time-out and output cap, its case text,
          environment, parameter snapshot, image digest and provenance record. A run that
          cannot start is answered with its error status instead.)");
}

}  // namespace orvane::solver_run
