// Fuzzes the OBJ reader on arbitrary text: it must return a consistent mesh or throw IoError.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "io/io_error.hpp"
#include "io/obj.hpp"

namespace {

// Small limits keep the memory of one input bounded while still reaching the limit checks.
constexpr morvane::io::MeshLimits kLimits{1u << 20, 1u << 20};

void check_invariants(const morvane::io::MeshData& mesh) {
  const std::size_t corners = mesh.triangles.size() * 3;
  if (mesh.uvs && mesh.uvs->size() != corners) std::abort();
  if (mesh.normals && mesh.normals->size() != corners) std::abort();
  for (const morvane::Tri& triangle : mesh.triangles) {
    for (const uint32_t index : triangle) {
      if (index >= mesh.positions.size()) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    check_invariants(morvane::io::parse_obj(text, kLimits));
  } catch (const morvane::io::IoError&) {
  }
  return 0;
}
