// orvane-openfoam-ahmed: the Ahmed body in OpenFOAM, as a solver of the
// platform. The case (YAML) comes on standard input; the result (JSON) goes
// to standard output, progress lines to standard error.
//
//   orvane-openfoam-ahmed                  mesh (or reuse a cached mesh) and solve
//   orvane-openfoam-ahmed --prepare DIR    write the body's STL into DIR and print
//                                          {"geometry": [...], "mesh_cache": ...}
//
// The run reuses the STL of ORVANE_PREPARED_DIR when the platform prepared
// one, and keeps meshes under ORVANE_CACHE_DIR/meshes/<digest> so that a run
// that changes only the flow skips meshing. Every failure of the case is a
// result {"status": "error", "error": ...} with exit status 0; the work folder
// is kept then, and removed after a success unless inputs.keep_work_dir.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ahmed_body.h"
#include "case_input.h"
#include "foam_case.h"
#include "foam_log.h"
#include "json_out.h"
#include "native/numbers.h"
#include "tool_process.h"

namespace fs = std::filesystem;
using namespace orvane::foam;
namespace numbers = orvane::numbers;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kMaxCaseBytes = 1 << 20;

// A failure of the case, reported as the result's error.
struct CaseFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The driver was asked to stop while it ran.
struct Stopped {
    int signal_number;
};

void say(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string seconds_text(double seconds) { return numbers::fixed(seconds, 1) + " s"; }

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Written beside its place and moved in: a reader never sees half a file.
void write_file_atomic(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    const fs::path partial = path.parent_path() / ("." + path.filename().string() + ".partial-" +
                                                   std::to_string(::getpid()));
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) throw CaseFailure("cannot write " + partial.string());
    }
    fs::rename(partial, path);
}

void write_files(const fs::path& folder, const CaseFiles& files) {
    for (const auto& [relative, text] : files) write_file_atomic(folder / relative, text);
}

void print_result(const JsonObject& result) {
    std::printf("%s\n", result.str().c_str());
    std::fflush(stdout);
}

JsonObject error_result(const std::string& message) {
    JsonObject result;
    result.add("status", "error").add("error", message);
    return result;
}

// The installed OpenFOAM, as its Debian package names its version.
std::string foam_version() {
    std::string version;
    run_tool({"dpkg-query", "--show", "--showformat=${Version}", "openfoam"}, ".", "/dev/null",
             [&](std::string_view line) { version += line; });
    const auto space = version.find_first_of(" \t\n");
    if (version.empty() || space != std::string::npos || version.find(':') != std::string::npos)
        return "unknown";
    return version;
}

// What the tools need from the environment: Debian's OpenFOAM finds its etc
// folder through WM_PROJECT_DIR; Open MPI refuses root without consent.
void prepare_environment() {
    if (std::getenv("WM_PROJECT_DIR") == nullptr && fs::is_directory("/usr/share/openfoam/etc"))
        ::setenv("WM_PROJECT_DIR", "/usr/share/openfoam", 0);
    if (::geteuid() == 0) {
        ::setenv("OMPI_ALLOW_RUN_AS_ROOT", "1", 0);
        ::setenv("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1", 0);
    }
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? "" : value;
}

class Driver {
  public:
    Driver(RunSettings settings, std::string version)
        : settings_(std::move(settings)), version_(std::move(version)) {}

    JsonObject run() {
        const auto start = Clock::now();
        work_ = make_work_folder();
        say("work folder " + work_.string());
        try {
            const auto geometry_start = Clock::now();
            const std::string stl = geometry();
            const double geometry_seconds = since(geometry_start);
            const auto mesh_start = Clock::now();
            const MeshOutcome mesh = mesh_body(stl);
            const double mesh_seconds = since(mesh_start);
            const auto solve_start = Clock::now();
            JsonObject result = solve(mesh);
            const double solve_seconds = since(solve_start);
            result.add("geometry_seconds", geometry_seconds)
                .add("mesh_seconds", mesh_seconds)
                .add("solve_seconds", solve_seconds)
                .add("wall_clock_seconds", since(start));
            if (settings_.keep_work_dir) {
                result.add("work_dir", work_.string());
            } else {
                std::error_code ignored;
                fs::remove_all(work_, ignored);
                result.add_null("work_dir");
            }
            return result;
        } catch (const CaseFailure& failure) {
            say("failed: " + std::string(failure.what()));
            JsonObject result = error_result(failure.what());
            result.add("work_dir", work_.string()).add("solver_version", version_);
            return result;
        } catch (const fs::filesystem_error& failure) {
            JsonObject result = error_result(failure.what());
            result.add("work_dir", work_.string()).add("solver_version", version_);
            return result;
        }
    }

    const fs::path& work_folder() const { return work_; }

  private:
    struct MeshOutcome {
        std::string key;
        bool reused;
        long cells;
    };

    static fs::path make_work_folder() {
        std::string pattern = (fs::temp_directory_path() / "orvane-openfoam-ahmed-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw CaseFailure("cannot make a work folder from " + pattern);
        return pattern;
    }

    // The body's STL: the prepared one when the platform made it (the file
    // the run's provenance hashed), else made now.
    std::string geometry() {
        std::string stl;
        const std::string prepared = environment("ORVANE_PREPARED_DIR");
        if (!prepared.empty()) {
            const fs::path file = fs::path(prepared) / kSurfaceFile;
            if (!fs::is_regular_file(file))
                throw CaseFailure("the prepared geometry " + file.string() + " is missing");
            stl = read_file(file);
            say("geometry: the prepared " + file.string());
        } else {
            stl = to_stl(triangulate(settings_.body), "ahmed");
            say("geometry: made from the design parameters");
        }
        write_file_atomic(work_ / "constant" / "triSurface" / kSurfaceFile, stl);
        return stl;
    }

    // Runs one tool in the work folder: its log beside it, its progress on
    // standard error. Throws CaseFailure with its own last words when it
    // fails, Stopped when the driver was asked to stop.
    ToolLog step(const std::vector<std::string>& argv) {
        const std::string tool = argv[0] == "mpirun" ? argv[4] : argv[0];
        ToolLog log(tool);
        say(tool + " started");
        const ToolRun run = run_tool(argv, work_.string(), (work_ / ("log." + tool)).string(),
                                     [&](std::string_view line) {
                                         if (auto progress = log.feed(line)) say(*progress);
                                     });
        if (stop_signal() != 0) throw Stopped{stop_signal()};
        if (run.exit_code == 0 && run.signal == 0) {
            say(tool + " finished in " + seconds_text(run.seconds));
            return log;
        }
        std::string message = tool;
        const bool trapped = log.floating_point_exception() || run.signal == SIGFPE;
        if (trapped && log.iteration() > 0) {
            message += " diverged: a floating point exception at iteration " +
                       std::to_string(log.iteration());
        } else if (trapped) {
            message += " failed: a floating point exception";
        } else if (run.signal != 0) {
            message += " was killed by signal " + std::to_string(run.signal);
        } else {
            message += " failed with exit status " + std::to_string(run.exit_code);
        }
        const std::string said = log.last_message();
        throw CaseFailure(said.empty() ? message : message + ": " + said);
    }

    std::vector<std::string> on_cores(std::vector<std::string> argv) const {
        if (settings_.cores <= 1) return argv;
        std::vector<std::string> parallel = {"mpirun", "--oversubscribe", "-np",
                                             std::to_string(settings_.cores)};
        parallel.insert(parallel.end(), argv.begin(), argv.end());
        parallel.push_back("-parallel");
        return parallel;
    }

    fs::path cached_mesh(const std::string& key) const {
        const std::string cache = environment("ORVANE_CACHE_DIR");
        if (cache.empty()) return {};
        return fs::path(cache) / "meshes" / key.substr(key.find(':') + 1);
    }

    MeshOutcome mesh_body(const std::string& stl) {
        const CaseFiles files = mesh_files(settings_.body, settings_.level, settings_.cores);
        MeshOutcome outcome{mesh_key(stl, files, version_), false, 0};
        const fs::path polymesh = work_ / "constant" / "polyMesh";
        const fs::path cached = cached_mesh(outcome.key);
        if (!cached.empty() && fs::is_regular_file(cached / "polyMesh" / "owner")) {
            fs::copy(cached / "polyMesh", polymesh, fs::copy_options::recursive);
            outcome.reused = true;
            say("mesh: reused " + cached.string());
        } else {
            write_files(work_, files);
            step({"blockMesh"});
            step({"surfaceFeatureExtract"});
            if (settings_.cores > 1) {
                step({"decomposePar", "-force"});
                step(on_cores({"snappyHexMesh", "-overwrite"}));
                step({"reconstructParMesh", "-constant"});
            } else {
                step({"snappyHexMesh", "-overwrite"});
            }
            if (!cached.empty()) publish(polymesh, cached);
        }
        std::string header = read_file(polymesh / "owner").substr(0, 4096);
        const auto cells = mesh_cells(header);
        if (!cells) throw CaseFailure("the mesh in " + polymesh.string() + " has no cell count");
        outcome.cells = *cells;
        say("mesh: " + std::to_string(outcome.cells) + " cells (" + settings_.level.name + ")");
        return outcome;
    }

    // Into the cache in one step: built beside its place and renamed, so
    // that a run never sees half a mesh; when another run published the
    // same mesh first, that one stays.
    static void publish(const fs::path& polymesh, const fs::path& cached) {
        const fs::path incoming =
            cached.parent_path() /
            (".incoming-" + cached.filename().string() + "-" + std::to_string(::getpid()));
        std::error_code error;
        fs::create_directories(incoming, error);
        if (!error) fs::copy(polymesh, incoming / "polyMesh", fs::copy_options::recursive, error);
        if (!error) fs::rename(incoming, cached, error);
        if (error) {
            std::error_code ignored;
            fs::remove_all(incoming, ignored);
            if (!fs::exists(cached)) say("mesh: not cached (" + error.message() + ")");
            return;
        }
        say("mesh: cached as " + cached.string());
    }

    JsonObject solve(const MeshOutcome& mesh) {
        write_files(work_, solve_files(settings_.body, settings_.flow, settings_.cores));
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(work_)) {
            if (entry.path().filename().string().starts_with("processor"))
                fs::remove_all(entry.path(), ignored);
        }
        if (settings_.cores > 1) step({"decomposePar", "-force"});
        const ToolLog log = step(on_cores({"simpleFoam"}));
        const fs::path history_file =
            work_ / "postProcessing" / "forceCoeffs" / "0" / "coefficient.dat";
        const std::vector<Coefficients> rows = parse_coefficients(read_file(history_file));
        if (rows.empty())
            throw CaseFailure("simpleFoam wrote no force coefficients to " + history_file.string());
        const CoefficientSummary summary = summarise(rows);
        if (!summary.finite || std::fabs(summary.cd) > 100 || std::fabs(summary.cl) > 100) {
            throw CaseFailure("simpleFoam diverged: the drag coefficient reached " +
                              json_number(rows.back().cd) + " at iteration " +
                              std::to_string(rows.back().iteration));
        }
        // Converged: the residual controls were met, or the drag settled to
        // within 1 % over the averaging window.
        const bool converged = log.converged() || (rows.size() >= 50 && summary.cd_spread < 0.01);
        JsonObject assumptions;
        auto assumption = [&](const char* name, double value, const char* unit) {
            JsonObject entry;
            entry.add("value", value).add("unit", unit);
            assumptions.add(name, entry);
        };
        assumption("reference_area", settings_.body.frontal_area(), "m2");
        assumption("reference_length", settings_.body.length, "m");
        assumption("kinematic_viscosity", settings_.flow.viscosity, "m2/s");
        assumption("reynolds_number",
                   settings_.flow.speed * settings_.body.length / settings_.flow.viscosity, "-");

        JsonObject result;
        result.add("status", "success")
            .add("solver", settings_.solver)
            .add("solver_version", version_)
            .add("cd", summary.cd)
            .add("cl", summary.cl)
            .add("converged", converged)
            .add("iterations", rows.back().iteration)
            .add("cd_spread", summary.cd_spread)
            .add("averaging_window", summary.window)
            .add("cells", mesh.cells)
            .add("mesh_level", settings_.level.name)
            .add("cores", settings_.cores)
            .add("mesh_cache", mesh.key)
            .add("mesh_reused", mesh.reused)
            .add("turbulence_model", "kOmegaSST")
            .add("half_model", true)
            .add("assumptions", assumptions);
        JsonObject history;
        history.add_list("iteration", rows,
                         [](const Coefficients& r) { return std::to_string(r.iteration); });
        history.add_list("cd", rows, [](const Coefficients& r) { return json_number(r.cd); });
        history.add_list("cl", rows, [](const Coefficients& r) { return json_number(r.cl); });
        result.add("history", history);
        return result;
    }

    RunSettings settings_;
    std::string version_;
    fs::path work_;
};

int prepare(const RunSettings& settings, const std::string& folder, const std::string& version) {
    const std::string stl = to_stl(triangulate(settings.body), "ahmed");
    const fs::path file = fs::absolute(fs::path(folder) / kSurfaceFile);
    write_file_atomic(file, stl);
    JsonObject result;
    result.add_list("geometry", std::vector<std::string>{file.string()},
                    [](const std::string& path) { return json_string(path); });
    result
        .add("mesh_cache",
             mesh_key(stl, mesh_files(settings.body, settings.level, settings.cores), version))
        .add("solver_version", version);
    print_result(result);
    return 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: orvane-openfoam-ahmed [--prepare DIR] < case.yaml\n"
                 "Runs the Ahmed body of the case in OpenFOAM and prints the result as JSON;\n"
                 "with --prepare, writes the body's STL into DIR and prints its mesh key.\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string prepare_folder;
    if (arguments.size() == 2 && arguments[0] == "--prepare") {
        prepare_folder = arguments[1];
    } else if (!arguments.empty()) {
        return usage();
    }
    std::string case_text;
    char buffer[1 << 16];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;) {
        case_text.append(buffer, n);
        if (case_text.size() > kMaxCaseBytes) {
            print_result(error_result("the case is larger than " + std::to_string(kMaxCaseBytes) +
                                      " bytes"));
            return 0;
        }
    }
    handle_stop_signals();
    prepare_environment();
    RunSettings settings;
    try {
        settings = run_settings(CaseInput::parse(case_text));
    } catch (const std::invalid_argument& refused) {
        print_result(error_result(refused.what()));
        return 0;
    }
    const std::string version = foam_version();
    try {
        if (!prepare_folder.empty()) return prepare(settings, prepare_folder, version);
        Driver driver(settings, version);
        try {
            print_result(driver.run());
        } catch (const Stopped& stopped) {
            const std::string message =
                "stopped by signal " + std::to_string(stopped.signal_number) +
                "; the work folder is kept at " + driver.work_folder().string();
            say(message);
            JsonObject result = error_result(message);
            result.add("work_dir", driver.work_folder().string());
            print_result(result);
            return 128 + stopped.signal_number;
        }
    } catch (const std::exception& failure) {
        print_result(error_result(failure.what()));
    }
    return 0;
}
