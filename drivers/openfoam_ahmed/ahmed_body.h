// The Ahmed body's surface from its design parameters, as a closed triangle
// mesh and as ASCII STL in metres.
//
// Frame: x along the flow from the nose (x = 0) to the base (x = length), y
// across (the body spans -width/2 .. width/2), z up from the ground (the
// body spans ground_clearance .. ground_clearance + height).
//
// Every cross-section normal to x is a rectangle. The nose rounds all four
// edges of the front with one radius (the side and plan profiles are the
// same quarter circle, so each cross-section there is the full rectangle
// inset by the same amount), which leaves a crease where the roundings meet
// at the corners. The roof drops along the rear slant, whose length is
// measured along the slanted face; the base is flat. The stilts of the wind
// tunnel model are left out: their drag is not part of the body's.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace orvane::foam {

struct AhmedBody {
    double length = 1.044;
    double width = 0.389;
    double height = 0.288;
    double front_radius = 0.1;
    double slant_angle_deg = 25;
    double slant_length = 0.222;
    double ground_clearance = 0.05;

    // Throws std::invalid_argument naming the first value that makes no
    // closed, simple body.
    void validate() const;
    // The projected area the published coefficients use: width x height.
    double frontal_area() const { return width * height; }
    // Where the slant starts along x, and the base's top.
    double slant_start() const;
    double base_top() const;
};

using Point = std::array<double, 3>;
using Triangle = std::array<Point, 3>;

// The closed surface, outward facing; `nose_sections` cross-sections sample
// each quarter circle of the nose.
std::vector<Triangle> triangulate(const AhmedBody& body, int nose_sections = 16);

// ASCII STL of the triangles, with their normals, as solid `name`.
std::string to_stl(const std::vector<Triangle>& triangles, const std::string& name);

}  // namespace orvane::foam
