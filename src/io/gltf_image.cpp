#include "gltf_image.hpp"

#include <climits>
#include <cstring>

// stb_image is compiled here with internal linkage and for PNG alone.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_MAX_DIMENSIONS (1 << 16)
#include <stb_image.h>

namespace morvane::io {

namespace {

bool has_signature(const unsigned char* bytes, std::size_t size, const char* signature, std::size_t length) {
  return size >= length && std::memcmp(bytes, signature, length) == 0;
}

ImageCheck corrupt(std::string reason) { return {ImageCheck::Status::Corrupt, std::move(reason)}; }

ImageCheck check_png(const unsigned char* bytes, std::size_t size) {
  if (size > static_cast<std::size_t>(INT_MAX)) return corrupt("PNG data larger than 2 GiB");
  const int length = static_cast<int>(size);
  int width = 0, height = 0, channels = 0;
  if (!stbi_info_from_memory(bytes, length, &width, &height, &channels)) return corrupt(stbi_failure_reason());
  if (static_cast<std::size_t>(width) * static_cast<std::size_t>(height) > kMaxDecodedImagePixels) return {};
  stbi_uc* pixels = stbi_load_from_memory(bytes, length, &width, &height, &channels, 0);
  if (!pixels) return corrupt(stbi_failure_reason());
  stbi_image_free(pixels);
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
