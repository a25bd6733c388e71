// Proxies of a fixed set of inputs under a fixed set of option sets: one line per case with the
// proxy's size, a digest of its exact bytes and the checks of its promise (closed, oriented, no
// repeated corner, no zero-area or turned-over face). Two runs compare by `diff`: before and after
// a change that must not alter results, or with RAYON_NUM_THREADS=1 and =8.
//
// Usage: proxy_audit [mesh files...]   (generated shapes always come first)
#include <cmath>
#include <cstdio>
#include <exception>
#include <numbers>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "bench_util.hpp"
#include "core/proxy.hpp"
#include "io/mesh_io.hpp"
#include "support/mesh_checks.hpp"
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

// A closed slab, `t` thick, with finely split top and bottom faces.
Mesh make_thin_plate(uint32_t nx, uint32_t ny, double t) {
  Mesh m;
  auto id = [&](uint32_t k, uint32_t i, uint32_t j) { return k * nx * ny + j * nx + i; };
  for (uint32_t k = 0; k < 2; ++k)
    for (uint32_t j = 0; j < ny; ++j)
      for (uint32_t i = 0; i < nx; ++i) m.positions.push_back({i / double(nx - 1), 0.6 * j / (ny - 1), k * t});
  for (uint32_t k = 0; k < 2; ++k) {
    for (uint32_t j = 0; j + 1 < ny; ++j) {
      for (uint32_t i = 0; i + 1 < nx; ++i) {
        const uint32_t a = id(k, i, j), b = id(k, i + 1, j), c = id(k, i + 1, j + 1), d = id(k, i, j + 1);
        if (k == 0) m.indices.insert(m.indices.end(), {Tri{a, c, b}, Tri{a, d, c}});
        else m.indices.insert(m.indices.end(), {Tri{a, b, c}, Tri{a, c, d}});
      }
    }
  }
  std::vector<uint32_t> ring;
  for (uint32_t i = 0; i < nx; ++i) ring.push_back(id(0, i, 0));
  for (uint32_t j = 1; j < ny; ++j) ring.push_back(id(0, nx - 1, j));
  for (uint32_t i = nx - 1; i-- > 0;) ring.push_back(id(0, i, ny - 1));
  for (uint32_t j = ny - 1; j-- > 1;) ring.push_back(id(0, 0, j));
  for (std::size_t r = 0; r < ring.size(); ++r) {
    const uint32_t a = ring[r], b = ring[(r + 1) % ring.size()];
    m.indices.insert(m.indices.end(), {Tri{a, b, b + nx * ny}, Tri{a, b + nx * ny, a + nx * ny}});
  }
  return m;
}

// A single open sheet: a wavy square of n x n quads.
Mesh make_open_sheet(uint32_t n) {
  Mesh m;
  for (uint32_t j = 0; j <= n; ++j)
    for (uint32_t i = 0; i <= n; ++i) {
      const double x = double(i) / n, y = double(j) / n;
      m.positions.push_back({x, y, 0.1 * std::sin(3 * x) * std::cos(2 * y)});
    }
  for (uint32_t j = 0; j < n; ++j)
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t a = j * (n + 1) + i, b = a + 1, c = a + n + 2, d = a + n + 1;
      m.indices.insert(m.indices.end(), {Tri{a, b, c}, Tri{a, c, d}});
    }
  return m;
}

// A tube of radius r around a trefoil knot.
Mesh make_knotted_tube(uint32_t nu, uint32_t nv, double r) {
  auto knot = [](double u) {
    return Vec3{std::sin(u) + 2 * std::sin(2 * u), std::cos(u) - 2 * std::cos(2 * u), -std::sin(3 * u)};
  };
  Mesh m;
  for (uint32_t i = 0; i < nu; ++i) {
    const double u = 2 * std::numbers::pi * i / nu, du = 1e-4;
    const Vec3 p = knot(u), tangent = knot(u + du) - knot(u - du);
    Vec3 n = cross(tangent, Vec3{0, 0, 1});
    n = n * (1 / length(n));
    Vec3 b = cross(tangent, n);
    b = b * (1 / length(b));
    for (uint32_t j = 0; j < nv; ++j) {
      const double w = 2 * std::numbers::pi * j / nv;
      m.positions.push_back(p + n * (r * std::cos(w)) + b * (r * std::sin(w)));
    }
  }
  auto id = [&](uint32_t i, uint32_t j) { return (i % nu) * nv + (j % nv); };
  for (uint32_t i = 0; i < nu; ++i)
    for (uint32_t j = 0; j < nv; ++j)
      m.indices.insert(m.indices.end(), {Tri{id(i, j), id(i, j + 1), id(i + 1, j + 1)},
                                         Tri{id(i, j), id(i + 1, j + 1), id(i + 1, j)}});
  return m;
}

std::vector<Input> generated_inputs() {
  return {
      {"box", test::make_box({0, 0, 0}, {1, 0.6, 0.3})},
      {"icosphere5", test::make_icosphere(5)},
      {"bumpy_sphere6", test::make_bumpy_sphere(6)},
      {"torus", test::make_torus(1.0, 0.3, 96, 48)},
      {"touching_boxes", test::merge(test::make_box({0, 0, 0}, {1, 1, 1}), test::make_box({1, 0.2, 0.2}, {2, 0.8, 0.8}))},
      {"thin_plate", make_thin_plate(40, 24, 0.02)},
      {"open_sheet", make_open_sheet(40)},
      {"knotted_tube", make_knotted_tube(240, 16, 0.35)},
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
  if (set.target_faces) {
    const auto [res, edge] = resolution_for_target_faces(input.mesh.positions, input.mesh.indices, *set.target_faces);
    params.voxel_res = res;
    params.target_edge = edge;
    params.target_faces = *set.target_faces;
    params.remesh = std::max<uint64_t>(params.remesh, 3);
  }
  try {
    bench::Stopwatch clock;
    const Mesh proxy = generate_proxy_mesh(input.mesh.positions, input.mesh.indices, params);
    const double seconds = clock.seconds();
    const test::PromiseReport r = test::check_promise(proxy);
    fmt::print("{:<22} {:<18} v {:>7} f {:>7} digest {:016x} open {} misoriented {} repeated {} zero-area {} "
               "turned {}  ({:.2f} s)\n",
               input.name, set.name, proxy.positions.size(), proxy.indices.size(), digest(proxy), r.open_edges,
               r.misoriented_edges, r.repeated_corners, r.zero_area_faces, r.turned_over_faces, seconds);
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
