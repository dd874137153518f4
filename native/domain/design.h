// The design parameters a solver declares it reads (solver.yaml `design`):
// a list of names, or a mapping {name: bounds} whose bounds hold any of
// `min` and `max` (numbers) or `choices` (texts), or are null for none.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <vector>

namespace orvane::design {

namespace nb = nanobind;

struct Parameter {
    nb::object name;  // a str
    std::optional<double> min;
    std::optional<double> max;
    nb::object choices;  // a list of str, or invalid: any text goes
};

// The declared parameters in order; none for a solver that declares none
// (`design` absent or None). Raises ValueError, its message starting with
// `context`, for any other form.
std::vector<Parameter> declared(nb::handle design, const std::string& context);

// Whether `names` (a container of a product's design parameter names) holds
// every declared parameter: the solver fits that product.
bool all_present(const std::vector<Parameter>& parameters, nb::handle names);

// The design values of a product dictionary (load_product's) as a run's case
// holds them, by name in sorted order: the design parameters whose value is a
// number or a text. Derived targets live in the design layer too, but a
// target is not an input: changing one must not change a run.
nb::dict values(nb::handle product);

}  // namespace orvane::design
