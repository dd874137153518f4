#include "ahmed_body.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace orvane::foam {

namespace {

constexpr double kPi = 3.14159265358979323846;

double radians(double degrees) { return degrees * kPi / 180.0; }

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string metres(double value) { return number(value) + " m"; }

void require(bool holds, const std::string& message) {
    if (!holds) throw std::invalid_argument(message);
}

// One cross-section: its place along x and its rectangle.
struct Section {
    double x;
    double half_width;
    double bottom;
    double top;

    // Corners counter-clockwise seen from behind the body (looking along -x).
    std::array<Point, 4> corners() const {
        return {Point{x, -half_width, bottom}, Point{x, half_width, bottom},
                Point{x, half_width, top}, Point{x, -half_width, top}};
    }
};

Point minus(const Point& a, const Point& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }

Point normal_of(const Triangle& t) {
    const Point u = minus(t[1], t[0]);
    const Point v = minus(t[2], t[0]);
    Point n{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (length > 0) {
        for (double& component : n) component /= length;
    }
    return n;
}

}  // namespace

double AhmedBody::slant_start() const {
    return length - slant_length * std::cos(radians(slant_angle_deg));
}

double AhmedBody::base_top() const {
    return ground_clearance + height - slant_length * std::sin(radians(slant_angle_deg));
}

void AhmedBody::validate() const {
    const std::pair<const char*, double> positive[] = {{"length", length},
                                                       {"width", width},
                                                       {"height", height},
                                                       {"front_radius", front_radius},
                                                       {"ground_clearance", ground_clearance}};
    for (const auto& [name, value] : positive) {
        require(std::isfinite(value) && value > 0,
                std::string(name) + " must be a positive length, not " + number(value));
    }
    require(std::isfinite(slant_length) && slant_length >= 0,
            "slant_length must be zero or a positive length, not " + number(slant_length));
    require(std::isfinite(slant_angle_deg) && slant_angle_deg >= 0 && slant_angle_deg < 90,
            "slant_angle_deg must be at least 0 and below 90, not " + number(slant_angle_deg));
    require(2 * front_radius < width && 2 * front_radius < height,
            "front_radius " + metres(front_radius) + " leaves no flat front: it must be below " +
                "half the width and half the height");
    require(slant_start() >= front_radius,
            "slant_length " + metres(slant_length) + " runs into the nose: along the body it " +
                "spans " + metres(length - slant_start()) +
                ", more than length - front_radius = " + metres(length - front_radius));
    require(base_top() > ground_clearance,
            "slant_length " + metres(slant_length) + " at " + number(slant_angle_deg) +
                " degrees drops below the floor of a body " + metres(height) + " high");
}

std::vector<Triangle> triangulate(const AhmedBody& body, int nose_sections) {
    body.validate();
    if (nose_sections < 1) throw std::invalid_argument("nose_sections must be at least 1");
    const double half = body.width / 2;
    const double floor = body.ground_clearance;
    const double roof = floor + body.height;
    const double r = body.front_radius;
    std::vector<Section> sections;
    for (int i = 0; i <= nose_sections; ++i) {
        const double angle = kPi / 2 * i / nose_sections;
        const double x = i == nose_sections ? r : r - r * std::cos(angle);
        const double inset = i == nose_sections ? 0 : r - r * std::sin(angle);
        sections.push_back({x, half - inset, floor + inset, roof - inset});
    }
    if (body.slant_start() > r) sections.push_back({body.slant_start(), half, floor, roof});
    if (body.length > sections.back().x)
        sections.push_back({body.length, half, floor, body.base_top()});

    std::vector<Triangle> triangles;
    auto quad = [&](const Point& a, const Point& b, const Point& c, const Point& d) {
        triangles.push_back({a, b, c});
        triangles.push_back({a, c, d});
    };
    const auto front = sections.front().corners();
    quad(front[0], front[3], front[2], front[1]);  // facing -x
    for (std::size_t s = 0; s + 1 < sections.size(); ++s) {
        const auto a = sections[s].corners();
        const auto b = sections[s + 1].corners();
        for (std::size_t i = 0; i < 4; ++i) {
            const std::size_t j = (i + 1) % 4;
            quad(a[i], a[j], b[j], b[i]);
        }
    }
    const auto base = sections.back().corners();
    quad(base[0], base[1], base[2], base[3]);  // facing +x
    return triangles;
}

std::string to_stl(const std::vector<Triangle>& triangles, const std::string& name) {
    std::string text = "solid " + name + "\n";
    char line[160];
    for (const Triangle& triangle : triangles) {
        const Point n = normal_of(triangle);
        std::snprintf(line, sizeof line, "  facet normal %.9g %.9g %.9g\n    outer loop\n", n[0],
                      n[1], n[2]);
        text += line;
        for (const Point& p : triangle) {
            std::snprintf(line, sizeof line, "      vertex %.9g %.9g %.9g\n", p[0], p[1], p[2]);
            text += line;
        }
        text += "    endloop\n  endfacet\n";
    }
    return text + "endsolid " + name + "\n";
}

}  // namespace orvane::foam
