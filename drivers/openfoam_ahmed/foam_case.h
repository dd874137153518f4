// The OpenFOAM case of a half Ahmed body in a wind tunnel: the meshing
// dictionaries (blockMesh, surfaceFeatureExtract, snappyHexMesh) and the
// solver's (simpleFoam with k-omega SST and forceCoeffs), as file texts
// keyed by their path in the case folder.
//
// The domain holds the half body at y >= 0 with a symmetry plane at y = 0,
// the ground at z = 0 as a wall, slip walls on the side and top, the inlet
// two body lengths ahead of the nose and the outlet four behind the base.
// Its sizes follow the body's length, so a longer body gets the same mesh
// relative to it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ahmed_body.h"

namespace orvane::foam {

// A mesh level is one base cell size; the refinement around the body is the
// same at every level, so the levels refine the whole mesh systematically.
struct MeshLevel {
    std::string name;
    int cells_per_length;  // background cells along the body's length
};

// coarse, medium or fine; nothing for another name.
std::optional<MeshLevel> mesh_level(std::string_view name);
std::vector<std::string> mesh_level_names();

// The name of the body's surface: its STL file and its patch.
inline constexpr const char* kSurfaceFile = "ahmed.stl";
inline constexpr const char* kBodyPatch = "body";

struct FlowSettings {
    double speed = 40;          // m/s
    int iterations = 200;       // simpleFoam iterations at most
    double relaxation = 0.9;    // of every equation (SIMPLEC)
    double viscosity = 1.5e-5;  // kinematic, air at 20 °C
};

// Relative path in the case folder to its text.
using CaseFiles = std::map<std::string, std::string>;

// What the mesh depends on: the files blockMesh, surfaceFeatureExtract and
// snappyHexMesh read (the STL aside), for `subdomains` processes.
CaseFiles mesh_files(const AhmedBody& body, const MeshLevel& level, int subdomains);

// What simpleFoam reads besides the mesh, for `subdomains` processes.
CaseFiles solve_files(const AhmedBody& body, const FlowSettings& flow, int subdomains);

// The key of a mesh in the cache: a SHA-256 over the STL, the meshing files
// and the OpenFOAM version, as "sha256:<hex>".
std::string mesh_key(std::string_view stl, const CaseFiles& mesh, std::string_view foam_version);

}  // namespace orvane::foam
