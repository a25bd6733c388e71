// Fuzzes the crate reader on arbitrary bytes: it must return a consistent mesh or throw IoError,
// and never allocate more than the input's bytes can decode to. Inputs starting with "T" describe
// the tables themselves (tokens, fields, field sets, path tree, specs, values), which are encoded
// into a well-formed container, so that mutations reach the reader's logic past the compression.
// Inputs starting with "W" drive the writer: the mesh they describe must read back unchanged.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "io/io_error.hpp"
#include "io/usdc.hpp"
#include "io/usdc_format.hpp"

namespace {

using morvane::io::MeshData;

// Small limits keep the memory of one input bounded while still reaching the limit checks.
constexpr morvane::io::MeshLimits kLimits{1u << 20, 1u << 20};

void check_invariants(const MeshData& mesh) {
  if (mesh.uvs || mesh.normals) std::abort();
  for (const morvane::Tri& triangle : mesh.triangles) {
    for (const uint32_t index : triangle) {
      if (index >= mesh.positions.size()) std::abort();
    }
  }
}

// Positions from 12-byte groups (three f32 each), then triangles from the remaining bytes.
void round_trip(std::span<const uint8_t> data) {
  MeshData mesh;
  const std::size_t vertices = data.empty() ? 0 : data[0] % 64;
  data = data.subspan(data.empty() ? 0 : 1);
  for (std::size_t v = 0; v < vertices && data.size() >= 12; ++v, data = data.subspan(12)) {
    float c[3];
    std::memcpy(c, data.data(), sizeof c);
    mesh.positions.push_back({c[0], c[1], c[2]});
  }
  for (; data.size() >= 3; data = data.subspan(3)) {
    mesh.triangles.push_back({data[0], data[1], data[2]});
  }
  const MeshData back = morvane::io::read_usdc_bytes(morvane::io::encode_usdc(mesh),
                                                     {UINT32_MAX, UINT32_MAX});
  if (back.positions.size() != mesh.positions.size()) std::abort();
  for (std::size_t i = 0; i < mesh.positions.size(); ++i) {
    for (int k = 0; k < 3; ++k) {
      if (std::bit_cast<uint64_t>(back.positions[i][k]) != std::bit_cast<uint64_t>(mesh.positions[i][k])) {
        std::abort();
      }
    }
  }
  if (back.triangles != mesh.triangles) std::abort();
}

// The next segment: a u16 length, then that many bytes (fewer at the end of the input).
std::span<const uint8_t> segment(std::span<const uint8_t>& data) {
  if (data.size() < 2) return {};
  const std::size_t length = std::min<std::size_t>(data[0] | data[1] << 8, data.size() - 2);
  const std::span<const uint8_t> result = data.subspan(2, length);
  data = data.subspan(2 + length);
  return result;
}

template <class T>
std::vector<T> records(std::span<const uint8_t> bytes) {
  std::vector<T> out(bytes.size() / sizeof(T));
  if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
  return out;
}

std::vector<uint8_t> crate_from_tables(std::span<const uint8_t> data) {
  using namespace morvane::io;
  const uint8_t minor = data.empty() ? 8 : data[0];
  data = data.subspan(data.empty() ? 0 : 1);
  CrateTables tables;
  const std::span<const uint8_t> text = segment(data);
  std::string token;
  for (const uint8_t c : text) {
    if (c == 0) {
      tables.tokens.push_back(token);
      token.clear();
    } else {
      token += static_cast<char>(c);
    }
  }
  struct Field {
    uint32_t token;
    uint32_t rep_low, rep_high;
  };
  for (const Field& f : records<Field>(segment(data))) {
    tables.fields.push_back({f.token, uint64_t{f.rep_high} << 32 | f.rep_low});
  }
  tables.field_sets = records<uint32_t>(segment(data));
  struct Path {
    int32_t index, element, jump;
  };
  for (const Path& p : records<Path>(segment(data))) {
    tables.path_indexes.push_back(p.index);
    tables.element_tokens.push_back(p.element);
    tables.jumps.push_back(p.jump);
  }
  tables.specs = records<CrateSpec>(segment(data));
  const std::span<const uint8_t> values = data;
  const CrateTail tail = encode_crate_tail(tables, values.size());
  std::vector<uint8_t> file = encode_crate_header(minor, tail.toc_offset);
  file.insert(file.end(), values.begin(), values.end());
  file.insert(file.end(), tail.bytes.begin(), tail.bytes.end());
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  if (size > 0 && data[0] == 'W') {
    try {
      round_trip(bytes.subspan(1));
    } catch (const morvane::io::IoError&) {
      // A triangle naming a vertex that does not exist is refused on reading.
    }
    return 0;
  }
  try {
    if (size > 0 && data[0] == 'T') {
      check_invariants(morvane::io::read_usdc_bytes(crate_from_tables(bytes.subspan(1)), kLimits));
    } else {
      check_invariants(morvane::io::read_usdc_bytes(bytes, kLimits));
    }
  } catch (const morvane::io::IoError&) {
  }
  return 0;
}
