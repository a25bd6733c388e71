#include "usdc_format.hpp"

#include <fmt/format.h>
#include <lz4.h>

#include <algorithm>
#include <array>
#include <climits>
#include <string>
#include <unordered_map>

#include "core/core_errors.hpp"
#include "core/run_context.hpp"
#include "common/numeric.hpp"
#include "io_error.hpp"

namespace morvane::io {

namespace {

// One LZ4 block never decodes to more than 255 bytes per input byte (a match-length byte adds at
// most 255), so no allocation need exceed that, whatever size a file claims.
constexpr uint64_t kLz4MaxExpansion = 255;

IoError end_of_file() { return IoError::usd_parse("unexpected end of file"); }

// Decodes one block into `out`, returning the bytes produced.
std::size_t decode_block(std::span<const uint8_t> block, std::span<uint8_t> out) {
  if (block.size() > static_cast<std::size_t>(INT_MAX)) {
    throw IoError::usd_parse(fmt::format("lz4: block of {} bytes exceeds the block size limit", block.size()));
  }
  const int capacity = static_cast<int>(std::min<std::size_t>(out.size(), INT_MAX));
  const int produced = LZ4_decompress_safe(reinterpret_cast<const char*>(block.data()),
                                           reinterpret_cast<char*>(out.data()), static_cast<int>(block.size()),
                                           capacity);
  if (produced < 0) {
    throw IoError::usd_parse(fmt::format("lz4: corrupt block or output larger than expected (decoding stopped at "
                                         "input byte {})",
                                         -int64_t{produced} - 1));
  }
  return static_cast<std::size_t>(produced);
}

void append_block(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
  const int bound = LZ4_compressBound(static_cast<int>(bytes.size()));
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(bound));
  const int written = LZ4_compress_default(reinterpret_cast<const char*>(bytes.data()),
                                           reinterpret_cast<char*>(out.data() + start),
                                           static_cast<int>(bytes.size()), bound);
  // Cannot happen with a destination of compressBound bytes; a 0 would be a corrupt empty block.
  if (bound <= 0 || written <= 0) throw InternalError("LZ4 block compression failed");
  out.resize(start + static_cast<std::size_t>(written));
}

// The framed LZ4 blob of `content`, after its u64 size.
void append_blob(std::vector<uint8_t>& out, std::span<const uint8_t> content) {
  const std::vector<uint8_t> blob = compress_lz4_framed(content);
  append_u64(out, blob.size());
  out.insert(out.end(), blob.begin(), blob.end());
}

}  // namespace

uint64_t ByteCursor::read_u64() {
  if (position_ > file_.size() || file_.size() - position_ < 8) throw end_of_file();
  const uint64_t value = load_u64(file_.data() + position_);
  position_ += 8;
  return value;
}

std::span<const uint8_t> ByteCursor::read_bytes(uint64_t length) {
  if (position_ > file_.size() || file_.size() - position_ < length) throw end_of_file();
  const auto view = file_.subspan(static_cast<std::size_t>(position_), static_cast<std::size_t>(length));
  position_ += length;
  return view;
}

std::vector<uint8_t> decompress_lz4_blob(std::span<const uint8_t> blob, uint64_t expected_size) {
  if (blob.empty()) return {};
  std::vector<uint8_t> out(std::min(expected_size, saturating_mul(blob.size(), kLz4MaxExpansion)));
  std::size_t produced = 0;
  const uint8_t chunk_count = blob[0];
  if (chunk_count == 0) {
    produced = decode_block(blob.subspan(1), out);
  } else {
    std::size_t p = 1;
    for (unsigned chunk = 0; chunk < chunk_count; ++chunk) {
      throw_if_stopped();
      if (blob.size() - p < 4) throw end_of_file();
      const uint32_t size = load_u32(blob.data() + p);
      p += 4;
      if (blob.size() - p < size) throw IoError::usd_parse("lz4 chunk out of bounds");
      produced += decode_block(blob.subspan(p, size), std::span<uint8_t>(out).subspan(produced));
      p += size;
    }
  }
  out.resize(produced);
  return out;
}

uint64_t lz4_max_block_input() { return LZ4_MAX_INPUT_SIZE; }

std::vector<uint8_t> compress_lz4_framed(std::span<const uint8_t> bytes, uint64_t chunk_limit) {
  chunk_limit = std::clamp<uint64_t>(chunk_limit, 1, LZ4_MAX_INPUT_SIZE);
  std::vector<uint8_t> out;
  if (bytes.size() <= chunk_limit) {
    out.reserve(1 + static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(bytes.size()))));
    out.push_back(0);
    append_block(out, bytes);
    return out;
  }
  // Longer content than one block can hold goes in chunks, as OpenUSD itself frames it.
  const uint64_t chunks = (bytes.size() + chunk_limit - 1) / chunk_limit;
  if (chunks > 255) throw InternalError("content too large for the LZ4 chunk framing");
  out.push_back(static_cast<uint8_t>(chunks));
  for (uint64_t offset = 0; offset < bytes.size(); offset += chunk_limit) {
    const std::size_t length = static_cast<std::size_t>(std::min<uint64_t>(chunk_limit, bytes.size() - offset));
    const std::size_t size_at = out.size();
    append_u32(out, 0);
    append_block(out, bytes.subspan(static_cast<std::size_t>(offset), length));
    store_u32(&out[size_at], static_cast<uint32_t>(out.size() - size_at - 4));
  }
  return out;
}

std::vector<int32_t> read_compressed_ints(ByteCursor& cursor, uint64_t count) {
  const uint64_t size = cursor.read_u64();
  if (size > cursor.file_size()) throw IoError::usd_parse("compressed blob size out of bounds");
  const std::span<const uint8_t> blob = cursor.read_bytes(size);
  if (count == 0) return {};
  const uint64_t code_bytes = count / 4 + (count % 4 != 0);
  const uint64_t header = saturating_add(4, code_bytes);
  const std::vector<uint8_t> content =
      decompress_lz4_blob(blob, saturating_add(header, saturating_mul(4, count)));
  if (content.size() < header) throw IoError::usd_parse("compressed ints truncated");

  // `count` is now bounded by the content: four values per code byte.
  std::vector<int32_t> values(static_cast<std::size_t>(count));
  const uint32_t common = load_u32(content.data());
  std::size_t q = static_cast<std::size_t>(header);
  uint32_t sum = 0;
  for_each_polled_range(values.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const unsigned code = (content[4 + i / 4] >> (2 * (i % 4))) & 3;
      uint32_t delta = common;
      if (code != 0) {
        const std::size_t width = code == 1 ? 1 : code == 2 ? 2 : 4;
        if (content.size() - q < width) throw IoError::usd_parse("int payload truncated");
        if (width == 1) {
          delta = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(content[q])));
        } else if (width == 2) {
          const auto raw = static_cast<uint16_t>(content[q] | content[q + 1] << 8);
          delta = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(raw)));
        } else {
          delta = load_u32(content.data() + q);
        }
        q += width;
      }
      sum += delta;
      values[i] = static_cast<int32_t>(sum);
    }
  });
  return values;
}

void compress_ints(std::vector<uint8_t>& out, std::span<const int32_t> values) {
  const std::size_t n = values.size();
  std::vector<int32_t> deltas(n);
  uint32_t previous = 0;
  for_each_polled_range(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      deltas[i] = static_cast<int32_t>(static_cast<uint32_t>(values[i]) - previous);
      previous = static_cast<uint32_t>(values[i]);
    }
  });

  // The most frequent delta becomes the common value. Small deltas are counted in a table, the
  // rest in a map; ties go to the smallest delta, and a delta outside the table wins only with a
  // strictly higher count, so the choice never depends on the map's order.
  std::array<uint64_t, 1024> small{};
  std::unordered_map<int32_t, uint64_t> large;
  for_each_polled_range(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const int32_t d = deltas[i];
      if (d >= -512 && d <= 511) {
        ++small[static_cast<std::size_t>(d + 512)];
      } else {
        ++large[d];
      }
    }
  });
  uint64_t best = 0;
  int32_t common = 0;
  for (std::size_t k = 0; k < small.size(); ++k) {
    if (small[k] > best) best = small[k], common = static_cast<int32_t>(k) - 512;
  }
  uint64_t large_best = 0;
  int32_t large_common = 0;
  for (const auto& [d, c] : large) {
    if (c > large_best || (c == large_best && d < large_common)) large_best = c, large_common = d;
  }
  if (large_best > best) common = large_common;

  const std::size_t code_bytes = n / 4 + (n % 4 != 0);
  std::vector<uint8_t> content(4 + code_bytes, 0);
  content.reserve(4 + code_bytes + 4 * n);
  store_u32(content.data(), static_cast<uint32_t>(common));
  for_each_polled_range(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      const int32_t d = deltas[i];
      unsigned code;
      if (d == common) {
        code = 0;
      } else if (d >= -128 && d <= 127) {
        code = 1;
        content.push_back(static_cast<uint8_t>(d));
      } else if (d >= -32768 && d <= 32767) {
        code = 2;
        for (int k = 0; k < 2; ++k) content.push_back(static_cast<uint8_t>(static_cast<uint32_t>(d) >> (8 * k)));
      } else {
        code = 3;
        append_u32(content, static_cast<uint32_t>(d));
      }
      content[4 + i / 4] |= static_cast<uint8_t>(code << (2 * (i % 4)));
    }
  });
  append_blob(out, content);
}

namespace {

void append_indices(std::vector<uint8_t>& out, std::span<const uint32_t> values) {
  const std::vector<int32_t> as_signed(values.begin(), values.end());
  compress_ints(out, as_signed);
}

}  // namespace

CrateTail encode_crate_tail(const CrateTables& tables, uint64_t value_bytes) {
  std::vector<std::vector<uint8_t>> sections(6);

  std::vector<uint8_t> token_text;
  for (const std::string& token : tables.tokens) {
    token_text.insert(token_text.end(), token.begin(), token.end());
    token_text.push_back(0);
  }
  append_u64(sections[0], tables.tokens.size());
  append_u64(sections[0], token_text.size());
  append_blob(sections[0], token_text);

  append_u64(sections[1], 0);

  std::vector<uint32_t> names;
  std::vector<uint8_t> reps;
  for (const CrateField& field : tables.fields) {
    names.push_back(field.token);
    append_u64(reps, field.rep);
  }
  append_u64(sections[2], tables.fields.size());
  append_indices(sections[2], names);
  append_blob(sections[2], reps);

  append_u64(sections[3], tables.field_sets.size());
  append_indices(sections[3], tables.field_sets);

  append_u64(sections[4], tables.path_indexes.size());
  append_u64(sections[4], tables.path_indexes.size());
  compress_ints(sections[4], tables.path_indexes);
  compress_ints(sections[4], tables.element_tokens);
  compress_ints(sections[4], tables.jumps);

  std::vector<uint32_t> paths, sets, types;
  for (const CrateSpec& spec : tables.specs) {
    paths.push_back(spec.path);
    sets.push_back(spec.field_set);
    types.push_back(spec.type);
  }
  append_u64(sections[5], tables.specs.size());
  append_indices(sections[5], paths);
  append_indices(sections[5], sets);
  append_indices(sections[5], types);

  static constexpr std::string_view kNames[] = {"TOKENS", "STRINGS", "FIELDS", "FIELDSETS", "PATHS", "SPECS"};
  CrateTail tail;
  uint64_t start = kCrateHeaderSize + value_bytes;
  std::vector<uint8_t> toc;
  append_u64(toc, sections.size());
  for (std::size_t k = 0; k < sections.size(); ++k) {
    toc.insert(toc.end(), kNames[k].begin(), kNames[k].end());
    toc.insert(toc.end(), kCrateSectionNameSize - kNames[k].size(), 0);
    append_u64(toc, start);
    append_u64(toc, sections[k].size());
    tail.bytes.insert(tail.bytes.end(), sections[k].begin(), sections[k].end());
    start += sections[k].size();
  }
  tail.toc_offset = start;
  tail.bytes.insert(tail.bytes.end(), toc.begin(), toc.end());
  return tail;
}

std::vector<uint8_t> encode_crate_header(uint8_t minor_version, uint64_t toc_offset) {
  std::vector<uint8_t> header(kCrateHeaderSize, 0);
  std::copy(kCrateMagic.begin(), kCrateMagic.end(), header.begin());
  header[9] = minor_version;  // version 0.minor.0
  for (int k = 0; k < 8; ++k) header[16 + k] = static_cast<uint8_t>(toc_offset >> (8 * k));
  return header;
}

}  // namespace morvane::io
