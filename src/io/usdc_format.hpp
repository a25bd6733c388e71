// The USD crate container (OpenUSD's binary "PXR-USDC" format) as both directions use it: header
// and table-of-contents layout, value representations, the LZ4 chunk framing and the integer
// compression (common delta plus 2-bit width codes).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "little_endian.hpp"

namespace morvane::io {

inline constexpr std::string_view kCrateMagic = "PXR-USDC";
inline constexpr uint64_t kCrateHeaderSize = 88;
inline constexpr uint64_t kCrateSectionNameSize = 16;

// ValueRep: flags in the top bits, an 8-bit type code, a 48-bit payload.
inline constexpr uint64_t kRepArray = uint64_t{1} << 63;
inline constexpr uint64_t kRepInlined = uint64_t{1} << 62;
inline constexpr uint64_t kRepCompressed = uint64_t{1} << 61;
inline constexpr uint64_t kRepPayloadMask = (uint64_t{1} << 48) - 1;

inline uint32_t rep_type(uint64_t rep) { return static_cast<uint32_t>((rep >> 48) & 0xFF); }
inline uint64_t rep_payload(uint64_t rep) { return rep & kRepPayloadMask; }
inline uint64_t make_rep(uint32_t type, uint64_t flags, uint64_t payload) {
  return flags | (uint64_t{type} << 48) | (payload & kRepPayloadMask);
}

// Type codes of the values this system reads or writes.
enum CrateType : uint32_t {
  kTypeBool = 1,
  kTypeInt = 3,
  kTypeDouble = 9,
  kTypeToken = 11,
  kTypeFloat2 = 20,
  kTypeDouble3 = 23,
  kTypeFloat3 = 24,
  kTypeStringListOp = 33,
  kTypePathListOp = 34,
  kTypeReferenceListOp = 35,
  kTypeTokenVector = 41,
  kTypeSpecifier = 42,
  kTypeVariability = 44,
  kTypeVariantSelectionMap = 45,
  kTypeTimeSamples = 46,
  kTypeDoubleVector = 48,
  kTypeStringVector = 50,
  kTypeValueBlock = 51,
  kTypePayloadListOp = 55,
  kTypeRelocates = 58,
};

// The first byte of a list op value says which item lists follow, in this order: explicit, added,
// prepended, appended, deleted, ordered; each list is a u64 count and that many items.
enum ListOpBits : uint8_t {
  kListOpIsExplicit = 0x01,
  kListOpHasExplicit = 0x02,
  kListOpHasAdded = 0x04,
  kListOpHasDeleted = 0x08,
  kListOpHasOrdered = 0x10,
  kListOpHasPrepended = 0x20,
  kListOpHasAppended = 0x40,
};

enum class SpecType : uint32_t { Attribute = 1, Prim = 6, PseudoRoot = 7, Variant = 10 };

inline constexpr uint32_t kFieldSetTerminator = 0xFFFFFFFF;

struct CrateField {
  uint32_t token;  // index of the field's name
  uint64_t rep;
};

struct CrateSpec {
  uint32_t path;
  uint32_t field_set;
  uint32_t type;
};

// The tables of a crate layer as the sections store them.
struct CrateTables {
  std::vector<std::string> tokens;
  std::vector<CrateField> fields;
  std::vector<uint32_t> field_sets;  // field indices, each set closed by kFieldSetTerminator
  std::vector<int32_t> path_indexes, element_tokens, jumps;
  std::vector<CrateSpec> specs;
};

// Everything that follows the value data: the sections TOKENS, STRINGS (empty), FIELDS, FIELDSETS,
// PATHS and SPECS back to back, then the table of contents. The first section starts at
// 88 + value_bytes.
struct CrateTail {
  std::vector<uint8_t> bytes;
  uint64_t toc_offset = 0;
};
CrateTail encode_crate_tail(const CrateTables& tables, uint64_t value_bytes);

// The 88-byte header: magic, version 0.minor.0, the table-of-contents offset.
std::vector<uint8_t> encode_crate_header(uint8_t minor_version, uint64_t toc_offset);

// A read position over the whole file; reads are bounded by the end of the file, not by the end of
// the section being read. Failures throw "unexpected end of file" and leave the position alone.
class ByteCursor {
 public:
  ByteCursor(std::span<const uint8_t> file, uint64_t position) : file_(file), position_(position) {}

  uint64_t read_u64();
  std::span<const uint8_t> read_bytes(uint64_t length);
  uint64_t position() const { return position_; }
  uint64_t file_size() const { return file_.size(); }

 private:
  std::span<const uint8_t> file_;
  uint64_t position_;
};

// The content of a framed LZ4 blob: byte 0 is a chunk count N; N = 0 means one LZ4 block follows,
// N > 0 that N chunks follow, each a u32 size and one block. At most `expected_size` bytes are
// produced; fewer is no error here. A blob of 0 bytes is empty content.
std::vector<uint8_t> decompress_lz4_blob(std::span<const uint8_t> blob, uint64_t expected_size);

// The largest input liblz4 takes as one block.
uint64_t lz4_max_block_input();

// Frames `bytes` as one LZ4 block (N = 0), or as chunks of at most `chunk_limit` bytes when the
// input is longer than that.
std::vector<uint8_t> compress_lz4_framed(std::span<const uint8_t> bytes, uint64_t chunk_limit = lz4_max_block_input());

// Reads a compressed integer array of `count` values at the cursor (u64 size, then a framed blob)
// and moves the cursor past it.
std::vector<int32_t> read_compressed_ints(ByteCursor& cursor, uint64_t count);

// Appends the compressed integer array of `values`: u64 size, then the framed blob.
void compress_ints(std::vector<uint8_t>& out, std::span<const int32_t> values);

}  // namespace morvane::io
