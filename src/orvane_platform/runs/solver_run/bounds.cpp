// Design values checked against the bounds solvers declare for what they
// read (solver.yaml `design`), before anything runs or is written: a value
// outside them would only make a solver fail late, or answer nonsense.
#include <nanobind/nanobind.h>

#include <cmath>
#include <string>
#include <vector>

#include "native/domain/design.h"
#include "native/domain/services.h"
#include "native/numbers.h"
#include "native/py.h"
#include "solver_run.h"

namespace orvane::solver_run {

namespace {

// A value as a refusal shows it: numbers as the shortest text that reads
// back, anything else as its repr.
std::string shown(nb::handle value) {
    return py::is_real(value) ? numbers::shortest(py::to_double(value)) : py::repr(value);
}

std::string choices_text(nb::handle choices) {
    std::string text;
    for (nb::handle choice : choices) text += (text.empty() ? "" : ", ") + py::repr(choice);
    return text;
}

// Raises ValueError naming the parameter, the value, the bound it breaks and
// the solver that declares it.
void require_within(const design::Parameter& parameter, nb::handle value, nb::handle solver) {
    const std::string name = py::display_text(parameter.name) + " = " + shown(value);
    const std::string declarer = " that solver " + py::display_text(solver) + " declares";
    if (parameter.choices.is_valid()) {
        if (!nb::isinstance<nb::str>(value) || !py::contains(parameter.choices, value))
            py::raise(py::exc::value_error(), name + " is not one of the choices " +
                                                  choices_text(parameter.choices) + declarer);
        return;
    }
    if (!parameter.min && !parameter.max) return;
    const bool number = py::is_real(value) && !std::isnan(py::to_double(value));
    if (!number)
        py::raise(py::exc::value_error(), name + " is not a number within the bounds" + declarer);
    const double given = py::to_double(value);
    if (parameter.min && given < *parameter.min)
        py::raise(py::exc::value_error(),
                  name + " is below the minimum " + numbers::shortest(*parameter.min) + declarer);
    if (parameter.max && given > *parameter.max)
        py::raise(py::exc::value_error(),
                  name + " is above the maximum " + numbers::shortest(*parameter.max) + declarer);
}

// The parameters `solver` declares, from its configuration (a dict or None).
std::vector<design::Parameter> declared_by(nb::handle solver, nb::handle config) {
    nb::object design = py::truthy(config) ? config.attr("get")("design") : nb::none();
    return design::declared(design,
                            "solver " + py::repr(solver) + " declares a malformed design: ");
}

void check_values(const std::vector<design::Parameter>& parameters, nb::handle solver,
                  nb::handle values) {
    for (const design::Parameter& parameter : parameters) {
        nb::object value = py::dict_get(values, parameter.name);
        if (value.is_valid()) require_within(parameter, value, solver);
    }
}

void check_design_binding(nb::handle solver, nb::handle values) {
    py::require_str(solver, "check_design", "solver");
    py::require_dict(values, "check_design", "values");
    check_design(solver, values);
}

}  // namespace

void check_design(nb::handle solver, nb::handle values) {
    nb::object config = services::solver_registry::get_solver_config(solver);
    if (!py::truthy(config))
        py::raise(py::exc::value_error(), "no solver " + py::repr(solver) + " is registered");
    check_values(declared_by(solver, config), solver, values);
}

void check_design_for_product(nb::handle product, nb::handle values) {
    nb::object design_keys = product.attr("specs").attr("get")("_design_keys", nb::set());
    for (nb::handle solver : services::solver_registry::all_solver_aliases()) {
        const auto parameters =
            declared_by(solver, services::solver_registry::get_solver_config(solver));
        if (design::all_present(parameters, design_keys)) check_values(parameters, solver, values);
    }
}

void bind_bounds(nb::module_& m) {
    m.def("check_design", &check_design_binding, nb::arg("solver").none(), nb::arg("values").none(),
          nb::sig("def check_design(solver: str, values: dict[str, typing.Any]) -> None"),
          R"(Check design values ({parameter: value}) against the bounds the registered
          `solver` declares (solver.yaml `design`: min and max for numbers, choices for texts).
          ValueError naming the parameter, the value, the bound and the solver for the first
          value outside them; parameters the solver declares no bounds for go unchecked.)");
}

}  // namespace orvane::solver_run
