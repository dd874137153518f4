// The doctor's checks: the settings in effect, this host's resources, each
// solver's resource verdict and certificate, and whether the LLM answers.
#include <nanobind/nanobind.h>

#include "native/domain/services.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

nb::dict host_of(nb::handle hardware) {
    nb::dict host;
    for (const char* field : {"ram_mb", "vram_mb", "cpu_cores", "arch", "disk_mb"})
        host[field] = hardware.attr(field);
    return host;
}

nb::list solver_verdicts(nb::handle hardware) {
    nb::list solvers;
    for (nb::handle alias : services::solver_registry::all_solver_aliases()) {
        nb::object verdict =
            services::capacity_gate::gate_solver_resources(alias, "hw"_a = hardware);
        nb::object record = services::solver_registry::get_solver_record(alias);
        nb::dict entry;
        entry["alias"] = alias;
        entry["resources"] = verdict.attr("severity");
        entry["messages"] = nb::list(verdict.attr("messages"));
        entry["certificate"] = services::solver_certs::verify_solver_cert(
            py::truthy(record) ? record : nb::object(nb::dict()));
        solvers.append(entry);
    }
    return solvers;
}

nb::dict llm_state() {
    nb::object config = services::llm::config();
    nb::dict llm;
    llm["model"] = config.attr("model");
    llm["url"] = config.attr("base_url");
    llm["ready"] = true;
    llm["error"] = nb::none();
    llm["hint"] = nb::none();
    try {
        services::llm::client(config).attr("health_check")();
    } catch (nb::python_error& error) {
        if (!error.matches(services::llm::unavailable_error.get())) throw;
        nb::object unavailable = services::agent::llm_unavailable(error.value());
        llm["ready"] = false;
        llm["error"] = unavailable["error"];
        llm["hint"] = unavailable["hint"];
    }
    return llm;
}

nb::dict diagnose() {
    nb::dict document;
    document["settings"] = services::workspace::settings();
    nb::object hardware = services::capacity_gate::hardware_probe.get().attr("probe")();
    document["host"] = host_of(hardware);
    nb::list solvers = solver_verdicts(hardware);
    document["solvers"] = solvers;
    nb::dict llm = llm_state();
    document["llm"] = llm;
    bool ok = py::truthy(llm["ready"]);
    for (nb::handle entry : solvers)
        ok = ok && !nb::object(entry["certificate"]).equal(nb::str("unverified"));
    document["ok"] = ok;
    return document;
}

}  // namespace

NB_MODULE(doctor, m) {
    m.doc() = "The doctor's checks of a workspace, this host, the solvers and the LLM.";
    m.def("diagnose", &diagnose, nb::sig("def diagnose() -> dict[str, typing.Any]"),
          R"(Every check `orvane doctor` makes, as one document: `settings` (workspace.settings()),
          `host` (ram_mb, vram_mb, cpu_cores, arch, disk_mb of this host's probe), `solvers`
          (each registered alias with its resource severity and messages and its certificate
          status), `llm` (model, url, ready, and when the server or model is missing the
          error and the hint of what to change) and `ok`: False when the LLM is not ready or a
          certificate is unverified.)");
}
