#include "native/domain/results.h"

#include "native/domain/services.h"
#include "native/py.h"

namespace orvane::results {

nb::object domain_schema(nb::handle domain) {
    nb::object schema = services::solver_registry::get_domain_schema(domain);
    return py::truthy(schema) ? schema : nb::object(nb::dict());
}

nb::object domain_kpis(nb::handle domain, nb::handle result) {
    return services::kpi_service::extract_kpis(result,
                                               py::get(domain_schema(domain), "kpis", nb::dict()));
}

nb::object solver_id(nb::handle result) {
    nb::object executor = py::get(result, "executor_id", nb::none());
    return py::truthy(executor) ? executor : py::get(result, "solver", nb::str(""));
}

nb::dict history_metadata(nb::handle schema, nb::handle result) {
    nb::dict metadata;
    for (nb::handle key : py::get(schema, "extra_metadata", nb::list())) {
        if (py::contains(result, key)) metadata[key] = result[key];
    }
    return metadata;
}

void save(nb::handle path, nb::handle domain, nb::handle result, nb::handle kpis,
          nb::handle save_target) {
    using namespace nb::literals;
    nb::dict metadata = history_metadata(domain_schema(domain), result);
    services::product_twin::write_domain_results(
        path, domain, kpis, "solver"_a = solver_id(result),
        "provenance"_a = py::get(result, "provenance", nb::none()),
        "assumptions"_a = py::get(result, "assumptions", nb::none()),
        "extra_meta"_a = nb::len(metadata) > 0 ? nb::object(metadata) : nb::none(),
        "save_target"_a = save_target, "parameters"_a = py::get(result, "parameters", nb::none()),
        "converged"_a = py::truthy(py::get(result, "converged", nb::bool_(true))));
}

bool any_gate_failed(nb::handle evaluation) {
    static py::Name fail{"FAIL"};
    for (nb::handle gate : py::get(evaluation, "gates", nb::list())) {
        if (py::get(gate, "status", nb::none()).equal(fail.get())) return true;
    }
    return false;
}

}  // namespace orvane::results
