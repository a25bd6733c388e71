#include <gtest/gtest.h>


#include <cmath>
#include <numbers>

#include "core/attribute_transfer.hpp"
#include "core/core_errors.hpp"
#include "core/parallel.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

using std::nullopt;

TransferredAttributes transfer(const Mesh& input, std::optional<std::span<const Vec3>> normals,
                               std::optional<std::span<const Uv>> uvs, const Mesh& proxy, bool want_normals,
                               bool want_uvs) {
  return transfer_attributes(input.positions, input.indices, normals, uvs, proxy.positions, proxy.indices,
                             want_normals, want_uvs);
}

// One texture coordinate per corner: (face, corner) so every corner is told apart.
std::vector<Uv> corner_uvs(const Mesh& m) {
  std::vector<Uv> uvs;
  for (std::size_t f = 0; f < m.indices.size(); ++f) {
    for (int k = 0; k < 3; ++k) uvs.push_back({static_cast<float>(f), static_cast<float>(k)});
  }
  return uvs;
}

TEST(AttributeTransfer, SphereNormalsFollowTheSurface) {
  const Mesh input = test::make_icosphere(4);
  const Mesh proxy = test::make_icosphere(3, 1.05);
  const TransferredAttributes a = transfer(input, nullopt, nullopt, proxy, true, false);
  ASSERT_TRUE(a.normals);
  EXPECT_FALSE(a.uvs);
  ASSERT_EQ(a.normals->size(), 3 * proxy.indices.size());
  double worst = 0;
  for (std::size_t c = 0; c < a.normals->size(); ++c) {
    const Vec3& p = proxy.positions[proxy.indices[c / 3][c % 3]];
    worst = std::max(worst, std::acos(std::min(1.0, dot((*a.normals)[c], p * (1 / length(p))))));
  }
  EXPECT_LT(worst * 180 / std::numbers::pi, 3.0);

  // The same spheres in other units, however small their faces, get the same normals.
  for (int exponent : {-40, 30}) {
    const Mesh small_input = test::scaled_by_power_of_two(input, exponent);
    const Mesh small_proxy = test::scaled_by_power_of_two(proxy, exponent);
    EXPECT_EQ(transfer(small_input, nullopt, nullopt, small_proxy, true, false).normals, a.normals) << exponent;
    EXPECT_EQ(detail::area_weighted_normals(small_proxy.positions, small_proxy.indices),
              detail::area_weighted_normals(proxy.positions, proxy.indices))
        << exponent;
  }
}

TEST(AttributeTransfer, FlagsChooseTheLists) {
  const Mesh input = test::make_box({0, 0, 0}, {1, 1, 1});
  const Mesh proxy = test::make_box({-0.1, -0.1, -0.1}, {1.1, 1.1, 1.1});
  const std::vector<Uv> uvs = corner_uvs(input);
  const std::vector<Vec3> own = detail::area_weighted_normals(proxy.positions, proxy.indices);
  ASSERT_EQ(own.size(), 36u);
  EXPECT_NEAR(length(own[0]), 1.0, 1e-15);

  const TransferredAttributes neither = transfer(input, nullopt, uvs, proxy, false, false);
  EXPECT_EQ(neither.normals, own);
  EXPECT_FALSE(neither.uvs);
  const TransferredAttributes uvs_missing = transfer(input, nullopt, nullopt, proxy, false, true);
  EXPECT_EQ(uvs_missing.normals, own);
  EXPECT_FALSE(uvs_missing.uvs);
  const TransferredAttributes uvs_only = transfer(input, nullopt, uvs, proxy, false, true);
  EXPECT_FALSE(uvs_only.normals);
  ASSERT_TRUE(uvs_only.uvs);
  EXPECT_EQ(uvs_only.uvs->size(), 36u);
  const TransferredAttributes both = transfer(input, nullopt, uvs, proxy, true, true);
  EXPECT_TRUE(both.normals && both.uvs);
  EXPECT_EQ(both.uvs, uvs_only.uvs);
  // An empty list still counts as present: no texture coordinate reaches any vertex.
  const TransferredAttributes empty_uvs = transfer(input, nullopt, std::span<const Uv>{}, proxy, false, true);
  EXPECT_EQ(empty_uvs.uvs, std::vector<Uv>(36, Uv{0, 0}));
}

TEST(AttributeTransfer, CornerListsOfTheInput) {
  // Two triangles sharing vertices 0 and 2: the proxy is the input itself, so every corner lands
  // exactly on its own input vertex.
  Mesh m;
  m.positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {-1, 0, 0}};
  m.indices = {{0, 1, 2}, {0, 2, 3}};
  const std::vector<Uv> uvs{{0.1f, 0}, {0.2f, 0}, {0.3f, 0}, {0.9f, 0}, {0.8f, 0}, {0.7f, 0}};
  const TransferredAttributes seam = transfer(m, nullopt, uvs, m, false, true);
  // The first corner in face order wins at the seam vertices 0 and 2.
  EXPECT_EQ(seam.uvs, (std::vector<Uv>{{0.1f, 0}, {0.2f, 0}, {0.3f, 0}, {0.1f, 0}, {0.3f, 0}, {0.7f, 0}}));

  // Corner normals are summed per vertex; only the corners that exist contribute.
  const std::vector<Vec3> short_normals{{1, 0, 0}, {0, 0, 2}, {0, 3, 0}, {0, 0, 1}};
  const TransferredAttributes n = transfer(m, short_normals, nullopt, m, true, false);
  const Vec3 v0{1 / std::sqrt(2.0), 0, 1 / std::sqrt(2.0)};
  EXPECT_EQ(n.normals, (std::vector<Vec3>{v0, {0, 0, 1}, {0, 1, 0}, v0, {0, 1, 0}, {0, 1, 0}}));

  const TransferredAttributes none = transfer(m, std::span<const Vec3>{}, nullopt, m, true, false);
  EXPECT_EQ(none.normals, std::vector<Vec3>(6, Vec3{0, 1, 0}));
}

TEST(AttributeTransfer, EmptyInputsAndBrokenIndices) {
  const Mesh proxy = test::make_box({0, 0, 0}, {1, 1, 1});
  const std::vector<Uv> no_uvs;
  const TransferredAttributes from_nothing = transfer(Mesh{}, nullopt, no_uvs, proxy, true, true);
  EXPECT_EQ(from_nothing.normals, std::vector<Vec3>(36, Vec3{0, 0, 0}));
  EXPECT_EQ(from_nothing.uvs, std::vector<Uv>(36, Uv{0, 0}));

  Mesh faceless = proxy;
  faceless.indices.clear();
  const TransferredAttributes to_nothing = transfer(proxy, nullopt, corner_uvs(proxy), faceless, true, true);
  EXPECT_EQ(to_nothing.normals, std::vector<Vec3>{});
  EXPECT_EQ(to_nothing.uvs, std::vector<Uv>{});

  // Input faces naming missing vertices are skipped; a vertex no face reaches points up.
  Mesh input = proxy;
  input.indices.push_back({0, 1, 99});
  input.positions.push_back({5, 5, 5});
  Mesh probe;
  probe.positions = {{5, 5, 5.1}, {5, 5, 5.2}, {5, 5.1, 5}};
  probe.indices = {{0, 1, 2}};
  EXPECT_EQ(transfer(input, nullopt, nullopt, probe, true, false).normals, std::vector<Vec3>(3, Vec3{0, 1, 0}));

  Mesh broken = proxy;
  broken.indices.push_back({0, 1, 8});
  EXPECT_THROW(transfer(input, nullopt, nullopt, broken, true, false), InternalError);
  EXPECT_THROW(transfer(input, nullopt, nullopt, broken, false, false), InternalError);
}

TEST(AttributeTransfer, SameResultOnOneOrEightWorkers) {
  const Mesh input = test::make_torus(2.0, 0.5, 64, 32);
  const Mesh proxy = test::make_torus(2.0, 0.56, 40, 20);
  const std::vector<Uv> uvs = corner_uvs(input);
  TransferredAttributes one, eight;
  with_worker_count(1, [&] { one = transfer(input, nullopt, uvs, proxy, true, true); });
  with_worker_count(8, [&] { eight = transfer(input, nullopt, uvs, proxy, true, true); });
  EXPECT_EQ(one.normals, eight.normals);
  EXPECT_EQ(one.uvs, eight.uvs);
}

}  // namespace
}  // namespace morvane
