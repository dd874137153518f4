// Sample model: steady-state cornering of a rigid car with a first-order
// lateral response, for a skid pad (constant radius) or a step steer. It
// stands in for a vehicle-dynamics solver image.
// Reads the case (YAML) on standard input, writes the result as JSON.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>

#include "case_reader.h"

int main() {
    const auto input = orvane::samples::Case::read(std::cin);
    constexpr double kGravity = 9.81;
    constexpr double kFriction = 0.95;       // tyre grip limit in g
    constexpr double kSteeringRatio = 16.0;  // steering wheel to road wheel
    const std::string manoeuvre = input.text("manoeuvre", "skidpad");
    const double speed_kmh = input.number("speed_kmh", 60.0);
    const double radius = input.number("radius_m", 40.0);
    const double wheelbase = input.number("wheelbase", 2.9);
    const double track = input.number("track_width", 1.6);
    const double cg_height = input.number("cg_height", 0.5);
    const int samples = std::max(2, static_cast<int>(input.number("timesteps", 250)));
    const double speed = speed_kmh / 3.6;
    double lateral = 0;  // m/s²
    if (manoeuvre == "step_steer") {
        const double wheel_angle = input.number("steer_deg", 2.0) / kSteeringRatio * M_PI / 180.0;
        const double understeer = 0.0025;  // s²/m
        const double yaw = speed * wheel_angle / (wheelbase * (1 + understeer * speed * speed));
        lateral = speed * yaw;
    } else if (manoeuvre == "skidpad") {
        lateral = speed * speed / radius;
    } else {
        std::fprintf(stderr, "unknown manoeuvre '%s'\n", manoeuvre.c_str());
        return 2;
    }
    const double lateral_g = std::min(lateral / kGravity, kFriction);
    const double yaw_rate_dps = lateral_g * kGravity / speed * 180.0 / M_PI;
    const double roll_gradient = 4.0 * (cg_height / 0.5) * (1.6 / track);  // deg per g
    const double roll_angle = lateral_g * roll_gradient;
    std::printf(
        "{\"status\": \"success\", \"solver\": \"sample_dynamics\", \"manoeuvre\": \"%s\", "
        "\"lateral_g\": %.6f, "
        "\"yaw_rate\": %.6f, \"yaw_rate_dps\": %.6f, \"roll_angle\": %.6f, \"roll_angle_deg\": "
        "%.6f, "
        "\"speed_kmh\": %.3f, \"converged\": true, \"wall_clock_seconds\": %.3f, \"time_series\": "
        "{\"time\": [",
        manoeuvre.c_str(), lateral_g, yaw_rate_dps, yaw_rate_dps, roll_angle, roll_angle, speed_kmh,
        samples * 0.0004);
    const double step = 5.0 / (samples - 1);
    for (int i = 0; i < samples; ++i) std::printf(i ? ", %.4f" : "%.4f", i * step);
    std::printf("], \"lateral_g\": [");
    for (int i = 0; i < samples; ++i)
        std::printf(i ? ", %.5f" : "%.5f", lateral_g * (1 - std::exp(-i * step / 0.35)));
    std::printf("]}}\n");
    return 0;
}
