// Proxies of a fixed set of inputs under a fixed set of option sets: one line per case with the
// proxy's size, a digest of its exact bytes, the checks of its promise (closed, oriented, no
// repeated corner, no zero-area or turned-over face, no two vertices at one point) and its count
// of intersecting face pairs.
// Two runs compare by `diff`: before and after a change that must not alter results, or with
// RAYON_NUM_THREADS=1 and =8.
//
// Usage: proxy_audit [mesh files...]   (generated shapes always come first)
#include <cmath>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "bench_util.hpp"
#include "core/proxy.hpp"
#include "io/mesh_io.hpp"
#include "support/mesh_checks.hpp"
#include "support/proxy_settings.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

struct Input {
  std::string name;
  Mesh mesh;
};

struct OptionSet {
  const char* name;
  ProxyParams params;
  std::optional<uint32_t> target_faces;
};

std::vector<Input> generated_inputs() {
  return {
      {"box", test::make_box({0, 0, 0}, {1, 0.6, 0.3})},
      {"icosphere5", test::make_icosphere(5)},
      {"bumpy_sphere6", test::make_bumpy_sphere(6)},
      {"torus", test::make_torus(1.0, 0.3, 96, 48)},
      {"touching_boxes", test::merge(test::make_box({0, 0, 0}, {1, 1, 1}), test::make_box({1, 0.2, 0.2}, {2, 0.8, 0.8}))},
      {"thin_plate", test::make_thin_plate(40, 24, 0.02)},
      {"open_sheet", test::make_open_sheet(40)},
      {"knotted_tube", test::make_knotted_tube(240, 16, 0.35)},
  };
}

std::vector<OptionSet> option_sets() {
  std::vector<OptionSet> sets;
  auto add = [&](const char* name, auto edit, std::optional<uint32_t> target = std::nullopt) {
    ProxyParams p;
    edit(p);
    sets.push_back({name, p, target});
  };
  add("default", [](ProxyParams&) {});
  add("voxel", [](ProxyParams& p) { p.use_sdf = false; });
  add("remesh3", [](ProxyParams& p) { p.remesh = 3; });
  add("remesh3_adaptive", [](ProxyParams& p) { p.remesh = 3, p.adaptive_remesh = true; });
  add("voxel_remesh3", [](ProxyParams& p) { p.use_sdf = false, p.remesh = 3; });
  add("bilateral", [](ProxyParams& p) { p.bilateral = true; });
  add("fast", [](ProxyParams& p) { p.voxel_res = 64, p.smooth = 3; });
  add("target500", [](ProxyParams&) {}, 500);
  add("target2000", [](ProxyParams&) {}, 2000);
  add("target10000", [](ProxyParams&) {}, 10000);
  add("voxel_target2000", [](ProxyParams& p) { p.use_sdf = false; }, 2000);
  return sets;
}

// FNV-1a over the exact bytes of positions and indices.
uint64_t digest(const Mesh& m) {
  uint64_t h = 0xcbf29ce484222325ull;
  auto feed = [&](const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) h = (h ^ bytes[i]) * 0x100000001b3ull;
  };
  feed(m.positions.data(), m.positions.size() * sizeof(Vec3));
  feed(m.indices.data(), m.indices.size() * sizeof(Tri));
  return h;
}

void audit(const Input& input, const OptionSet& set) {
  ProxyParams params = set.params;
  if (set.target_faces) test::set_target_faces(params, input.mesh, *set.target_faces);
  try {
    bench::Stopwatch clock;
    const Mesh proxy = generate_proxy_mesh(input.mesh.positions, input.mesh.indices, params);
    const double seconds = clock.seconds();
    const test::PromiseReport r = test::check_promise(proxy);
    fmt::print("{:<22} {:<18} v {:>7} f {:>7} digest {:016x} open {} misoriented {} repeated {} zero-area {} "
               "turned {} coincident {} intersecting {}  ({:.2f} s)\n",
               input.name, set.name, proxy.positions.size(), proxy.indices.size(), digest(proxy), r.open_edges,
               r.misoriented_edges, r.repeated_corners, r.zero_area_faces, r.turned_over_faces, r.coincident_vertices,
               test::count_self_intersections(proxy), seconds);
  } catch (const std::exception& e) {
    fmt::print("{:<22} {:<18} failed: {}\n", input.name, set.name, e.what());
  }
  std::fflush(stdout);
}

}  // namespace
}  // namespace morvane

int main(int argc, char** argv) {
  using namespace morvane;
  std::vector<Input> inputs = generated_inputs();
  for (int i = 1; i < argc; ++i) {
    try {
      io::MeshData data = io::load_mesh(argv[i]);
      std::string name = argv[i];
      name = name.substr(name.find_last_of('/') + 1);
      inputs.push_back({name, Mesh{std::move(data.positions), std::move(data.triangles)}});
    } catch (const std::exception& e) {
      std::fprintf(stderr, "skipped %s: %s\n", argv[i], e.what());
    }
  }
  for (const Input& input : inputs)
    for (const OptionSet& set : option_sets()) audit(input, set);
}
