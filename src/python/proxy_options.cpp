// Quality presets, target face counts and the keyword options of the proxy functions.
#include "proxy_options.hpp"

#include <algorithm>
#include <limits>

#include "core/mesh_error.hpp"
#include "debug_quote.hpp"

namespace morvane::py {

namespace {

struct QualityPreset {
  const char* name;
  uint64_t voxel_res;
  uint64_t smooth;
  uint64_t remesh;
};

constexpr QualityPreset kPresets[] = {
    {"fast", 64, 3, 0},
    {"balanced", 128, 5, 3},
    {"high", 256, 5, 5},
};

// Lower-cases A-Z only; other bytes, those of multi-byte UTF-8 sequences included, stay.
std::string ascii_lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

ProxyOptions read_proxy_options(Arguments& arguments) {
  const ProxyParams defaults;
  ProxyOptions o;
  ProxyParams& p = o.plain;
  o.quality = arguments.keyword_or_none("quality", to_str);
  o.target_faces = arguments.keyword_or_none("target_faces", to_unsigned);
  p.voxel_res = arguments.keyword("voxel_res", defaults.voxel_res, to_unsigned);
  p.offset = arguments.keyword("offset", defaults.offset, to_float);
  p.close = arguments.keyword("close", defaults.close, to_unsigned);
  p.smooth = arguments.keyword("smooth", defaults.smooth, to_unsigned);
  p.smooth_lambda = arguments.keyword("smooth_lambda", defaults.smooth_lambda, to_float);
  p.remesh = arguments.keyword("remesh", defaults.remesh, to_unsigned);
  p.adaptive_remesh = arguments.keyword("adaptive_remesh", defaults.adaptive_remesh, to_bool);
  p.bilateral = arguments.keyword("bilateral", defaults.bilateral, to_bool);
  p.bilateral_sigma_n = arguments.keyword("bilateral_sigma_n", defaults.bilateral_sigma_n, to_float);
  p.project = arguments.keyword("project", defaults.project, to_float);
  p.use_sdf = arguments.keyword("use_sdf", defaults.use_sdf, to_bool);
  return o;
}

ProxyParams resolve_proxy_params(std::span<const Vec3> positions, std::span<const Tri> faces,
                                 const ProxyOptions& options) {
  ProxyParams params = options.plain;
  if (options.quality) {
    const std::string wanted = ascii_lower(*options.quality);
    const auto preset = std::find_if(std::begin(kPresets), std::end(kPresets),
                                     [&](const QualityPreset& p) { return wanted == p.name; });
    if (preset == std::end(kPresets)) {
      throw UnknownPresetError("unknown quality preset " + debug_quoted(wanted) + "; expected fast/balanced/high");
    }
    params.voxel_res = preset->voxel_res;
    params.smooth = preset->smooth;
    params.remesh = preset->remesh;
  }

  if (options.target_faces) {
    const auto target = static_cast<uint32_t>(
        std::min<uint64_t>(*options.target_faces, std::numeric_limits<uint32_t>::max()));
    const auto [voxel_res, edge] = resolution_for_target_faces(positions, faces, target);
    params.voxel_res = voxel_res;
    params.target_edge = edge;
    params.target_faces = options.target_faces;
    params.remesh = std::max<uint64_t>(params.remesh, 3);
  }
  return params;
}

void require_valid_faces(std::span<const Vec3> positions, std::span<const Tri> faces) {
  if (const auto error = find_invalid_index(positions.size(), faces)) throw ModuleError(mesh_error_display(*error));
  if (const auto corner = find_non_finite_vertex(positions, faces)) {
    throw ModuleError(non_finite_vertex_display(*corner));
  }
}

}  // namespace morvane::py
