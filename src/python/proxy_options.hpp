// The proxy options that generate_proxy and proxy_from_path take as keywords, and how they become
// the pipeline's ProxyParams: quality presets and a target face count override the plain values.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "arguments.hpp"
#include "core/mesh.hpp"
#include "core/proxy.hpp"
#include "errors.hpp"

namespace morvane::py {

// The thirteen options. quality and target_faces override some plain values; the plain values
// (voxel_res, offset, close, smooth, smooth_lambda, remesh, adaptive_remesh, bilateral,
// bilateral_sigma_n, project, use_sdf) default to the pipeline's own settings.
struct ProxyOptions {
  std::optional<std::string> quality;     // "fast", "balanced" or "high", any ASCII case
  std::optional<uint64_t> target_faces;   // wanted output face count
  ProxyParams plain;
};

// Their keyword names, in declaration order.
inline constexpr const char* kProxyOptionNames[] = {
    "quality", "target_faces", "voxel_res", "offset", "close", "smooth", "smooth_lambda", "remesh", "adaptive_remesh",
    "bilateral", "bilateral_sigma_n", "project", "use_sdf"};

// Converts the thirteen options in declaration order; options not given keep their defaults.
ProxyOptions read_proxy_options(Arguments& arguments);

// "unknown quality preset {quoted}; expected fast/balanced/high"
class UnknownPresetError : public ModuleError {
 public:
  using ModuleError::ModuleError;
};

// The pipeline settings for these options. positions and faces are read only when a target face
// count is given. Throws UnknownPresetError. Touches no Python object.
ProxyParams resolve_proxy_params(std::span<const Vec3> positions, std::span<const Tri> faces,
                                 const ProxyOptions& options);

// Throws ModuleError with the text "invalid index {} in face {} (vertex count: {})" for the first
// corner, in face order, that names a vertex beyond the list, then with "vertex {} of face {} has a
// non-finite coordinate ({}, {}, {})" for the first that names a vertex with a NaN or infinite
// coordinate: checked once before every pipeline run.
void require_valid_faces(std::span<const Vec3> positions, std::span<const Tri> faces);

}  // namespace morvane::py
