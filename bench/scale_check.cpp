// The proxy of an input scaled by 2^k against the proxy of the input itself, scaled: every input is
// first brought to a size between 1/2 and 1 by a power of two, then each option set runs at every
// scale. One line per case: whether the faces are the same index for index, the largest distance
// of a vertex from its scaled unit counterpart relative to the unit input's extent, the face count
// and the time (the better of two runs) as ratios to the unit proxy's, and whether the proxy keeps
// its promise.
//
// Usage: scale_check [--input=NAME]... [--set=NAME]... [mesh files...]
// Generated shapes come first; --input and --set keep only the inputs and option sets named.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "bench_util.hpp"
#include "core/bounds.hpp"
#include "core/proxy.hpp"
#include "io/mesh_io.hpp"
#include "support/mesh_checks.hpp"
#include "support/proxy_settings.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

constexpr int kExponents[] = {-60, -40, -20, -14, -1, 0, 1, 14, 20, 40, 60};

struct Input {
  std::string name;
  Mesh mesh;
};

struct OptionSet {
  const char* name;
  ProxyParams params;
  std::optional<uint32_t> target_faces;
};

// A sphere of `rings` bands of `segments` quads, closed by fans at the poles.
Mesh make_uv_sphere(uint32_t segments, uint32_t rings) {
  Mesh m;
  m.positions.push_back({0, 0, 1});
  for (uint32_t r = 1; r < rings; ++r) {
    const double theta = std::numbers::pi * r / rings;
    for (uint32_t s = 0; s < segments; ++s) {
      const double phi = 2 * std::numbers::pi * s / segments;
      m.positions.push_back({std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi), std::cos(theta)});
    }
  }
  m.positions.push_back({0, 0, -1});
  const auto south = static_cast<uint32_t>(m.positions.size() - 1);
  auto id = [&](uint32_t r, uint32_t s) { return 1 + (r - 1) * segments + s % segments; };
  for (uint32_t s = 0; s < segments; ++s) m.indices.push_back({0, id(1, s), id(1, s + 1)});
  for (uint32_t r = 1; r + 1 < rings; ++r) {
    for (uint32_t s = 0; s < segments; ++s) {
      m.indices.push_back({id(r, s), id(r + 1, s), id(r + 1, s + 1)});
      m.indices.push_back({id(r, s), id(r + 1, s + 1), id(r, s + 1)});
    }
  }
  for (uint32_t s = 0; s < segments; ++s) m.indices.push_back({south, id(rings - 1, s + 1), id(rings - 1, s)});
  return m;
}

double longest_side(const Mesh& m) {
  const Vec3 e = finite_bounds(m.positions).extent();
  return std::fmax(e[0], std::fmax(e[1], e[2]));
}

// The mesh scaled by a power of two so that its longest side lies in (1/2, 1].
Mesh normalised(const Mesh& m) {
  int exponent = 0;
  std::frexp(longest_side(m), &exponent);
  return test::scaled_by_power_of_two(m, -exponent);
}

std::vector<OptionSet> option_sets() {
  std::vector<OptionSet> sets;
  auto add = [&](const char* name, auto edit, std::optional<uint32_t> target = std::nullopt) {
    ProxyParams p;
    edit(p);
    sets.push_back({name, p, target});
  };
  add("default", [](ProxyParams&) {});
  add("bilateral", [](ProxyParams& p) { p.bilateral = true; });
  add("remesh3", [](ProxyParams& p) { p.remesh = 3; });
  add("remesh3_adaptive", [](ProxyParams& p) { p.remesh = 3, p.adaptive_remesh = true; });
  add("target500", [](ProxyParams&) {}, 500);
  add("target2000", [](ProxyParams&) {}, 2000);
  add("voxel", [](ProxyParams& p) { p.use_sdf = false; });
  add("voxel_target2000", [](ProxyParams& p) { p.use_sdf = false; }, 2000);
  add("fast", [](ProxyParams& p) { p.voxel_res = 64, p.smooth = 3; });
  add("smooth10_lambda0.9", [](ProxyParams& p) { p.smooth = 10, p.smooth_lambda = 0.9; });
  return sets;
}

struct Run {
  Mesh proxy;
  double seconds = 0;
};

// The proxy as generate_proxy makes it, the face count's settings taken from the input it is given;
// the time is the better of two runs.
Run run(const Mesh& input, const OptionSet& set) {
  ProxyParams params = set.params;
  if (set.target_faces) test::set_target_faces(params, input, *set.target_faces);
  Run r;
  for (int attempt = 0; attempt < 2; ++attempt) {
    bench::Stopwatch clock;
    r.proxy = generate_proxy_mesh(input.positions, input.indices, params);
    const double seconds = clock.seconds();
    r.seconds = attempt == 0 ? seconds : std::fmin(r.seconds, seconds);
  }
  return r;
}

void check(const Input& input, const OptionSet& set) {
  const double extent = longest_side(input.mesh);
  Run unit;
  try {
    unit = run(input.mesh, set);
  } catch (const std::exception& e) {
    fmt::print("{:<14} {:<18} unit proxy failed: {}\n", input.name, set.name, e.what());
    return;
  }
  for (int k : kExponents) {
    if (k == 0) continue;
    std::string line = fmt::format("{:<14} {:<18} 2^{:<4}", input.name, set.name, k);
    try {
      const Run r = run(test::scaled_by_power_of_two(input.mesh, k), set);
      const std::optional<double> offset = test::scaled_copy_offset(unit.proxy, r.proxy, k);
      const double faces = static_cast<double>(r.proxy.indices.size()) / static_cast<double>(unit.proxy.indices.size());
      line += fmt::format(" indices {:<6} offset {:<8} faces {:.4f} time {:5.2f} promise {}",
                          offset ? "same" : "differ", offset ? fmt::format("{:.1e}", *offset / extent) : "-", faces,
                          r.seconds / std::fmax(unit.seconds, 1e-3),
                          test::check_promise(r.proxy).holds() ? "kept" : "BROKEN");
    } catch (const std::exception& e) {
      line += fmt::format(" failed: {}", e.what());
    }
    fmt::print("{}\n", line);
    std::fflush(stdout);
  }
}

}  // namespace
}  // namespace morvane

int main(int argc, char** argv) {
  using namespace morvane;
  std::vector<Input> inputs = {
      {"uv_sphere", make_uv_sphere(64, 32)},
      {"bumpy_sphere5", test::make_bumpy_sphere(5)},
      {"knotted_tube", test::make_knotted_tube(240, 16, 0.35)},
      {"box", test::make_box({0, 0, 0}, {1, 0.6, 0.3})},
  };
  std::vector<std::string> only_inputs, only_sets;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--input=", 0) == 0) {
      only_inputs.push_back(arg.substr(8));
      continue;
    }
    if (arg.rfind("--set=", 0) == 0) {
      only_sets.push_back(arg.substr(6));
      continue;
    }
    try {
      io::MeshData data = io::load_mesh(argv[i]);
      std::string name = argv[i];
      name = name.substr(name.find_last_of('/') + 1);
      inputs.push_back({name, Mesh{std::move(data.positions), std::move(data.triangles)}});
    } catch (const std::exception& e) {
      std::fprintf(stderr, "skipped %s: %s\n", argv[i], e.what());
    }
  }
  auto wanted = [](const std::vector<std::string>& only, const std::string& name) {
    return only.empty() || std::find(only.begin(), only.end(), name) != only.end();
  };
  for (Input& input : inputs) {
    if (!wanted(only_inputs, input.name)) continue;
    input.mesh = normalised(input.mesh);
    for (const OptionSet& set : option_sets()) {
      if (wanted(only_sets, set.name)) check(input, set);
    }
  }
}
