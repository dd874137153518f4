// Sample model: an analytic drag and lift estimate from a few design
// parameters. It stands in for a CFD solver image and is not a CFD code.
// Reads the case (YAML) on standard input, writes the result as JSON.
#include <cstdio>
#include <iostream>

#include "case_reader.h"

int main() {
    const auto input = orvane::samples::Case::read(std::cin);
    const double roofline = input.number("roofline_slope_deg", 10.0);
    const double diffuser = input.number("rear_diffuser_angle_deg", 5.0);
    const double ride_height = input.number("ride_height", 0.14);
    const double iterations = input.number("iterations", 500);
    if (iterations <= 0) {
        std::fprintf(stderr, "iterations must be positive\n");
        return 2;
    }
    // Slope and diffuser trade drag down; a higher body adds drag and lift.
    const double cd =
        0.285 - 0.0025 * (roofline - 10.0) - 0.0015 * (diffuser - 5.0) + 0.1 * (ride_height - 0.14);
    const double cl = 0.05 - 0.004 * diffuser + 0.2 * (ride_height - 0.14);
    const double cm_pitch = 0.5 * cl - 0.01;
    const bool converged = iterations >= 200;
    std::printf(
        "{\"status\": \"success\", \"solver\": \"sample_aero\", \"cd\": %.6f, \"cl\": %.6f, "
        "\"cm_pitch\": %.6f, "
        "\"converged\": %s, \"iterations\": %d, \"timesteps_run\": %d, \"wall_clock_seconds\": "
        "%.3f}\n",
        cd, cl, cm_pitch, converged ? "true" : "false", static_cast<int>(iterations),
        static_cast<int>(iterations), iterations * 0.002);
    return 0;
}
