// Moves shading normals and texture coordinates from an input mesh onto its proxy: every proxy
// face corner takes the attribute of the input vertex nearest to the corner's position.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "mesh.hpp"

namespace morvane {

// Per proxy face corner (entry 3f + k for corner k of face f), each list present or absent.
struct TransferredAttributes {
  std::optional<std::vector<Vec3>> normals;
  std::optional<std::vector<Uv>> uvs;
};

// input_normals and input_uvs, when present, hold one entry per input face corner (3i + k);
// entries beyond their end and input faces naming missing vertices are skipped.
// Texture coordinates are transferred when transfer_uvs is set and the input has a (possibly
// empty) list. With neither normals nor texture coordinates to transfer, the result is the
// proxy's own area-weighted normals and no texture coordinates. Without transferred normals the
// result has no normals at all. Corners whose nearest input vertex does not exist keep (0, 0, 0)
// and (0, 0).
// Throws InternalError when a proxy face names a vertex the proxy does not have.
TransferredAttributes transfer_attributes(std::span<const Vec3> input_positions, std::span<const Tri> input_triangles,
                                          std::optional<std::span<const Vec3>> input_normals,
                                          std::optional<std::span<const Uv>> input_uvs,
                                          std::span<const Vec3> proxy_positions,
                                          std::span<const Tri> proxy_triangles, bool transfer_normals,
                                          bool transfer_uvs);

namespace detail {  // steps of the above, exposed for their tests
// Per face corner, the normalised sum of the face normals around the corner's vertex; (0, 1, 0)
// where that sum is too short to have a direction (normalise_vertex_normals). Throws InternalError
// on a face naming a missing vertex.
std::vector<Vec3> area_weighted_normals(std::span<const Vec3> positions, std::span<const Tri> triangles);
}  // namespace detail

}  // namespace morvane
