// The case the platform gives a solver on standard input: YAML with
// top-level scalars (product, domain, solver) and two sections of scalars,
// `design` (the product's design parameters) and `inputs` (the solver's
// inputs). This reads that shape; anything deeper is refused.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "ahmed_body.h"
#include "foam_case.h"

namespace orvane::foam {

class CaseInput {
  public:
    // Throws std::invalid_argument naming the line that is not of this shape.
    static CaseInput parse(std::string_view yaml);

    // A scalar by its dotted name ("design.length", "inputs.cores",
    // "product"), unquoted; nothing when absent or null.
    std::optional<std::string> text(const std::string& name) const;

    // The scalar as a number: nothing when absent; std::invalid_argument
    // naming it when it is not a finite number.
    std::optional<double> number(const std::string& name) const;
    double number(const std::string& name, double fallback) const;
    // The scalar as a whole number within [low, high].
    int whole(const std::string& name, int fallback, int low, int high) const;
    bool flag(const std::string& name, bool fallback) const;

  private:
    std::map<std::string, std::string> values_;
};

// What a run of the driver is asked to do.
struct RunSettings {
    AhmedBody body;
    FlowSettings flow;
    MeshLevel level;
    int cores = 1;
    bool keep_work_dir = false;
    std::string solver = "openfoam_ahmed";
};

// The body from the case's design parameters (every one required), the
// flow speed among them, and the solver's inputs with their defaults.
// Throws std::invalid_argument naming a missing or unusable value.
RunSettings run_settings(const CaseInput& input);

}  // namespace orvane::foam
