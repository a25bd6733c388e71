// Fuzzes the USDA text reader on arbitrary bytes: it must return a consistent mesh or throw
// IoError.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "io/io_error.hpp"
#include "io/usd.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  try {
    const morvane::io::MeshData mesh = morvane::io::read_usda_bytes(
        std::string_view(reinterpret_cast<const char*>(data), size));
    if (mesh.uvs || mesh.normals) std::abort();
    for (const morvane::Tri& triangle : mesh.triangles) {
      for (const uint32_t index : triangle) {
        if (index >= mesh.positions.size()) std::abort();
      }
    }
  } catch (const morvane::io::IoError&) {
  }
  return 0;
}
