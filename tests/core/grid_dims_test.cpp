#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/grid.hpp"
#include "support/captured_progress.hpp"

namespace morvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// grid_dims with its progress captured; `warning` receives whatever it printed.
GridDims dims_capturing(std::array<double, 3> extent, uint64_t res, uint64_t pad, std::string& warning) {
  test::CapturedProgress progress;
  GridDims d = detail::grid_dims(extent, res, pad);
  warning = progress.take();
  return d;
}

TEST(GridDims, LongestSideGetsTheResolutionAndEveryAxisThePad) {
  std::string warning;
  const GridDims d = dims_capturing({1, 0.5, 0.25}, 128, 2, warning);
  EXPECT_EQ(d.nx, 132u);
  EXPECT_EQ(d.ny, 68u);
  EXPECT_EQ(d.nz, 36u);
  EXPECT_EQ(d.cell, 1.0 / 128);
  EXPECT_EQ(warning, "");
}

TEST(GridDims, InexactQuotientRoundsUpToAnExtraCell) {
  // 1.1 / (1.1 / 127) is 127.00000000000001 in f64, so the ceiling gives 128 + 2 * 2.
  const GridDims d = detail::grid_dims({1.1, 1.1, 1.1}, 127, 2);
  EXPECT_EQ(d.nx, 132u);
  EXPECT_EQ(d.ny, 132u);
  EXPECT_EQ(d.nz, 132u);
}

TEST(GridDims, HalvesTheResolutionUntilTheBudgetHoldsAndWarns) {
  // 2052^3 and 1028^3 exceed 2^30 cells; 516^3 does not.
  std::string warning;
  const GridDims d = dims_capturing({1, 1, 1}, 2048, 2, warning);
  EXPECT_EQ(d.nx, 516u);
  EXPECT_EQ(d.ny, 516u);
  EXPECT_EQ(d.nz, 516u);
  EXPECT_EQ(d.cell, 1.0 / 512);
  EXPECT_EQ(warning,
            "  warning: voxel grid 2052x2052x2052 would exceed 1073741824 cell budget; reduced resolution to "
            "516x516x516\n");
}

TEST(GridDims, ExactlyTheBudgetIsAllowed) {
  // 1024^3 = 2^30 cells: 1020 cells of extent plus 2 * 2 of pad.
  std::string warning;
  const GridDims d = dims_capturing({1, 1, 1}, 1020, 2, warning);
  EXPECT_EQ(d.nx, 1024u);
  EXPECT_EQ(warning, "");
}

TEST(GridDims, ResolutionOneEndsTheHalvingEvenAboveTheBudget) {
  std::string warning;
  const GridDims d = dims_capturing({1, 1, 1}, 4, 600, warning);
  EXPECT_EQ(d.nx, 1201u);
  EXPECT_EQ(d.cell, 1.0);
  EXPECT_EQ(warning,
            "  warning: voxel grid 1204x1204x1204 would exceed 1073741824 cell budget; reduced resolution to "
            "1201x1201x1201\n");
}

TEST(GridDimsDegenerate, FlatPointEmptyInfiniteAndNanBoxes) {
  const GridDims flat = detail::grid_dims({2, 1, 0}, 64, 2);
  EXPECT_EQ(flat.nx, 68u);
  EXPECT_EQ(flat.ny, 36u);
  EXPECT_EQ(flat.nz, 5u);
  // A point, no vertices at all, an infinite box: at least five unit cells per axis, no warning.
  for (std::array<double, 3> e : {std::array<double, 3>{0, 0, 0}, {-kInf, -kInf, -kInf}, {kInf, 1, 1}}) {
    std::string warning;
    const GridDims d = dims_capturing(e, 128, 2, warning);
    EXPECT_EQ(d.nx, 5u);
    EXPECT_EQ(d.nz, 5u);
    EXPECT_EQ(d.cell, 1.0);
    EXPECT_EQ(warning, "");
  }
  EXPECT_EQ(detail::grid_dims({0, 0, 0}, 128, 4).nx, 9u);
  // A NaN extent counts as 0, resolution 0 as 1.
  const GridDims d = detail::grid_dims({1, std::nan(""), 0.5}, 0, 2);
  EXPECT_EQ(d.cell, 1.0);
  EXPECT_EQ(d.nx, 5u);
  EXPECT_EQ(d.ny, 5u);
  EXPECT_EQ(d.nz, 5u);
}

}  // namespace
}  // namespace morvane
