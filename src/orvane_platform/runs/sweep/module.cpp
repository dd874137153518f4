// Design sweeps: many runs of one product's solver over variants of its
// design parameters, on this machine's cores or on a Dask cluster. Each case
// is an ordinary recorded run, its design values given to the solver for that
// case only; a sweep never changes the product, and a case is saved into it
// only when applied (apply.cpp).
#include <nanobind/nanobind.h>

#include <chrono>
#include <cmath>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "apply.h"
#include "cases.h"
#include "local_pool.h"
#include "native/clock.h"
#include "native/domain/run_plan.h"
#include "native/domain/services.h"
#include "native/py.h"
#include "records.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

py::CachedModule distributed_module{"distributed"};
py::CachedModule json_module{"json"};
py::ModuleGlobals globals;

constexpr const char* kFunction = "run_sweep";
constexpr std::size_t kMaxCases = 100000;
constexpr auto kPollInterval = std::chrono::milliseconds(100);

// --- cases ---------------------------------------------------------------------------

template <typename Call>
auto spec_checked(Call&& call) {
    try {
        return call();
    } catch (const sweep::SpecError& error) {
        py::raise(py::exc::value_error(), std::string_view(error.what()));
    }
}

nb::object parse_spec(nb::handle spec) {
    py::require_str(spec, "parse_spec", "spec");
    nb::list values;
    for (double value : spec_checked([&] { return sweep::parse_spec(py::utf8(spec)); }))
        values.append(nb::float_(value));
    return values;
}

nb::object make_cases(nb::handle variables, nb::handle method, nb::handle samples,
                      nb::handle seed) {
    constexpr const char* kMake = "make_cases";
    py::require_dict(variables, kMake, "variables");
    py::require_str(method, kMake, "method");
    std::vector<nb::object> names;
    std::vector<std::vector<double>> values;
    for (auto [name, spec] : nb::borrow<nb::dict>(variables)) {
        py::require_str(name, kMake, "variables");
        py::require_str(spec, kMake, "variables");
        names.push_back(nb::borrow(name));
        values.push_back(
            spec_checked([&] { return sweep::variable_values(py::utf8(name), py::utf8(spec)); }));
    }
    if (names.empty()) py::raise(py::exc::value_error(), "a sweep needs at least one variable");
    std::vector<std::vector<double>> points;
    const std::string_view chosen = py::utf8(method);
    if (chosen == "grid") {
        points = spec_checked([&] { return sweep::grid(values, kMaxCases); });
    } else if (chosen == "lhs") {
        py::require<nb::int_>(samples, kMake, "samples");
        py::require<nb::int_>(seed, kMake, "seed");
        const long long count = nb::cast<long long>(samples);
        if (count < 1 || count > static_cast<long long>(kMaxCases))
            py::raise(py::exc::value_error(), "samples must be from 1 to " +
                                                  std::to_string(kMaxCases) + ", not " +
                                                  std::to_string(count));
        // A Latin hypercube spans each variable's range, whatever its listed values.
        std::vector<sweep::Range> ranges;
        for (const auto& list : values) {
            const auto [low, high] = std::minmax_element(list.begin(), list.end());
            ranges.push_back({*low, *high});
        }
        points = spec_checked([&] {
            return sweep::latin_hypercube(ranges, static_cast<std::size_t>(count),
                                          nb::cast<std::uint64_t>(seed));
        });
    } else {
        py::raise(py::exc::value_error(),
                  "method must be 'grid' or 'lhs', not " + py::repr(method));
    }
    nb::list cases;
    for (const auto& point : points) {
        nb::dict one;
        for (std::size_t v = 0; v < names.size(); ++v) one[names[v]] = nb::float_(point[v]);
        cases.append(one);
    }
    return cases;
}

// --- one sweep --------------------------------------------------------------------------

struct Counts {
    std::size_t total = 0, done = 0, cached = 0, failed = 0, running = 0;
};

class Sweep {
  public:
    Sweep(nb::object path, nb::handle domain, nb::handle solver, nb::handle cases, nb::handle study,
          bool rerun, nb::handle progress)
        : path_(std::move(path)),
          product_(services::product::product_class(path_)),
          id_(sweep::new_sweep_id()),
          study_(nb::borrow(study)),
          progress_(nb::borrow(progress)),
          started_(std::chrono::steady_clock::now()),
          started_at_(clock::utc_now_iso()) {
        nb::object chosen =
            services::solver_run::choose_solver(product_, "domain"_a = domain, "solver"_a = solver);
        solver_ = chosen[0];
        domain_ = chosen[1];
        // Every case within the solver's bounds before the first is planned:
        // a plan may run the solver's prepare step.
        for (nb::handle values : cases) {
            py::require_dict(values, kFunction, "cases");
            services::solver_run::check_design(solver_, values);
        }
        for (nb::handle values : cases) plan_case(values);
        counts_.total = entries_.size();
        if (!rerun) use_cached_runs();
    }

    ~Sweep() {
        for (const nb::dict& plan : plans_) run_plan::discard_prepared(plan);
    }
    Sweep(const Sweep&) = delete;
    Sweep& operator=(const Sweep&) = delete;

    nb::dict run(std::string_view engine, std::size_t workers, nb::handle scheduler) {
        std::vector<std::size_t> pending;
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (entries_[i]["status"].equal(nb::str("queued"))) pending.push_back(i);
        }
        report();
        if (engine == "local") {
            run_local(pending, workers);
        } else {
            run_dask(pending, workers, scheduler);
        }
        nb::dict made = summary(engine, workers);
        made["record"] = nb::str(sweep::write_record(path_, id_, record(made)));
        return made;
    }

  private:
    // {name: float} of a case's values; TypeError for anything else.
    static nb::dict case_values(nb::handle values) {
        constexpr const char* kExpected = "a list of {design parameter: number}";
        py::require_dict(values, kFunction, "cases");
        nb::dict numbers;
        for (auto [name, value] : nb::borrow<nb::dict>(values)) {
            if (!nb::isinstance<nb::str>(name))
                py::raise_argument_type(kFunction, "cases", kExpected, name);
            if (!py::is_real(value)) py::raise_argument_type(kFunction, "cases", kExpected, value);
            numbers[name] = py::to_float(value);
        }
        return numbers;
    }

    // Plans the case: its run as `orvane run` would make it, with its design
    // values for this run only and the sweep and case it belongs to on its
    // record. A case that cannot be planned has failed.
    void plan_case(nb::handle case_spec) {
        nb::dict values = case_values(case_spec);
        nb::dict entry;
        entry["index"] = entries_.size();
        entry["values"] = values;
        entry["status"] = "queued";
        for (const char* key : {"run_id", "fingerprint", "error", "gates"}) entry[key] = nb::none();
        entry["kpis"] = nb::dict();
        nb::dict labels;
        labels["sweep"] = id_;
        labels["sweep_case"] = entry["index"];
        nb::dict request;
        request["domain"] = domain_;
        request["solver"] = solver_;
        request["design"] = values;
        request["labels"] = labels;
        if (image_digest_) request["image_digest"] = *image_digest_;
        nb::dict plan = nb::borrow<nb::dict>(services::solver_run::plan_run(product_, **request));
        if (run_plan::is_plan(plan)) {
            image_digest_ = plan["image_digest"];
            entry["fingerprint"] = plan["provenance"]["fingerprint"];
        } else {
            entry["status"] = "error";
            entry["error"] = plan["error"];
        }
        plans_.push_back(plan);
        entries_.push_back(entry);
    }

    // Cases whose fingerprint already has a successful run take that run's
    // results instead of running again.
    void use_cached_runs() {
        std::map<std::string, nb::object> done;
        for (nb::handle run : services::run_index::product_runs(path_, "domain"_a = domain_)) {
            nb::object fingerprint = run["fingerprint"];
            if (run["status"].equal(nb::str("success")) && nb::isinstance<nb::str>(fingerprint))
                done.try_emplace(std::string(py::utf8(fingerprint)), nb::borrow(run));
        }
        for (nb::dict& entry : entries_) {
            if (!entry["status"].equal(nb::str("queued"))) continue;
            auto found = done.find(std::string(py::utf8(entry["fingerprint"])));
            if (found == done.end()) continue;
            entry["status"] = "cached";
            entry["run_id"] = found->second["run_id"];
            entry["kpis"] = found->second["kpis"];
            entry["gates"] = gate_verdicts(found->second["kpis"]);
            ++counts_.cached;
            ++counts_.done;
        }
    }

    nb::dict gate_verdicts(nb::handle kpis) {
        nb::dict result = py::dict_copy(kpis);
        result["status"] = "success";
        nb::dict by_domain;
        by_domain[domain_] = result;
        nb::dict verdicts;
        nb::object evaluation = product_.attr("evaluate_gates")("results"_a = by_domain);
        for (nb::handle gate : evaluation["gates"]) {
            if (gate["domain"].equal(domain_)) verdicts[gate["kpi"]] = gate["status"];
        }
        return verdicts;
    }

    // Records a finished case's run and gates its results, in the submitting
    // process, one case at a time.
    void finish(std::size_t index, nb::handle outcome) {
        nb::dict& entry = entries_[index];
        nb::object result = services::solver_run::complete_run(product_, plans_[index], outcome);
        entry["run_id"] = py::get(result, "run_id", nb::none());
        ++counts_.done;
        if (!py::get(result, "status", nb::none()).equal(nb::str("success"))) {
            const bool cancelled = outcome["ending"].equal(nb::str("cancelled"));
            entry["status"] = cancelled ? "interrupted" : "error";
            entry["error"] = py::get(result, "error", nb::none());
            ++counts_.failed;
            return;
        }
        nb::object kpis = services::solver_run::result_kpis(domain_, result);
        entry["status"] = "success";
        entry["kpis"] = kpis;
        entry["gates"] = gate_verdicts(kpis);
    }

    void report() {
        if (progress_.is_none()) return;
        nb::dict counts;
        counts["total"] = counts_.total;
        counts["done"] = counts_.done;
        counts["cached"] = counts_.cached;
        counts["failed"] = counts_.failed;
        counts["running"] = counts_.running;
        counts["elapsed"] = nb::float_(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count());
        progress_(counts);
    }

    // Ctrl-C: the first stops new cases, the second kills the running ones.
    template <typename Stop, typename Kill>
    void on_interrupt(Stop&& stop, Kill&& kill) {
        ++interrupts_;
        if (interrupts_ == 1)
            stop();
        else
            kill();
    }

    void run_local(const std::vector<std::size_t>& pending, std::size_t workers) {
        std::vector<sweep::Job> jobs;
        for (std::size_t index : pending)
            jobs.push_back({index, run_plan::command_of(plans_[index])});
        sweep::LocalPool pool(workers, std::move(jobs));
        while (!pool.done()) {
            try {
                for (sweep::Finished& finished : pool.collect(kPollInterval)) {
                    if (finished.launch_error) {
                        fail_case(finished.index, *finished.launch_error);
                        continue;
                    }
                    finish(finished.index, run_plan::outcome_of(finished.completed));
                }
                counts_.running = pool.running();
                report();
                py::check_signals();
            } catch (nb::python_error& error) {
                if (!error.matches(py::exc::keyboard_interrupt())) throw;
                on_interrupt([&] { pool.stop_dispatching(); }, [&] { pool.cancel_running(); });
            }
        }
        counts_.running = 0;
        mark_not_run();
    }

    void run_dask(const std::vector<std::size_t>& pending, std::size_t workers,
                  nb::handle scheduler) {
        nb::object cluster = nb::none();
        nb::object client;
        if (scheduler.is_none()) {
            cluster = distributed_module.attr("LocalCluster")(
                "n_workers"_a = workers, "threads_per_worker"_a = 1, "processes"_a = true,
                "dashboard_address"_a = nb::none());
            client = distributed_module.attr("Client")(cluster);
        } else {
            client = distributed_module.attr("Client")(scheduler);
        }
        try {
            dispatch_to_dask(client, pending);
        } catch (...) {
            close_dask(client, cluster);
            throw;
        }
        close_dask(client, cluster);
        mark_not_run();
    }

    // Keeps as many cases submitted as the cluster has threads, so that a
    // first Ctrl-C leaves only those to finish.
    void dispatch_to_dask(nb::handle client, const std::vector<std::size_t>& pending) {
        const std::size_t capacity = cluster_threads(client);
        nb::object task = globals.get("run_on_worker");
        nb::dict submitted;  // future -> case index
        std::size_t next = 0;
        bool dispatching = true;
        while (true) {
            try {
                for (; dispatching && next < pending.size() && nb::len(submitted) < capacity;
                     ++next)
                    submitted[client.attr("submit")(task, plans_[pending[next]],
                                                    "pure"_a = false)] = pending[next];
                counts_.running = nb::len(submitted);
                report();
                if (nb::len(submitted) == 0) break;
                collect_dask(submitted);
            } catch (nb::python_error& error) {
                if (!error.matches(py::exc::keyboard_interrupt())) throw;
                on_interrupt([&] { dispatching = false; },
                             [&] { abandon_dask(client, submitted); });
            }
        }
        counts_.running = 0;
    }

    static std::size_t cluster_threads(nb::handle client) {
        std::size_t threads = 0;
        for (nb::handle count : client.attr("nthreads")().attr("values")())
            threads += nb::cast<std::size_t>(count);
        return std::max<std::size_t>(threads, 1);
    }

    // Records the cases whose tasks end within a quarter of a second.
    void collect_dask(nb::dict& submitted) {
        nb::object waited;
        try {
            waited = distributed_module.attr("wait")(nb::list(submitted), "timeout"_a = 0.25,
                                                     "return_when"_a = "FIRST_COMPLETED");
        } catch (nb::python_error& error) {
            if (error.matches(py::exc::timeout_error())) return;
            throw;
        }
        for (nb::handle future : waited.attr("done")) {
            const auto index = nb::cast<std::size_t>(submitted.attr("pop")(future));
            nb::object outcome;
            try {
                outcome = future.attr("result")();
            } catch (nb::python_error& error) {
                if (!py::is_exception(error) || error.matches(py::exc::keyboard_interrupt())) throw;
                fail_case(index, "the Dask task failed: " + py::text(error.value()));
                continue;
            }
            finish(index, outcome);
        }
    }

    // Cancelled tasks stop their solvers (run_on_worker); their cases are
    // abandoned as interrupted.
    void abandon_dask(nb::handle client, nb::dict& submitted) {
        client.attr("cancel")(nb::list(submitted));
        process::Completed cancelled;
        cancelled.ending = process::Ending::cancelled;
        for (auto [future, index] : submitted)
            finish(nb::cast<std::size_t>(index), run_plan::outcome_of(cancelled));
        submitted.clear();
    }

    // A case that ended without a run to record.
    void fail_case(std::size_t index, const std::string& error) {
        entries_[index]["status"] = "error";
        entries_[index]["error"] = py::make_str(error);
        ++counts_.done;
        ++counts_.failed;
    }

    static void close_dask(nb::handle client, nb::handle cluster) {
        client.attr("close")();
        if (!cluster.is_none()) cluster.attr("close")();
    }

    // Cases left queued when the sweep stopped early.
    void mark_not_run() {
        for (nb::dict& entry : entries_) {
            if (entry["status"].equal(nb::str("queued"))) entry["status"] = "not run";
        }
    }

    nb::dict summary(std::string_view engine, std::size_t workers) {
        nb::dict made;
        made["sweep"] = id_;
        made["product"] = nb::str(path_);
        made["domain"] = domain_;
        made["solver"] = solver_;
        made["engine"] = py::make_str(engine);
        made["workers"] = workers;
        made["resources"] = services::solver_run::resource_verdict(solver_, path_.attr("parent"));
        nb::list cases;
        std::size_t not_run = 0;
        for (const nb::dict& entry : entries_) {
            cases.append(entry);
            not_run += entry["status"].equal(nb::str("not run"));
        }
        made["cases"] = cases;
        nb::dict counts;
        counts["total"] = counts_.total;
        counts["ran"] = counts_.done - counts_.cached - counts_.failed;
        counts["cached"] = counts_.cached;
        counts["failed"] = counts_.failed;
        counts["not_run"] = not_run;
        made["counts"] = counts;
        made["interrupted"] = interrupts_ > 0;
        made["elapsed"] = nb::float_(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count());
        made["passed"] = counts_.failed == 0 && not_run == 0;
        return made;
    }

    // What the sweep's record keeps of its summary: every case's values,
    // outcome and run, without the gates (targets change; runs do not).
    nb::dict record(const nb::dict& made) {
        nb::dict kept;
        for (const char* key : {"sweep", "product", "domain", "solver", "engine", "workers"})
            kept[key] = made[key];
        kept["study"] = study_;
        kept["started"] = started_at_;
        kept["finished"] = clock::utc_now_iso();
        kept["interrupted"] = made["interrupted"];
        kept["counts"] = made["counts"];
        nb::list cases;
        for (const nb::dict& entry : entries_) {
            nb::dict one;
            for (const char* key : {"index", "values", "status", "run_id", "fingerprint", "error"})
                one[key] = entry[key];
            one["kpis"] = finite_kpis(entry["kpis"]);
            cases.append(one);
        }
        kept["cases"] = cases;
        return kept;
    }

    // JSON has no NaN or infinity: such a KPI is kept as null.
    static nb::dict finite_kpis(nb::handle kpis) {
        nb::dict finite;
        for (auto [name, value] : nb::borrow<nb::dict>(kpis)) {
            const bool number = py::is_real(value) && !nb::isinstance<nb::bool_>(value);
            finite[name] =
                number && !std::isfinite(py::to_double(value)) ? nb::none() : nb::borrow(value);
        }
        return finite;
    }

    nb::object path_;
    nb::object product_;
    nb::str id_;
    nb::object study_;
    nb::object solver_;
    nb::object domain_;
    nb::object progress_;
    std::optional<nb::object> image_digest_;  // looked up by the first case's plan
    std::chrono::steady_clock::time_point started_;
    nb::str started_at_;
    std::vector<nb::dict> plans_;
    std::vector<nb::dict> entries_;
    Counts counts_;
    int interrupts_ = 0;
};

std::size_t worker_count(nb::handle workers) {
    if (workers.is_none()) return std::max(1u, std::thread::hardware_concurrency());
    py::require<nb::int_>(workers, kFunction, "workers");
    const long long count = nb::cast<long long>(workers);
    if (count < 1 || count > 1024)
        py::raise(py::exc::value_error(),
                  "workers must be from 1 to 1024, not " + std::to_string(count));
    return static_cast<std::size_t>(count);
}

// Refuses a study the record could not hold, before anything runs.
void require_json_study(nb::handle study) {
    py::require_dict_or_none(study, kFunction, "study");
    try {
        json_module.attr("dumps")(study, "allow_nan"_a = false);
    } catch (nb::python_error& error) {
        if (!error.matches(py::exc::value_error()) && !error.matches(py::exc::type_error())) throw;
        py::raise(py::exc::value_error(),
                  "study must hold JSON values only: " + py::display_text(error.value()));
    }
}

nb::object run_sweep(nb::handle usda_path, nb::handle domain, nb::handle solver, nb::handle cases,
                     nb::handle engine, nb::handle workers, nb::handle scheduler, nb::handle study,
                     bool rerun, nb::handle progress) {
    nb::object path = py::require_path(usda_path, kFunction, "usda_path");
    py::require_str_or_none(domain, kFunction, "domain");
    py::require_str_or_none(solver, kFunction, "solver");
    if (!nb::isinstance<nb::list>(cases) || nb::len(cases) == 0)
        py::raise(py::exc::value_error(), "cases must be a non-empty list of {parameter: value}");
    py::require_str(engine, kFunction, "engine");
    const std::string_view engine_name = py::utf8(engine);
    if (engine_name != "local" && engine_name != "dask")
        py::raise(py::exc::value_error(),
                  "engine must be 'local' or 'dask', not " + py::repr(engine));
    if (engine_name == "local" && !scheduler.is_none())
        py::raise(py::exc::value_error(), "a scheduler address needs the dask engine");
    py::require_str_or_none(scheduler, kFunction, "scheduler");
    require_json_study(study);
    if (!progress.is_none() && !nb::isinstance<nb::callable>(progress))
        py::raise_argument_type(kFunction, "progress", "callable or None", progress);
    const std::size_t pool_size = worker_count(workers);
    Sweep sweep(path, domain, solver, cases, study, rerun, progress);
    return sweep.run(engine_name, pool_size, scheduler);
}

// The Dask task of one case: its plan run on the worker, its solver stopped
// once the task is cancelled, as it is when the sweep cancels it or its
// client is gone; a worker of another host would run it to its end else.
nb::object run_on_worker(nb::handle plan) {
    nb::object worker = distributed_module.attr("get_worker")();
    nb::object key = worker.attr("get_current_task")();
    nb::object tasks = worker.attr("state").attr("tasks");
    auto stop_when_cancelled = [tasks, key](nb::handle, nb::handle) {
        nb::object task = tasks.attr("get")(key);
        if (task.is_none() || task.attr("state").equal(nb::str("cancelled")))
            py::raise(py::exc::runtime_error(), "the sweep no longer wants this case");
    };
    return services::solver_run::execute_plan(
        plan, "progress"_a = nb::cpp_function(std::move(stop_when_cancelled)));
}

}  // namespace

NB_MODULE(sweep, m) {
    m.doc() =
        "Design sweeps: one product's solver over many variants of its design, and a case "
        "applied to the product.";
    m.def("parse_spec", &parse_spec, nb::arg("spec").none(),
          nb::sig("def parse_spec(spec: str) -> list[float]"),
          R"(The values of a variable's specification: 'start:stop:count' (evenly spaced, both
          ends included), a comma list, or one number. ValueError naming a bad one.)");
    m.def("make_cases", &make_cases, nb::arg("variables").none(), nb::kw_only(),
          nb::arg("method").none() = "grid", nb::arg("samples").none() = nb::none(),
          nb::arg("seed").none() = 0,
          nb::sig("def make_cases(variables: dict[str, str], *, method: str = 'grid', samples: "
                  "int | None = None, seed: int = 0) -> list[dict[str, float]]"),
          R"(The cases of a sweep over `variables` ({parameter: spec}): 'grid' is the full
          factorial of their values; 'lhs' is a Latin hypercube of `samples` points over each
          variable's range (lowest to highest value), reproducible by `seed`.)");
    m.def("run_sweep", &run_sweep, nb::arg("usda_path").none(), nb::kw_only(),
          nb::arg("domain").none() = nb::none(), nb::arg("solver").none() = nb::none(),
          nb::arg("cases").none(), nb::arg("engine").none() = "local",
          nb::arg("workers").none() = nb::none(), nb::arg("scheduler").none() = nb::none(),
          nb::arg("study").none() = nb::none(), nb::arg("rerun") = false,
          nb::arg("progress").none() = nb::none(),
          nb::sig("def run_sweep(usda_path: str | os.PathLike[str], *, domain: str | None = None, "
                  "solver: str | None = None, cases: list[dict[str, float]], engine: str = "
                  "'local', workers: int | None = None, scheduler: str | None = None, study: "
                  "dict[str, typing.Any] | None = None, rerun: bool = False, progress: "
                  "typing.Callable[[dict[str, typing.Any]], object] | None = None) -> dict[str, "
                  "typing.Any]"),
          R"(Run the product's solver for every case ({design parameter: value}, for that run
          only). Each case is a recorded run labelled with the sweep's id and its index, and
          gated; a case whose fingerprint already has a successful run is reported as cached
          (with that run) unless `rerun`. The product's design, results and history are never
          changed: apply_case saves a case into it. Engines: 'local' (`workers` threads,
          default the cores) or 'dask' (a cluster at `scheduler`, else a local cluster of
          `workers` processes). `progress(counts)` hears total, done, cached, failed, running
          and elapsed. Ctrl-C stops starting cases, a second one stops the running ones. When
          it ends the sweep's record, with `study` (how the cases were made, e.g. make_cases's
          arguments), is written to <product folder>/sweeps/<sweep id>.json. Returns the
          summary: sweep (its id), record, and every case.)");
    m.def("run_on_worker", &run_on_worker, nb::arg("plan").none(),
          nb::sig("def run_on_worker(plan: dict[str, typing.Any]) -> dict[str, typing.Any]"),
          R"(The Dask task of a sweep's case: solver_run.execute_plan(plan) on the worker that
          runs it, whose solver (and everything it started) is killed once the task is
          cancelled, by the sweep or because its client is gone.)");
    py::pickle_by_name(m.attr("run_on_worker"));
    sweep::bind_apply(m);
    globals.bind(m);
}
