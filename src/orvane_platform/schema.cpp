// Stands in for the surrounding package's KPI extraction service: the one
// place where KPI values are taken out of a solver's result dictionary. The
// real one is the package's result schema.
#include <nanobind/nanobind.h>

#include "native/py.h"
#include "native/text.h"

namespace nb = nanobind;
using namespace orvane;

namespace {

// The first non-None value of `mapping` under `kpi`: the exact key first, then
// any string key equal to it ignoring ASCII case, in the mapping's order.
nb::object find_in(nb::handle mapping, nb::handle kpi, std::string_view kpi_text) {
    nb::object exact = py::dict_get(mapping, kpi);
    if (exact.is_valid() && !exact.is_none()) return exact;
    for (auto [key, value] : nb::borrow<nb::dict>(mapping)) {
        if (value.is_none() || !nb::isinstance<nb::str>(key)) continue;
        if (text::equals_ignore_ascii_case(py::utf8(key), kpi_text)) return nb::borrow(value);
    }
    return nb::object();
}

// A KPI's value, looked up in the flat keys of the result and then in its
// nested "kpis" section (that key matched ignoring case too). Invalid when
// the result does not carry the KPI.
nb::object find_kpi(nb::handle result, nb::handle kpi) {
    const std::string_view kpi_text = py::utf8(kpi);
    nb::object flat = find_in(result, kpi, kpi_text);
    if (flat.is_valid()) return flat;
    static py::Name section_name{"kpis"};
    nb::object section = find_in(result, section_name.get(), "kpis");
    if (section.is_valid() && nb::isinstance<nb::dict>(section))
        return find_in(section, kpi, kpi_text);
    return nb::object();
}

nb::object get_kpi(nb::handle result, nb::handle kpi) {
    py::require_dict(result, "_get_kpi", "result");
    py::require_str(kpi, "_get_kpi", "kpi");
    nb::object value = find_kpi(result, kpi);
    return value.is_valid() ? value : nb::none();
}

// Whether float(value) works; what float() raises other than ValueError,
// TypeError and OverflowError (an int no double holds) reaches the caller.
bool converts_to_float(nb::handle value) {
    try {
        py::to_float(value);
        return true;
    } catch (nb::python_error& error) {
        if (!error.matches(py::exc::value_error()) && !error.matches(py::exc::type_error()) &&
            !error.matches(py::exc::overflow_error()))
            throw;
        return false;
    }
}

nb::object extract_kpis(nb::handle result, nb::handle kpis) {
    py::require_dict(result, "extract_kpis", "result");
    if (!nb::isinstance<nb::dict>(kpis) && !nb::isinstance<nb::list>(kpis) &&
        !nb::isinstance<nb::tuple>(kpis)) {
        py::raise_argument_type("extract_kpis", "kpis", "dict, list or tuple", kpis);
    }
    nb::dict found;
    for (nb::handle kpi : kpis) {
        if (!nb::isinstance<nb::str>(kpi)) {
            py::raise_argument_type("extract_kpis", "kpis", "a collection of str KPI keys", kpi);
        }
        nb::object value = find_kpi(result, kpi);
        if (value.is_valid() && converts_to_float(value)) found[kpi] = value;
    }
    return found;
}

}  // namespace

NB_MODULE(schema, m) {
    m.doc() = "KPI extraction from solver results, matching KPI names ignoring case.";
    m.def("_get_kpi", &get_kpi, nb::arg("result").none(), nb::arg("kpi").none(),
          nb::sig("def _get_kpi(result: dict[str, typing.Any], kpi: str) -> typing.Any"),
          R"(The KPI's value in one domain's result (flat keys first, then a nested `kpis`
          section; names compared ignoring case), or None when the result does not carry it.)");
    m.def("extract_kpis", &extract_kpis, nb::arg("result").none(), nb::arg("kpis").none(),
          nb::sig("def extract_kpis(result: dict[str, typing.Any], kpis: "
                  "dict[str, typing.Any] | list[str] | tuple[str, ...]) -> dict[str, typing.Any]"),
          R"(KPI key to value for every KPI of `kpis` (a domain's `kpis` mapping, or a list
          of names) that the result carries with a value convertible to float, found as
          _get_kpi finds it.)");
}
