#include "native/domain/results.h"

#include "native/domain/services.h"
#include "native/py.h"
#include "native/text.h"

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

bool converged(nb::handle value) {
    if (!nb::isinstance<nb::str>(value)) return py::truthy(value);
    const std::string word = text::lower_ascii(py::utf8(value));
    return word == "yes" || word == "true" || word == "1" || word == "converged";
}

}  // namespace orvane::results
