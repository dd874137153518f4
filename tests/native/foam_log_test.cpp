// Reading the OpenFOAM tools' logs and force coefficients.
#include "foam_log.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace orvane::foam {
namespace {

ToolLog fed(const char* tool, std::initializer_list<const char*> lines) {
    ToolLog log(tool);
    for (const char* line : lines) log.feed(line);
    return log;
}

TEST(ToolLog, TheTrapBannerIsNoFloatingPointException) {
    const ToolLog log =
        fed("surfaceFeatureExtract",
            {"trapFpe: Floating point exception trapping enabled (FOAM_SIGFPE).",
             "--> FOAM FATAL ERROR: ", "Problem loading surface(s) for entry: a.stl", "",
             "    From function int main(int, char**)", "FOAM exiting"});
    EXPECT_FALSE(log.floating_point_exception());
    EXPECT_EQ(log.last_message(), "Problem loading surface(s) for entry: a.stl");
}

TEST(ToolLog, TheTrapFiringIsSeenInTheStackOrFromMpirun) {
    EXPECT_TRUE(fed("simpleFoam", {"#1  Foam::sigFpe::sigHandler(int) at ??:?"})
                    .floating_point_exception());
    EXPECT_TRUE(
        fed("simpleFoam", {"mpirun noticed that process rank 1 with PID 0 on node vm exited "
                           "on signal 8 (Floating point exception)."})
            .floating_point_exception());
}

TEST(ToolLog, ProgressEveryTenthIterationWithDragAndResiduals) {
    ToolLog log("simpleFoam");
    std::vector<std::string> shown;
    for (int i = 1; i <= 20; ++i) {
        for (const std::string& line :
             {"Time = " + std::to_string(i),
              std::string("smoothSolver:  Solving for Ux, Initial residual = 0.00125, Final "
                          "residual = 1e-05, No Iterations 3"),
              std::string("GAMG:  Solving for p, Initial residual = 0.5, Final residual = 0.01, "
                          "No Iterations 4"),
              std::string("    Cd       : 0.30825"), std::string("ExecutionTime = 1 s")}) {
            if (auto progress = log.feed(line)) shown.push_back(*progress);
        }
    }
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[1], "simpleFoam: iteration 10, Cd 0.3083, residuals Ux 1.25e-03 p 5.00e-01");
    EXPECT_EQ(log.iteration(), 20);
}

TEST(Coefficients, ColumnsAreFoundByTheHeaderAndBadRowsSkipped) {
    const auto rows = parse_coefficients(
        "# Force coefficients\n# Time\tCm\tCd\tCl\tCl(f)\tCl(r)\n1\t0.1\t0.5\t0.2\t0\t0\n"
        "2\t0.1\tnot-a-number\t0.2\t0\t0\n3\t0.1\t0.31\n4\t0.1\t0.30\t0.25\t0\t0\n");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].iteration, 4);
    EXPECT_DOUBLE_EQ(rows[1].cd, 0.30);
    EXPECT_DOUBLE_EQ(rows[1].cl, 0.25);
}

TEST(Coefficients, TheSummaryAveragesTheLastFifthAtLeastTwenty) {
    std::vector<Coefficients> rows;
    for (int i = 1; i <= 200; ++i) rows.push_back({i, i <= 160 ? 1.0 : 0.3, 0.1});
    const CoefficientSummary summary = summarise(rows);
    EXPECT_EQ(summary.window, 40);
    EXPECT_DOUBLE_EQ(summary.cd, 0.3);
    EXPECT_DOUBLE_EQ(summary.cd_spread, 0);
    EXPECT_TRUE(summary.finite);
    rows.back().cd = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(summarise(rows).finite);
}

TEST(MeshCells, FromTheOwnerFileNote) {
    EXPECT_EQ(mesh_cells("note \"nPoints:87338  nCells:74868  nFaces:236798\";"), 74868);
    EXPECT_EQ(mesh_cells("note \"nPoints:1\";"), std::nullopt);
}

}  // namespace
}  // namespace orvane::foam
