#include "gltf_image.hpp"

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

// stb_image is compiled here with internal linkage and for PNG alone: its header reader and inflater.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_MAX_DIMENSIONS (1 << 16)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"  // a false alarm inside stb_image's PNG parser
#endif
#include <stb_image.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace morvane::io {

namespace {

bool has_signature(const unsigned char* bytes, std::size_t size, const char* signature, std::size_t length) {
  return size >= length && std::memcmp(bytes, signature, length) == 0;
}

ImageCheck corrupt(std::string reason) { return {ImageCheck::Status::Corrupt, std::move(reason)}; }

uint32_t big_endian_u32(const unsigned char* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// Width and height of the sub-images whose filtered scanlines a PNG decompresses to: the whole
// image, or the seven Adam7 passes of an interlaced one.
std::vector<std::array<uint64_t, 2>> png_passes(uint64_t width, uint64_t height, bool interlaced) {
  if (!interlaced) return {{width, height}};
  static constexpr int kAdam7[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                       {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};  // x0, y0, dx, dy
  std::vector<std::array<uint64_t, 2>> passes;
  for (const auto& [x0, y0, dx, dy] : kAdam7) {
    const uint64_t w = width > uint64_t(x0) ? (width - x0 + dx - 1) / dx : 0;
    const uint64_t h = height > uint64_t(y0) ? (height - y0 + dy - 1) / dy : 0;
    if (w > 0 && h > 0) passes.push_back({w, h});
  }
  return passes;
}

// stb_image would inflate the image data into a buffer it doubles without bound (a few megabytes
// of compressed data can claim gigabytes), so the data is inflated here into a buffer of exactly
// the size the header implies, and the filter type of every scanline checked.
ImageCheck check_png(const unsigned char* bytes, std::size_t size) {
  if (size > static_cast<std::size_t>(INT_MAX)) return corrupt("PNG data larger than 2 GiB");
  if (std::string problem = png_structure_problem(bytes, size); !problem.empty()) return corrupt(std::move(problem));
  int width = 0, height = 0, channels = 0;
  if (!stbi_info_from_memory(bytes, static_cast<int>(size), &width, &height, &channels)) {
    return corrupt(stbi_failure_reason());
  }
  if (static_cast<std::size_t>(width) * static_cast<std::size_t>(height) > kMaxDecodedImagePixels) return {};

  const unsigned char* header = bytes + 16;  // IHDR, which stbi_info has checked comes first
  static constexpr unsigned kSamplesPerPixel[7] = {1, 0, 3, 1, 2, 0, 4};  // by colour type
  const uint64_t bits_per_pixel = uint64_t{kSamplesPerPixel[header[9]]} * header[8];
  const auto passes = png_passes(static_cast<uint64_t>(width), static_cast<uint64_t>(height), header[12] == 1);
  uint64_t expected = 0;
  for (const auto& [w, h] : passes) expected += h * (1 + (w * bits_per_pixel + 7) / 8);

  std::string compressed;
  for (std::size_t at = 8; at < size;) {
    const std::size_t length = big_endian_u32(bytes + at);
    if (std::memcmp(bytes + at + 4, "IDAT", 4) == 0) {
      compressed.append(reinterpret_cast<const char*>(bytes + at + 8), length);
    }
    if (std::memcmp(bytes + at + 4, "IEND", 4) == 0) break;
    at += 12 + length;
  }
  std::vector<char> scanlines(expected + 1);  // one spare byte tells too much data from just enough
  const int produced = stbi_zlib_decode_buffer(scanlines.data(), static_cast<int>(scanlines.size()),
                                               compressed.data(), static_cast<int>(compressed.size()));
  if (produced < 0) return corrupt(stbi_failure_reason());
  if (static_cast<uint64_t>(produced) != expected) return corrupt("PNG image data of the wrong size");
  std::size_t row = 0;
  for (const auto& [w, h] : passes) {
    for (uint64_t y = 0; y < h; ++y) {
      if (static_cast<unsigned char>(scanlines[row]) > 4) return corrupt("bad PNG filter type");
      row += 1 + (w * bits_per_pixel + 7) / 8;
    }
  }
  return {};
}

bool is_frame_header(unsigned marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool is_restart(unsigned marker) { return marker >= 0xD0 && marker <= 0xD7; }

std::string huffman_tables_problem(const unsigned char* segment, std::size_t length) {
  std::size_t at = 0;
  while (at < length) {
    if (length - at < 17) return "Huffman table cut short";
    const unsigned table_class = segment[at] >> 4;
    const unsigned table_id = segment[at] & 15;
    if (table_class > 1 || table_id > 3) return "bad Huffman table header";
    std::size_t codes = 0;
    for (std::size_t i = 1; i <= 16; ++i) codes += segment[at + i];
    if (codes > 256) return "Huffman table of more than 256 codes";
    if (length - at - 17 < codes) return "Huffman table cut short";
    at += 17 + codes;
  }
  return {};
}

// The first byte after the entropy-coded data that starts at `at`: the 0xFF of the next marker
// other than a restart marker, or `size`.
std::size_t skip_entropy_coded_data(const unsigned char* bytes, std::size_t size, std::size_t at) {
  for (; at + 1 < size; ++at) {
    if (bytes[at] != 0xFF) continue;
    const unsigned next = bytes[at + 1];
    if (next != 0x00 && next != 0xFF && !is_restart(next)) return at;
  }
  return size;
}

}  // namespace

std::string png_structure_problem(const unsigned char* bytes, std::size_t size) {
  std::size_t at = 8;  // after the signature
  for (;;) {
    if (size - at < 12) return "PNG chunk cut short";
    const std::size_t length = big_endian_u32(bytes + at);
    if (length > size - at - 12) return "PNG chunk runs past the end of the data";
    const bool last = std::memcmp(bytes + at + 4, "IEND", 4) == 0;
    at += 12 + length;
    if (last) return {};
  }
}

std::string jpeg_structure_problem(const unsigned char* bytes, std::size_t size) {
  if (size < 2 || bytes[0] != 0xFF || bytes[1] != 0xD8) return "JPEG without start-of-image marker";
  bool frame = false;
  bool scan = false;
  std::size_t at = 2;
  for (;;) {
    if (at >= size || bytes[at] != 0xFF) return "JPEG marker expected";
    while (at < size && bytes[at] == 0xFF) ++at;  // fill bytes
    if (at >= size) return "JPEG cut short";
    const unsigned marker = bytes[at++];
    if (marker == 0xD9) break;
    if (marker == 0x00 || marker == 0xD8) return "misplaced JPEG marker";
    if (is_restart(marker) || marker == 0x01) continue;
    if (size - at < 2) return "JPEG segment cut short";
    const std::size_t length = std::size_t{bytes[at]} << 8 | bytes[at + 1];
    if (length < 2 || length > size - at) return "JPEG segment runs past the end of the data";
    const unsigned char* body = bytes + at + 2;
    const std::size_t body_length = length - 2;
    if (is_frame_header(marker)) {
      if (frame) return "second JPEG frame header";
      if (body_length < 6) return "JPEG frame header cut short";
      const unsigned height = unsigned{body[1]} << 8 | body[2];
      const unsigned width = unsigned{body[3]} << 8 | body[4];
      const unsigned components = body[5];
      if (width == 0 || height == 0) return "JPEG without pixels";
      if (components == 0 || body_length != 6 + 3 * std::size_t{components}) return "bad JPEG frame header";
      frame = true;
    } else if (marker == 0xC4) {
      if (std::string problem = huffman_tables_problem(body, body_length); !problem.empty()) return problem;
    }
    at += length;
    if (marker == 0xDA) {
      if (!frame) return "JPEG scan before its frame header";
      scan = true;
      at = skip_entropy_coded_data(bytes, size, at);
    }
  }
  if (!frame || !scan) return "JPEG without image data";
  return {};
}

ImageCheck check_image(const unsigned char* bytes, std::size_t size) {
  if (has_signature(bytes, size, "\x89PNG\r\n\x1a\n", 8)) return check_png(bytes, size);
  if (has_signature(bytes, size, "\xff\xd8\xff", 3)) {
    std::string problem = jpeg_structure_problem(bytes, size);
    return problem.empty() ? ImageCheck{} : corrupt(std::move(problem));
  }
  return {ImageCheck::Status::NotPngOrJpeg, {}};
}

}  // namespace morvane::io
