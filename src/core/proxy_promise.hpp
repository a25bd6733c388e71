// The promise every proxy keeps: closed (every edge shared by exactly two faces), consistently
// oriented (each directed edge used once), no face naming a vertex twice, no face of zero area and
// no face turned against all the faces across its edges. Checked on the finished proxy in
// parallel passes; a proxy that breaks it is mended locally or refused, never returned.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "mesh.hpp"

namespace morvane {

struct PromiseBreach {
  enum class Clause { OpenEdge, MisorientedEdge, RepeatedCorner, ZeroArea, TurnedOver };
  Clause clause;
  uint32_t face;      // a face taking part
  EdgeKey edge{};     // the edge, for the edge clauses
  uint32_t uses = 0;  // faces on the edge, for OpenEdge
};

struct PromiseCheck {
  std::vector<uint32_t> faces;         // every face taking part in a breach, ascending
  std::optional<PromiseBreach> first;  // the breach of the lowest such face
  bool holds() const { return faces.empty(); }
};

// A face has zero area when it is degenerate (is_degenerate_triangle) or its area is at most 1e-12
// of the largest face's. Every face must name vertices below positions.size().
PromiseCheck check_proxy_promise(std::span<const Vec3> positions, std::span<const Tri> faces);

// What the breach is and where, for messages.
std::string promise_breach_display(std::span<const Vec3> positions, std::span<const Tri> faces,
                                   const PromiseBreach& breach);

// Checks the proxy; where it breaks the promise, removes the faces that take part, seals the holes
// soundly and checks again, a few rounds at most, each round's holes a ring wider than the last.
// A mended proxy loses the vertices no face uses any more. Throws InputError naming the breach
// when the proxy still breaks the promise. Returns the number of faces removed.
uint64_t keep_proxy_promise(Mesh& mesh);

}  // namespace morvane
