// Stands in for the surrounding package's gateway client, with the gateway's
// save tool run in-process. The real one calls the gateway's MCP server.
#include <nanobind/nanobind.h>

#include <string>

#include "native/domain/product_lock.h"
#include "native/domain/services.h"
#include "native/fs.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace orvane;

namespace {

constexpr const char* kWriteArguments[] = {
    "domain",     "kpis",        "solver",     "provenance",           "assumptions",
    "extra_meta", "save_target", "parameters", "only_missing_targets", "converged"};

nb::object save(nb::handle request) {
    nb::object name = request.attr("get")("product_name");
    if (!nb::isinstance<nb::str>(name) || !fs::is_single_component(py::utf8(name))) {
        return py::error_status("product_name must name one product folder, not " + py::repr(name));
    }
    nb::object products = services::gateway::gateway_config().attr("products_dir");
    nb::object path = products / name / py::concat(name, nb::str(".usda"));
    if (!py::truthy(path.attr("is_file")()))
        return py::error_status("Product not found: " + py::text(path));
    // Other writers wait until both the results and their baseline tag are in.
    const product_lock::ProductLock lock(path);
    nb::dict arguments;
    for (const char* key : kWriteArguments) {
        nb::object value = py::dict_get(request, key);
        if (value.is_valid()) arguments[key] = value;
    }
    services::product_twin::write_domain_results(path, **arguments);
    if (py::truthy(request.attr("get")("tag_baseline"))) {
        nb::dict kpis;
        for (auto [key, value] : nb::borrow<nb::dict>(request["kpis"]))
            kpis[key] = nb::float_(py::to_double(value));
        services::product_twin::tag_baseline(path, request["domain"], kpis);
    }
    nb::dict reply;
    reply["status"] = "ok";
    return reply;
}

nb::object save_results(nb::handle, nb::kwargs request) {
    // A bad request is answered, never raised: the gateway keeps serving.
    try {
        return save(request);
    } catch (nb::python_error& error) {
        if (!py::is_exception(error)) throw;
        return py::error_status(py::text(error.value()));
    }
}

}  // namespace

NB_MODULE(mcp_client, m) {
    m.doc() = "The client of the solver gateway; its save tool runs in this process.";
    py::ClassBuilder(m, "SolverMCPClient", "Client of the solver gateway's tools.")
        .method("save_results", &save_results,
                nb::sig("def save_results(self, **request: typing.Any) -> dict[str, str]"),
                R"(The gateway's save tool: write a domain's KPIs into
                products/<name>/<name>.usda under the gateway's products_dir (and tag the
                baseline when asked). Answers {'status': 'ok'} or
                {'status': 'error', 'error': text}.)")
        .finish();
}
