// Uniform remeshing of a closed ~1M-triangle torus down to 1k, 10k and 100k faces: time and the
// face count reached against the target. One line per case on standard output; the remesher's
// own lines go to standard error.
#include <cmath>
#include <cstdio>

#include "bench_util.hpp"
#include "core/remesh.hpp"
#include "support/test_meshes.hpp"

int main() {
  using namespace morvane;
  const Mesh input = test::make_torus(1.0, 0.35, 1024, 512);  // 1048576 triangles
  double area = 0;
  for (const Tri& t : input.indices) {
    area += 0.5 * length(face_normal(input.positions[t[0]], input.positions[t[1]], input.positions[t[2]]));
  }
  for (uint64_t target : {1'000u, 10'000u, 100'000u}) {
    RemeshParams params;
    params.target_faces = target;
    params.target_edge = std::sqrt(4 * area / (static_cast<double>(target) * std::sqrt(3.0)));
    params.iterations = 3;  // raised to 25 by the target
    bench::Stopwatch clock;
    const Mesh out = isotropic_remesh(input.positions, input.indices, params, nullptr);
    const double seconds = clock.seconds();
    const double error = (static_cast<double>(out.indices.size()) / static_cast<double>(target) - 1.0) * 100.0;
    std::printf("remesh torus %zu tris -> target %llu: %zu faces (%+.1f%%), %.2f s, peak %.0f MiB\n",
                input.indices.size(), static_cast<unsigned long long>(target), out.indices.size(), error, seconds,
                bench::peak_rss_mib());
  }
}
