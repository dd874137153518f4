// Reading what the OpenFOAM tools say: their logs line by line (progress,
// residuals, convergence, the fatal error that stopped them) and the
// force-coefficient history forceCoeffs writes.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::foam {

// One tool's log, fed a line at a time.
class ToolLog {
  public:
    // `report_every`: simpleFoam's iterations between progress lines.
    explicit ToolLog(std::string tool, int report_every = 10);

    // Takes one line (without its newline); returns a progress line worth
    // showing, if this line makes one.
    std::optional<std::string> feed(std::string_view line);

    int iteration() const { return iteration_; }
    bool converged() const { return converged_; }  // the residual controls were met
    const std::map<std::string, double>& residuals() const { return residuals_; }
    std::optional<double> drag() const { return drag_; }

    // The tool's own account of why it stopped: its last FOAM FATAL ERROR
    // message, else its last lines. Empty when it said nothing.
    std::string last_message() const;

    // Whether its output shows a floating point exception trapped.
    bool floating_point_exception() const { return floating_point_exception_; }

  private:
    std::string tool_;
    int report_every_;
    int iteration_ = 0;
    bool converged_ = false;
    bool floating_point_exception_ = false;
    std::map<std::string, double> residuals_;
    std::optional<double> drag_;
    bool in_fatal_ = false;
    std::vector<std::string> fatal_;
    std::string last_fatal_;
    std::vector<std::string> tail_;  // the last lines that are not a stack trace
};

// The residuals as "Ux 1.2e-03 p 4.5e-04 ...", in a fixed order.
std::string format_residuals(const std::map<std::string, double>& residuals);

// One row of forceCoeffs' coefficient.dat.
struct Coefficients {
    int iteration;
    double cd;
    double cl;
};

// The rows of a coefficient.dat (columns found by its "# Time" header);
// malformed rows are skipped.
std::vector<Coefficients> parse_coefficients(std::string_view text);

// The coefficients of a run: their means over the last `window` rows, and
// how far the drag moved over them relative to its mean.
struct CoefficientSummary {
    double cd = 0;
    double cl = 0;
    double cd_spread = 0;
    int window = 0;
    bool finite = false;
};

// The window is the last fifth of the rows, at least 20 (or all there are).
CoefficientSummary summarise(const std::vector<Coefficients>& rows);

// The cell count in the header note of a polyMesh owner file.
std::optional<long> mesh_cells(std::string_view owner_header);

}  // namespace orvane::foam
