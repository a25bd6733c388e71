// Readability check of the PNG and JPEG images a glTF document carries. The pixels are never kept:
// the reader only proves that the images it imports are sound. A PNG's chunks are checked, its
// header read and its image data inflated (through stb_image) into a buffer of exactly the size
// the header implies, and every scanline's filter type checked. A JPEG is checked by its marker
// structure alone: the JPEG decoder of stb_image 2.27 writes past its Huffman tables on crafted files.
#pragma once

#include <cstddef>
#include <string>

namespace morvane::io {

struct ImageCheck {
  enum class Status { Valid, NotPngOrJpeg, Corrupt };
  Status status = Status::Valid;
  std::string reason;  // why a Corrupt image failed
};

// PNG images of more pixels than this are checked by their header only, since inflating them
// needs a buffer of the declared size before it is known whether the data is there.
inline constexpr std::size_t kMaxDecodedImagePixels = std::size_t{1} << 24;

// Recognises PNG and JPEG by their signatures and checks them.
ImageCheck check_image(const unsigned char* bytes, std::size_t size);

// Why a PNG's chunk structure is unsound, or empty text: every chunk up to IEND must lie inside
// the data (stb_image sizes its buffer by a chunk's declared length before reading the chunk).
std::string png_structure_problem(const unsigned char* bytes, std::size_t size);

// Why a JPEG's marker structure is unsound, or empty text: it must start with SOI, hold a frame
// header with non-zero dimensions, Huffman tables of at most 256 codes each, at least one scan,
// and end with EOI, every segment inside the data.
std::string jpeg_structure_problem(const unsigned char* bytes, std::size_t size);

}  // namespace morvane::io
