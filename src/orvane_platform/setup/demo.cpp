// The demo: a workspace made from the bundled sample product and solver
// registry, and the walk-through's steps over it.
#include <nanobind/nanobind.h>

#include <memory>
#include <string>
#include <utility>

#include "native/domain/services.h"
#include "native/fs.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

py::CachedModule pathlib{"pathlib"};

// Marks a folder as made by the demo, so that preparing it again may replace
// what the demo put there and nothing else.
constexpr const char* kMarker = ".orvane-demo";
constexpr const char* kCfdSolver = "openfoam_ahmed";
constexpr const char* kCfdCompetitor = "ahmed1984_slant25";  // the published drag at 25°

nb::object sample_dir() {
    return pathlib.attr("Path")(services::package::file.get()).attr("parent") / nb::str("examples");
}

// Fills `workspace`, an absolute path, with the samples and its orvane.yaml.
nb::dict prepare(nb::handle workspace) {
    const std::string workspace_fs = py::fs_path(workspace);
    const std::string marker = workspace_fs + "/" + kMarker;
    if (!fs::list_directory(workspace_fs).empty() && !fs::is_regular_file(marker)) {
        py::raise(py::exc::value_error(),
                  py::repr(nb::str(workspace)) +
                      " is not empty and was not made by the demo; choose another folder");
    }
    fs::make_directories(workspace_fs);
    fs::write_file_atomic(marker, "");

    nb::object samples = sample_dir();
    nb::object products_dir = workspace / nb::str("products");
    nb::object product_dir = products_dir / nb::str("sedan");
    nb::object ahmed_dir = products_dir / nb::str("ahmed");
    nb::object solvers_dir = workspace / nb::str("solvers");
    for (auto [source, destination] :
         {std::pair{samples / nb::str("products") / nb::str("sedan"), product_dir},
          std::pair{samples / nb::str("products") / nb::str("ahmed"), ahmed_dir},
          std::pair{samples / nb::str("solvers"), solvers_dir}}) {
        const std::string destination_fs = py::fs_path(destination);
        fs::remove_tree(destination_fs);
        fs::make_directories(py::fs_path(destination.attr("parent")));
        fs::copy_tree(py::fs_path(source), destination_fs);
    }
    // Commands run in the folder afterwards see the demo's registry, products
    // and home, not the user's.
    nb::dict settings;
    settings["products"] = "products";
    settings["solvers"] = "solvers";
    settings["home"] = ".orvane";
    nb::dict prepared;
    prepared["workspace"] = workspace;
    prepared["workspace_file"] = services::workspace::write_workspace_file(workspace, settings);
    prepared["product"] = product_dir / nb::str("sedan.usda");
    prepared["ahmed"] = ahmed_dir / nb::str("ahmed.usda");
    prepared["solvers_dir"] = solvers_dir;
    return prepared;
}

nb::dict prepare_workspace(nb::handle directory) {
    return prepare(
        py::require_path(directory, "prepare_workspace", "directory").attr("absolute")());
}

// --- the walk-through ----------------------------------------------------------------

// What the steps share: the products they work on, and the first run once
// step 2 has made it.
struct Walk {
    nb::object product;
    nb::object ahmed;
    nb::object first;
};

// A step's output goes to show(kind, data, **context), rendered there as the
// command of that kind renders its own.
void show_run(nb::handle show, nb::handle summary) {
    show("run", summary, "check"_a = services::fingerprint::verify_run(summary));
}

void require_success(nb::handle summary, const char* what) {
    if (!nb::object(summary["status"]).equal(nb::str("success"))) {
        py::raise(py::exc::runtime_error(),
                  std::string(what) + ": " + py::display_text(summary["error"]));
    }
}

void show_diff(nb::handle show, nb::handle diff, const std::string& title, nb::handle first,
               nb::handle second) {
    show("diff", diff, "title"_a = py::make_str(title), "first"_a = first, "second"_a = second);
}

template <typename Action>
nb::dict step(const std::string& title, Action&& action, nb::handle live = nb::none()) {
    nb::dict made;
    made["title"] = py::make_str(title);
    made["live"] = live;
    made["run"] = nb::cpp_function(std::forward<Action>(action), nb::arg("show"),
                                   nb::arg("progress").none() = nb::none(), nb::name("run"));
    return made;
}

nb::list sedan_steps(const std::shared_ptr<Walk>& walk, nb::handle prepared) {
    const std::string workspace = py::display_text(prepared["workspace"]);
    const std::string settings_line =
        "Settings in " + py::display_text(prepared["workspace_file"]) +
        ": commands run in this folder use its registry and products.";
    nb::list steps;
    steps.append(step("A fresh copy of the sample product in " + workspace,
                      [walk, settings_line](nb::handle show, nb::handle) {
                          show("text", py::make_str(settings_line));
                          show("product", services::product_twin::load_product(walk->product),
                               "path"_a = walk->product);
                          nb::list rows;
                          for (nb::handle row : services::solver_registry::list_solvers())
                              rows.append(services::solver_certs::with_certificate(row));
                          show("solvers", rows,
                               "registry"_a = services::solver_registry::registry_dir());
                      }));
    steps.append(step("Run the sample aero solver: resources checked, run recorded, results gated",
                      [walk](nb::handle show, nb::handle) {
                          walk->first = services::solver_run::run_product(
                              walk->product, "domain"_a = "aero", "save"_a = "none");
                          show_run(show, walk->first);
                          require_success(walk->first, "the sample solver failed");
                      }));
    steps.append(
        step("Save through the save flow: results, then design-intent targets from the run",
             [walk](nb::handle, nb::handle) {
                 nb::dict results;
                 results["aero"] = walk->first["result"];
                 services::save_flow::prompt_save_usd(
                     services::product::product_class(walk->product), results,
                     "all_gates_passed"_a = walk->first["run_gates"]["all_passed"]);
             }));
    steps.append(step("Tag the first run as the baseline", [walk](nb::handle show, nb::handle) {
        services::product_twin::tag_baseline(walk->product, "aero", walk->first["kpis"]);
        show("text", "Baseline tagged.");
    }));
    steps.append(step("Freeze release v0.1", [walk](nb::handle show, nb::handle) {
        nb::object frozen = services::twin_state::freeze_release(
            walk->product, "v0.1", "Demo: first sample aero run", "force"_a = true);
        show("text", py::make_str(py::display_text(frozen["path"]) + " (" +
                                  py::text(frozen["attributes_captured"]) + " attributes)"));
    }));
    steps.append(step("History and runs", [walk](nb::handle show, nb::handle) {
        show("history", services::product_twin::load_product_history(walk->product),
             "path"_a = walk->product);
        show("runs", services::twin_state::recorded_runs(walk->product), "path"_a = walk->product);
    }));
    steps.append(step("A design change, run and saved as the baseline: roofline slope 14.5° → 18°",
                      [walk](nb::handle show, nb::handle) {
                          nb::dict parameters;
                          parameters["roofline_slope_deg"] = 18.0;
                          show_run(show, services::solver_run::run_product(
                                             walk->product, "domain"_a = "aero",
                                             "parameters"_a = parameters, "baseline"_a = true));
                      }));
    steps.append(step("Gates of the product's latest results", [walk](nb::handle show, nb::handle) {
        show("gates", services::twin_state::product_gates(walk->product),
             "title"_a = py::make_str("Gates of " +
                                      py::display_text(walk->product.attr("parent").attr("name"))));
    }));
    steps.append(step("Freeze release v0.2", [walk](nb::handle, nb::handle) {
        services::twin_state::freeze_release(walk->product, "v0.2", "Demo: steeper roofline",
                                             "force"_a = true);
    }));
    steps.append(step("What changed between the releases", [walk](nb::handle show, nb::handle) {
        nb::str first("v0.2"), second("v0.1");
        show_diff(show, services::releases::diff_releases(walk->product, first, second),
                  "Release v0.2 against v0.1", first, second);
    }));
    return steps;
}

nb::dict cfd_step(const std::shared_ptr<Walk>& walk) {
    const std::string live = "Running " + std::string(kCfdSolver) + " on " +
                             py::display_text(walk->ahmed.attr("parent").attr("name"));
    return step(
        "One real CFD run: the Ahmed body in OpenFOAM (coarse mesh; minutes on a small machine)",
        [walk](nb::handle show, nb::handle progress) {
            nb::object summary = services::solver_run::run_product(
                walk->ahmed, "solver"_a = kCfdSolver, "progress"_a = progress);
            show_run(show, summary);
            require_success(summary, "the CFD run failed");
            show_diff(show,
                      services::product_twin::diff_against_benchmark(walk->ahmed, kCfdCompetitor),
                      py::display_text(walk->ahmed) + " against " + kCfdCompetitor, nb::str("own"),
                      nb::str(kCfdCompetitor));
        },
        py::make_str(live));
}

nb::dict walk_through(nb::handle directory, bool cfd) {
    nb::dict prepared =
        prepare(py::require_path(directory, "walk_through", "directory").attr("absolute")());
    // The rest of this process works in the demo's workspace, whatever was set before.
    services::workspace::activate(prepared["workspace"], "override_environment"_a = true);
    auto walk = std::make_shared<Walk>(Walk{prepared["product"], prepared["ahmed"], nb::none()});
    nb::list steps = sedan_steps(walk, prepared);
    if (cfd) steps.append(cfd_step(walk));
    nb::dict walked;
    walked["workspace"] = prepared["workspace"];
    walked["steps"] = steps;
    walked["closing"] = py::make_str("Next: cd " + py::display_text(prepared["workspace"]) +
                                     " and try 'orvane run sedan --domain aero' or 'orvane "
                                     "doctor'.");
    return walked;
}

}  // namespace

NB_MODULE(demo, m) {
    m.doc() = "The demo walk-through: its workspace, made from the bundled samples, and its steps.";
    m.def("sample_dir", &sample_dir, nb::sig("def sample_dir() -> pathlib.Path"),
          R"(The bundled samples: products/sedan and products/ahmed (sample products) and
          solvers (a sample solver registry).)");
    m.def("prepare_workspace", &prepare_workspace, nb::arg("directory").none(),
          nb::sig("def prepare_workspace(directory: str | os.PathLike[str]) -> "
                  "dict[str, pathlib.Path]"),
          R"(Copy the sample products to products/sedan and products/ahmed and the sample
          registry to solvers/ in `directory`, replacing an earlier demo copy, and write its
          orvane.yaml (registry, products and home inside the folder). Returns the workspace,
          its workspace file, the root files of the sedan (`product`) and of the Ahmed body
          (`ahmed`) and the registry folder. A non-empty folder the demo did
          not make is refused with ValueError.)");
    m.def("walk_through", &walk_through, nb::arg("directory").none(), nb::kw_only(),
          nb::arg("cfd") = false,
          nb::sig("def walk_through(directory: str | os.PathLike[str], *, cfd: bool = False) -> "
                  "dict[str, typing.Any]"),
          R"(Prepare the demo workspace in `directory` (prepare_workspace), make it this
          process's workspace, and return the walk-through: `workspace`, `steps` and the
          `closing` line. Each step is a dict of its `title`, `live` (the text of a live line
          while it runs, or None) and `run(show, progress=None)`, which does the step and
          hands each output to show(kind, data, **context): 'text' (a line), 'product',
          'solvers', 'run', 'history', 'runs', 'gates' or 'diff', with what its rendering
          needs (path, registry, check, title, first, second). Ten steps on the sample sedan
          (two runs, the save flow, a baseline, releases v0.1 and v0.2); with `cfd` an
          eleventh runs the Ahmed body in OpenFOAM, passing `progress` to run_product. A
          failed run raises RuntimeError.)");
}
