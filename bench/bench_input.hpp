// The input mesh of the pipeline benchmarks and their command-line options.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/mesh.hpp"
#include "support/test_meshes.hpp"

namespace morvane::bench {

struct Options {
  std::vector<uint64_t> resolutions{128, 256, 512};
  int runs = 3;
  Vec3 aspect{1, 1, 1};  // the bumpy sphere scaled per axis: the grid's shape follows
};

// --res 128,512   --runs 5   --aspect 0.88,1,0.8
inline Options parse_options(int argc, char** argv) {
  Options o;
  auto numbers = [](const char* text) {
    std::vector<double> out;
    for (char* end = nullptr; *text != '\0'; text = *end == ',' ? end + 1 : end) {
      out.push_back(std::strtod(text, &end));
      if (end == text) break;
    }
    return out;
  };
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::vector<double> v = numbers(argv[i + 1]);
    if (std::strcmp(argv[i], "--res") == 0) {
      o.resolutions.assign(v.begin(), v.end());
    } else if (std::strcmp(argv[i], "--runs") == 0 && !v.empty()) {
      o.runs = static_cast<int>(v[0]);
    } else if (std::strcmp(argv[i], "--aspect") == 0 && v.size() == 3) {
      o.aspect = {v[0], v[1], v[2]};
    } else {
      std::fprintf(stderr, "usage: %s [--res 128,256,512] [--runs 3] [--aspect 1,1,1]\n", argv[0]);
      std::exit(2);
    }
  }
  return o;
}

// The bumpy sphere of about 1.3M triangles, scaled by the aspect.
inline Mesh bench_mesh(const Options& o) {
  Mesh m = test::make_bumpy_sphere(8);
  for (Vec3& p : m.positions) p = {p[0] * o.aspect[0], p[1] * o.aspect[1], p[2] * o.aspect[2]};
  return m;
}

}  // namespace morvane::bench
