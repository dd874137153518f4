#include "foam_case.h"

#include <cmath>
#include <cstdio>

#include "native/digest.h"

namespace orvane::foam {

namespace {

std::string num(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

std::string vec(double x, double y, double z) {
    std::string text = "(";
    text.append(num(x)).append(" ").append(num(y)).append(" ").append(num(z)).append(")");
    return text;
}

std::string header(const char* object, const char* location = "system",
                   const char* cls = "dictionary") {
    return std::string("FoamFile\n{\n    version 2.0;\n    format ascii;\n    class ") + cls +
           ";\n    location \"" + location + "\";\n    object " + object + ";\n}\n\n";
}

// The wind tunnel around the half body, in body lengths from the nose.
struct Domain {
    double x0, x1, y1, z1;

    explicit Domain(const AhmedBody& body)
        : x0(-2 * body.length), x1(5 * body.length), y1(1.2 * body.length), z1(1.4 * body.length) {}
};

// Cells across a span at the level's base size, at least one.
int cells(double span, double base) {
    return std::max(1, static_cast<int>(std::lround(span / base)));
}

std::string block_mesh_dict(const AhmedBody& body, const MeshLevel& level) {
    const Domain d(body);
    const double base = body.length / level.cells_per_length;
    std::string text = header("blockMeshDict");
    text += "scale 1;\n\nvertices\n(\n";
    for (double z : {0.0, d.z1}) {
        for (auto [x, y] : {std::pair{d.x0, 0.0}, std::pair{d.x1, 0.0}, std::pair{d.x1, d.y1},
                            std::pair{d.x0, d.y1}}) {
            text += "    " + vec(x, y, z) + "\n";
        }
    }
    text += ");\n\nblocks\n(\n    hex (0 1 2 3 4 5 6 7) (" +
            std::to_string(cells(d.x1 - d.x0, base)) + " " + std::to_string(cells(d.y1, base)) +
            " " + std::to_string(cells(d.z1, base)) + ") simpleGrading (1 1 1)\n);\n\n";
    text += R"(edges ();

boundary
(
    inlet { type patch; faces ((0 4 7 3)); }
    outlet { type patch; faces ((2 6 5 1)); }
    ground { type wall; faces ((0 3 2 1)); }
    top { type patch; faces ((4 5 6 7)); }
    side { type patch; faces ((3 7 6 2)); }
    symmetry { type symmetry; faces ((1 5 4 0)); }
);
)";
    return text;
}

std::string surface_feature_dict() {
    return header("surfaceFeatureExtractDict") + kSurfaceFile + R"(
{
    extractionMethod extractFromSurface;
    extractFromSurfaceCoeffs { includedAngle 150; }
    subsetFeatures { nonManifoldEdges no; openEdges yes; }
    writeObj no;
}
)";
}

std::string snappy_dict(const AhmedBody& body) {
    const Domain d(body);
    const double l = body.length;
    // A point in the air, off every face of the background mesh.
    const std::string inside = vec(-1.5 * l + 0.0137, 0.6 * l + 0.0113, 0.7 * l + 0.0171);
    const double roof = body.ground_clearance + body.height;
    std::string text = header("snappyHexMeshDict");
    text += R"(castellatedMesh true;
snap true;
addLayers false;

geometry
{
    )" + std::string(kSurfaceFile) +
            R"( { type triSurfaceMesh; name )" + kBodyPatch + R"(; }
    near
    {
        type searchableBox;
        min )" +
            vec(-0.3 * l, -1, -1) +
            R"(;
        max )" +
            vec(2 * l, body.width / 2 + 0.25 * l, roof + 0.25 * l) + R"(;
    }
    wake
    {
        type searchableBox;
        min )" +
            vec(-0.6 * l, -1, -1) +
            R"(;
        max )" +
            vec(3.5 * l, body.width / 2 + 0.6 * l, roof + 0.6 * l) + R"(;
    }
}

castellatedMeshControls
{
    maxLocalCells 2000000;
    maxGlobalCells 4000000;
    minRefinementCells 0;
    maxLoadUnbalance 0.10;
    nCellsBetweenLevels 3;
    features ({ file "ahmed.eMesh"; level 3; });
    refinementSurfaces
    {
        )" + kBodyPatch +
            R"( { level (3 3); patchInfo { type wall; } }
    }
    resolveFeatureAngle 30;
    refinementRegions
    {
        near { mode inside; levels ((1E15 2)); }
        wake { mode inside; levels ((1E15 1)); }
    }
    locationInMesh )" +
            inside +
            R"(;
    allowFreeStandingZoneFaces true;
}

snapControls
{
    nSmoothPatch 3;
    tolerance 2.0;
    nSolveIter 30;
    nRelaxIter 5;
    nFeatureSnapIter 10;
    implicitFeatureSnap false;
    explicitFeatureSnap true;
    multiRegionFeatureSnap false;
}

addLayersControls
{
    relativeSizes true;
    layers {}
    expansionRatio 1.0;
    finalLayerThickness 0.3;
    minThickness 0.1;
    nGrow 0;
    featureAngle 60;
    nRelaxIter 3;
    nSmoothSurfaceNormals 1;
    nSmoothNormals 3;
    nSmoothThickness 10;
    maxFaceThicknessRatio 0.5;
    maxThicknessToMedialRatio 0.3;
    minMedialAxisAngle 90;
    nBufferCellsNoExtrude 0;
    nLayerIter 50;
}

meshQualityControls
{
    maxNonOrtho 65;
    maxBoundarySkewness 20;
    maxInternalSkewness 4;
    maxConcave 80;
    minVol 1e-13;
    minTetQuality 1e-15;
    minArea -1;
    minTwist 0.02;
    minDeterminant 0.001;
    minFaceWeight 0.05;
    minVolRatio 0.01;
    minTriangleTwist -1;
    nSmoothScale 4;
    errorReduction 0.75;
    relaxed { maxNonOrtho 75; }
}

mergeTolerance 1e-6;
)";
    return text;
}

std::string decompose_dict(int subdomains) {
    return header("decomposeParDict") + "numberOfSubdomains " + std::to_string(subdomains) +
           ";\nmethod hierarchical;\nhierarchicalCoeffs\n{\n    n (" + std::to_string(subdomains) +
           " 1 1);\n    order xyz;\n}\n";
}

// What the meshing tools need of a controlDict, fvSchemes and fvSolution:
// the mesh must not depend on the flow settings.
std::string mesh_control_dict() {
    return header("controlDict") + R"(application snappyHexMesh;
startFrom startTime;
startTime 0;
stopAt endTime;
endTime 1;
deltaT 1;
writeControl timeStep;
writeInterval 1;
writeFormat binary;
writePrecision 10;
writeCompression off;
timeFormat general;
timePrecision 6;
runTimeModifiable false;
)";
}

std::string control_dict(const AhmedBody& body, const FlowSettings& flow) {
    // The half body: half the frontal area makes the coefficients those of
    // the whole body.
    const double half_area = body.frontal_area() / 2;
    return header("controlDict") + "application simpleFoam;\nstartFrom startTime;\nstartTime 0;\n" +
           "stopAt endTime;\nendTime " + std::to_string(flow.iterations) +
           ";\ndeltaT 1;\nwriteControl timeStep;\nwriteInterval " +
           std::to_string(flow.iterations) + R"(;
purgeWrite 1;
writeFormat binary;
writePrecision 10;
writeCompression off;
timeFormat general;
timePrecision 6;
runTimeModifiable false;

functions
{
    forceCoeffs
    {
        type forceCoeffs;
        libs ("libforces.so");
        writeControl timeStep;
        writeInterval 1;
        log true;
        patches ()" +
           kBodyPatch +
           R"();
        rho rhoInf;
        rhoInf 1;
        liftDir (0 0 1);
        dragDir (1 0 0);
        pitchAxis (0 1 0);
        CofR )" +
           vec(body.length / 2, 0, body.ground_clearance + body.height / 2) +
           ";\n        magUInf " + num(flow.speed) + ";\n        lRef " + num(body.length) +
           ";\n        Aref " + num(half_area) + ";\n    }\n}\n";
}

std::string schemes() {
    return header("fvSchemes") + R"(ddtSchemes { default steadyState; }
gradSchemes
{
    default Gauss linear;
    grad(U) cellLimited Gauss linear 1;
    grad(k) cellLimited Gauss linear 1;
    grad(omega) cellLimited Gauss linear 1;
}
divSchemes
{
    default none;
    div(phi,U) bounded Gauss linearUpwindV grad(U);
    div(phi,k) bounded Gauss upwind;
    div(phi,omega) bounded Gauss upwind;
    div((nuEff*dev2(T(grad(U))))) Gauss linear;
}
laplacianSchemes { default Gauss linear limited corrected 0.33; }
interpolationSchemes { default linear; }
snGradSchemes { default limited corrected 0.33; }
wallDist { method meshWave; }
)";
}

std::string solution(double relaxation) {
    return header("fvSolution") + R"foam(solvers
{
    p
    {
        solver GAMG;
        tolerance 1e-7;
        relTol 0.1;
        smoother GaussSeidel;
    }
    "(U|k|omega)"
    {
        solver smoothSolver;
        smoother symGaussSeidel;
        tolerance 1e-8;
        relTol 0.1;
    }
}

SIMPLE
{
    nNonOrthogonalCorrectors 0;
    consistent yes;
    residualControl { p 1e-4; U 1e-5; "(k|omega)" 1e-5; }
}

relaxationFactors { equations { U )foam" +
           num(relaxation) + R"foam(; ".*" )foam" + num(relaxation) + "; } }\n";
}

std::string mesh_schemes() {
    return header("fvSchemes") +
           "ddtSchemes {}\ngradSchemes {}\ndivSchemes {}\nlaplacianSchemes {}\n"
           "interpolationSchemes {}\nsnGradSchemes {}\n";
}

std::string mesh_solution() { return header("fvSolution"); }

// A field file: its class, dimensions, internal value and one entry per
// patch.
std::string field(const char* name, const char* cls, const char* dimensions,
                  const std::string& internal, const std::map<std::string, std::string>& patches) {
    std::string text = header(name, "0", cls);
    text += std::string("dimensions ") + dimensions + ";\n\ninternalField uniform " + internal +
            ";\n\nboundaryField\n{\n";
    for (const auto& [patch, entry] : patches) text += "    " + patch + " { " + entry + " }\n";
    return text + "}\n";
}

// The inlet's turbulence: 0.5 % intensity and an eddy viscosity ten times
// the air's, a quiet wind tunnel.
struct Inflow {
    double k;
    double omega;

    explicit Inflow(const FlowSettings& flow) {
        const double fluctuation = 0.005 * flow.speed;
        k = 1.5 * fluctuation * fluctuation;
        omega = k / (10 * flow.viscosity);
    }
};

CaseFiles initial_fields(const FlowSettings& flow) {
    const Inflow inflow(flow);
    const std::string u = vec(flow.speed, 0, 0);
    const std::string k = num(inflow.k);
    const std::string omega = num(inflow.omega);
    CaseFiles files;
    files["0/U"] =
        field("U", "volVectorField", "[0 1 -1 0 0 0 0]", u,
              {{"inlet", "type fixedValue; value uniform " + u + ";"},
               {"outlet", "type inletOutlet; inletValue uniform (0 0 0); value uniform " + u + ";"},
               {"ground", "type noSlip;"},
               {kBodyPatch, "type noSlip;"},
               {"top", "type slip;"},
               {"side", "type slip;"},
               {"symmetry", "type symmetry;"}});
    files["0/p"] = field("p", "volScalarField", "[0 2 -2 0 0 0 0]", "0",
                         {{"inlet", "type zeroGradient;"},
                          {"outlet", "type fixedValue; value uniform 0;"},
                          {"ground", "type zeroGradient;"},
                          {kBodyPatch, "type zeroGradient;"},
                          {"top", "type zeroGradient;"},
                          {"side", "type zeroGradient;"},
                          {"symmetry", "type symmetry;"}});
    auto turbulence = [&](const char* name, const char* dimensions, const std::string& value,
                          const char* wall_function) {
        const std::string wall =
            std::string("type ") + wall_function + "; value uniform " + value + ";";
        return field(name, "volScalarField", dimensions, value,
                     {{"inlet", "type fixedValue; value uniform " + value + ";"},
                      {"outlet", "type inletOutlet; inletValue uniform " + value +
                                     "; value uniform " + value + ";"},
                      {"ground", wall},
                      {kBodyPatch, wall},
                      {"top", "type zeroGradient;"},
                      {"side", "type zeroGradient;"},
                      {"symmetry", "type symmetry;"}});
    };
    files["0/k"] = turbulence("k", "[0 2 -2 0 0 0 0]", k, "kqRWallFunction");
    files["0/omega"] = turbulence("omega", "[0 0 -1 0 0 0 0]", omega, "omegaWallFunction");
    files["0/nut"] = field("nut", "volScalarField", "[0 2 -1 0 0 0 0]", "0",
                           {{"inlet", "type calculated; value uniform 0;"},
                            {"outlet", "type calculated; value uniform 0;"},
                            {"ground", "type nutkWallFunction; value uniform 0;"},
                            {kBodyPatch, "type nutkWallFunction; value uniform 0;"},
                            {"top", "type calculated; value uniform 0;"},
                            {"side", "type calculated; value uniform 0;"},
                            {"symmetry", "type symmetry;"}});
    return files;
}

}  // namespace

std::optional<MeshLevel> mesh_level(std::string_view name) {
    // Each level has about twice the cells of the one before.
    if (name == "coarse") return MeshLevel{"coarse", 10};
    if (name == "medium") return MeshLevel{"medium", 13};
    if (name == "fine") return MeshLevel{"fine", 16};
    return std::nullopt;
}

std::vector<std::string> mesh_level_names() { return {"coarse", "medium", "fine"}; }

CaseFiles mesh_files(const AhmedBody& body, const MeshLevel& level, int subdomains) {
    CaseFiles files;
    files["system/blockMeshDict"] = block_mesh_dict(body, level);
    files["system/surfaceFeatureExtractDict"] = surface_feature_dict();
    files["system/snappyHexMeshDict"] = snappy_dict(body);
    files["system/controlDict"] = mesh_control_dict();
    files["system/fvSchemes"] = mesh_schemes();
    files["system/fvSolution"] = mesh_solution();
    if (subdomains > 1) files["system/decomposeParDict"] = decompose_dict(subdomains);
    return files;
}

CaseFiles solve_files(const AhmedBody& body, const FlowSettings& flow, int subdomains) {
    CaseFiles files = initial_fields(flow);
    files["system/controlDict"] = control_dict(body, flow);
    files["system/fvSchemes"] = schemes();
    files["system/fvSolution"] = solution(flow.relaxation);
    if (subdomains > 1) files["system/decomposeParDict"] = decompose_dict(subdomains);
    files["constant/transportProperties"] = header("transportProperties", "constant") +
                                            "transportModel Newtonian;\nnu " + num(flow.viscosity) +
                                            ";\n";
    files["constant/turbulenceProperties"] =
        header("turbulenceProperties", "constant") +
        "simulationType RAS;\nRAS\n{\n    RASModel kOmegaSST;\n    turbulence on;\n"
        "    printCoeffs off;\n}\n";
    return files;
}

std::string mesh_key(std::string_view stl, const CaseFiles& mesh, std::string_view foam_version) {
    // Length-prefixed parts: no two different inputs read the same.
    std::string payload;
    auto part = [&](std::string_view text) {
        payload += std::to_string(text.size()) + ":";
        payload += text;
    };
    part(foam_version);
    part(stl);
    for (const auto& [path, text] : mesh) {
        part(path);
        part(text);
    }
    return "sha256:" + digest::sha256_hex(payload);
}

}  // namespace orvane::foam
