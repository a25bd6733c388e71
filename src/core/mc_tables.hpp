// Cube numbering and case tables of marching cubes (Lorensen & Cline 1987, in the widely published
// form of Paul Bourke, "Polygonising a scalar field", 1994).
#pragma once

#include <array>
#include <cstdint>

namespace morvane {

// Corner k of the cube whose minimum sample is (x, y, z) is the sample (x, y, z) + kCubeCorner[k].
inline constexpr std::array<std::array<uint32_t, 3>, 8> kCubeCorner = {
    {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}}};

// Cube edge k runs from corner kEdgeCorners[k][0] to kEdgeCorners[k][1].
inline constexpr std::array<std::array<uint8_t, 2>, 12> kEdgeCorners = {
    {{0, 1}, {1, 2}, {2, 3}, {3, 0}, {4, 5}, {5, 6}, {6, 7}, {7, 4}, {0, 4}, {1, 5}, {2, 6}, {3, 7}}};

// Cube edge k lies on the grid edge whose lower end is (x, y, z) + kEdgeKeyOffset[k], along kEdgeAxis[k].
inline constexpr std::array<std::array<uint32_t, 3>, 12> kEdgeKeyOffset = {
    {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 0}, {0, 0, 1}, {1, 0, 1}, {0, 1, 1}, {0, 0, 1}, {0, 0, 0}, {1, 0, 0},
     {1, 1, 0}, {0, 1, 0}}};
inline constexpr std::array<uint8_t, 12> kEdgeAxis = {0, 1, 0, 1, 0, 1, 0, 1, 2, 2, 2, 2};

// Case index = sum of 2^k over the inside corners k. Bit k of kEdgeTable[case] is set when edge k
// is cut; kTriTable[case] lists up to five triangles as edge triples, ended by -1.
extern const uint16_t kEdgeTable[256];
extern const int8_t kTriTable[256][16];

}  // namespace morvane
