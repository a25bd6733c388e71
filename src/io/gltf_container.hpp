// The GLB binary container of glTF, checked before tinygltf sees it.
#pragma once

#include <string>
#include <string_view>

namespace morvane::io {

struct GlbInput {
  std::string_view container;  // what tinygltf is given
  std::string_view json;
};

// Checks the header and chunk table of a GLB file (first four bytes "glTF"); failures fail_gltf.
// tinygltf misjudges a binary chunk that overruns the file (it reads past the end) and refuses an
// empty one; an unknown second chunk must be ignored. So only a non-empty binary chunk that fits
// is passed on; otherwise tinygltf gets a copy, kept in `trimmed`, cut after the JSON chunk.
GlbInput check_glb(std::string_view bytes, std::string& trimmed);

}  // namespace morvane::io
