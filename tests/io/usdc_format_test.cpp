// The crate container's shared pieces: byte cursor, LZ4 chunk framing and integer compression.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <numeric>
#include <string>

#include "io/io_error.hpp"
#include "io/usdc_format.hpp"

namespace morvane::io {
namespace {

std::string parse_error_of(auto&& action) {
  try {
    action();
  } catch (const IoError& e) {
    EXPECT_EQ(e.kind(), IoError::Kind::UsdParse);
    return e.what();
  }
  return "no error";
}

// The compressed integer array that compress_ints appends, its u64 size field skipped.
std::vector<uint8_t> compressed_content(const std::vector<int32_t>& values) {
  std::vector<uint8_t> out;
  compress_ints(out, values);
  const std::span<const uint8_t> blob(out.data() + 8, out.size() - 8);
  return decompress_lz4_blob(blob, 4 + (values.size() + 3) / 4 + 4 * values.size());
}

int32_t common_value(const std::vector<uint8_t>& content) { return static_cast<int32_t>(load_u32(content.data())); }

std::vector<int32_t> round_trip(const std::vector<int32_t>& values) {
  std::vector<uint8_t> file;
  compress_ints(file, values);
  ByteCursor cursor(file, 0);
  std::vector<int32_t> decoded = read_compressed_ints(cursor, values.size());
  EXPECT_EQ(cursor.position(), file.size());
  return decoded;
}

// A compressed integer array whose framed blob holds `content` as one LZ4 block.
std::vector<uint8_t> ints_with_content(const std::vector<uint8_t>& content) {
  std::vector<uint8_t> out;
  const std::vector<uint8_t> blob = compress_lz4_framed(content);
  append_u64(out, blob.size());
  out.insert(out.end(), blob.begin(), blob.end());
  return out;
}

TEST(UsdcByteCursor, ReadsUpToTheEndOfTheFileAndNoFurther) {
  const std::vector<uint8_t> file = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  ByteCursor seven_left(file, 2);
  EXPECT_EQ(parse_error_of([&] { seven_left.read_u64(); }), "USD parse error: unexpected end of file");
  EXPECT_EQ(seven_left.position(), 2u);
  ByteCursor eight_left(file, 1);
  EXPECT_EQ(eight_left.read_u64(), 0x0908070605040302u);
  EXPECT_EQ(eight_left.position(), 9u);

  ByteCursor cursor(file, 4);
  EXPECT_EQ(cursor.read_bytes(5).size(), 5u);
  EXPECT_EQ(cursor.read_bytes(0).size(), 0u);
  EXPECT_EQ(parse_error_of([&] { cursor.read_bytes(1); }), "USD parse error: unexpected end of file");
  ByteCursor overflowing(file, 3);
  EXPECT_EQ(parse_error_of([&] { overflowing.read_bytes(UINT64_MAX); }), "USD parse error: unexpected end of file");
  ByteCursor beyond(file, UINT64_MAX - 2);
  EXPECT_EQ(parse_error_of([&] { beyond.read_u64(); }), "USD parse error: unexpected end of file");
}

TEST(UsdcLz4Framing, DecodesAFixedBlockFromAnotherEncoder) {
  // One block of liblz4 1.9.4: "abc" ten times.
  const std::vector<uint8_t> blob = {0x00, 0x3f, 0x61, 0x62, 0x63, 0x03, 0x00,
                                     0x03, 0x50, 0x62, 0x63, 0x61, 0x62, 0x63};
  std::string expected;
  for (int i = 0; i < 10; ++i) expected += "abc";
  const std::vector<uint8_t> content = decompress_lz4_blob(blob, 30);
  EXPECT_EQ(std::string(content.begin(), content.end()), expected);
  // Fewer bytes than expected is left for the caller to judge.
  EXPECT_EQ(decompress_lz4_blob(blob, 1000).size(), 30u);
  EXPECT_EQ(parse_error_of([&] { decompress_lz4_blob(blob, 29); }).rfind("USD parse error: lz4: ", 0), 0u);
}

TEST(UsdcLz4Framing, EmptyContent) {
  EXPECT_TRUE(decompress_lz4_blob({}, 100).empty());
  const std::vector<uint8_t> empty_blob = compress_lz4_framed({});
  ASSERT_GE(empty_blob.size(), 2u) << "the chunk count and liblz4's one-byte empty block";
  EXPECT_EQ(empty_blob[0], 0);
  EXPECT_TRUE(decompress_lz4_blob(empty_blob, 0).empty());
}

TEST(UsdcLz4Framing, ContentLongerThanOneBlockIsWrittenAsChunks) {
  std::vector<uint8_t> content(10000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>((i * 7919) >> 5);
  const std::vector<uint8_t> blob = compress_lz4_framed(content, 3000);
  ASSERT_EQ(blob[0], 4) << "four chunks of at most 3000 bytes";
  // Every chunk's size field describes a nonempty block inside the blob.
  std::size_t p = 1;
  for (int chunk = 0; chunk < 4; ++chunk) {
    const uint32_t size = load_u32(blob.data() + p);
    EXPECT_GT(size, 0u);
    p += 4 + size;
  }
  EXPECT_EQ(p, blob.size());
  EXPECT_EQ(decompress_lz4_blob(blob, content.size()), content);
  // Content that fits one block keeps the single-block form.
  EXPECT_EQ(compress_lz4_framed(content, content.size())[0], 0);
}

TEST(UsdcLz4Framing, RefusesCutChunks) {
  const std::vector<uint8_t> content(5000, 42);
  const std::vector<uint8_t> blob = compress_lz4_framed(content, 2000);
  ASSERT_EQ(blob[0], 3);
  const uint32_t first = load_u32(blob.data() + 1);
  // The second chunk's size field cut by the end of the blob.
  const std::vector<uint8_t> size_cut(blob.begin(), blob.begin() + 1 + 4 + first + 2);
  EXPECT_EQ(parse_error_of([&] { decompress_lz4_blob(size_cut, 5000); }), "USD parse error: unexpected end of file");
  // The first chunk's bytes cut.
  const std::vector<uint8_t> bytes_cut(blob.begin(), blob.begin() + 1 + 4 + first - 1);
  EXPECT_EQ(parse_error_of([&] { decompress_lz4_blob(bytes_cut, 5000); }), "USD parse error: lz4 chunk out of bounds");
  // More output than expected fails in whichever chunk overflows.
  EXPECT_EQ(parse_error_of([&] { decompress_lz4_blob(blob, 4999); }).rfind("USD parse error: lz4: ", 0), 0u);
}

TEST(UsdcLz4Framing, AnImpossibleExpectedSizeAllocatesOnlyWhatTheBlockCanHold) {
  const std::vector<uint8_t> content(3000, 7);
  const std::vector<uint8_t> blob = compress_lz4_framed(content);
  // A claim of 2^60 bytes must not be allocated: the block can produce at most 255 bytes per byte.
  EXPECT_EQ(decompress_lz4_blob(blob, uint64_t{1} << 60), content);
  EXPECT_EQ(decompress_lz4_blob(blob, UINT64_MAX), content);
}

TEST(UsdcCompressedInts, ChoosesTheCommonDeltaAsSpecified) {
  // Values 3, 3, 3: deltas 3, 0, 0; common 0; codes 1, 0, 0; payload one byte 3.
  std::vector<uint8_t> c = compressed_content({3, 3, 3});
  EXPECT_EQ(common_value(c), 0);
  ASSERT_EQ(c.size(), 6u);
  EXPECT_EQ(c[4], 0x01);
  EXPECT_EQ(c[5], 0x03);

  // Deltas 5, 5, -5, -5: a tie goes to the smallest delta.
  c = compressed_content({5, 10, 5, 0});
  EXPECT_EQ(common_value(c), -5);
  EXPECT_EQ(c[4], 0x05) << "codes 1, 1, 0, 0";

  // -512 is in the counting window, 512 is not: the window wins a tie.
  EXPECT_EQ(common_value(compressed_content({-512, -1024, -1536, -1024, -512, 0})), -512);
  EXPECT_EQ(common_value(compressed_content({600, 1200, 1201, 1202})), 1);
  EXPECT_EQ(common_value(compressed_content({512, 1024, 1536})), 512);

  // Equally frequent deltas outside the window: the smallest wins, on every run.
  EXPECT_EQ(common_value(compressed_content({1000, 2000, 4000, 6000, 5000, 3000, 2000, 1000})), -1000);
  EXPECT_EQ(common_value(compressed_content({-70000, -140000, 0, 70000})), -70000);

  // No values: a content of the common value 0 alone.
  c = compressed_content({});
  EXPECT_EQ(c, std::vector<uint8_t>(4, 0));
}

TEST(UsdcCompressedInts, UsesTheNarrowestPayloadForEachDelta) {
  const std::vector<int32_t> values = {0, 127, -1, 32766, -2, INT32_MAX, INT32_MIN, INT32_MIN};
  const std::vector<uint8_t> c = compressed_content(values);
  // Deltas: 0 (common), 127 (i8), -128 (i8), 32767 (i16), -32768 (i16), 2147483649 wraps (i32),
  // 1 (i8), 0 (common).
  EXPECT_EQ(common_value(c), 0);
  EXPECT_EQ(c[4], 0b10010100);  // codes 0, 1, 1, 2
  EXPECT_EQ(c[5], 0b00011110);  // codes 2, 3, 1, 0
  EXPECT_EQ(c.size(), 4 + 2 + 1 + 1 + 2 + 2 + 4 + 1u);
  EXPECT_EQ(round_trip(values), values);
}

TEST(UsdcCompressedInts, RoundTripsWrapAroundAndLongLists) {
  EXPECT_EQ(round_trip({INT32_MAX, INT32_MIN}), (std::vector<int32_t>{INT32_MAX, INT32_MIN}));
  std::vector<int32_t> values(100000);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int32_t>((i * 2654435761u) % 100003) - 50000;
  EXPECT_EQ(round_trip(values), values);
  std::iota(values.begin(), values.end(), -7);
  EXPECT_EQ(round_trip(values), values);
}

TEST(UsdcCompressedInts, ZeroValuesSkipTheBlobUndecoded) {
  std::vector<uint8_t> file;
  append_u64(file, 5);
  file.insert(file.end(), {0xFF, 0xFF, 0xFF, 0xFF, 0xFF});  // not a valid blob
  append_u64(file, 77);
  ByteCursor cursor(file, 0);
  EXPECT_TRUE(read_compressed_ints(cursor, 0).empty());
  EXPECT_EQ(cursor.read_u64(), 77u);
}

TEST(UsdcCompressedInts, RefusesSizesAndContentThatDoNotFit) {
  std::vector<uint8_t> file;
  append_u64(file, 1000);
  file.resize(100);
  ByteCursor too_big(file, 0);
  EXPECT_EQ(parse_error_of([&] { read_compressed_ints(too_big, 3); }),
            "USD parse error: compressed blob size out of bounds");
  std::vector<uint8_t> short_file;
  append_u64(short_file, 45);
  short_file.resize(50);
  ByteCursor cut(short_file, 0);
  EXPECT_EQ(parse_error_of([&] { read_compressed_ints(cut, 3); }), "USD parse error: unexpected end of file");

  // 9 values need 4 + 3 bytes before any payload.
  const std::vector<uint8_t> six = ints_with_content({0, 0, 0, 0, 0, 0});
  ByteCursor truncated(six, 0);
  EXPECT_EQ(parse_error_of([&] { read_compressed_ints(truncated, 9); }), "USD parse error: compressed ints truncated");
  // An empty blob decodes to nothing at all.
  std::vector<uint8_t> empty;
  append_u64(empty, 0);
  ByteCursor nothing(empty, 0);
  EXPECT_EQ(parse_error_of([&] { read_compressed_ints(nothing, 1); }), "USD parse error: compressed ints truncated");

  // Code 2 for the second value with only one payload byte left.
  const std::vector<uint8_t> payload_cut = ints_with_content({0, 0, 0, 0, 0b1001, 5, 6});
  ByteCursor in_payload(payload_cut, 0);
  EXPECT_EQ(parse_error_of([&] { read_compressed_ints(in_payload, 2); }), "USD parse error: int payload truncated");
}

TEST(UsdcCompressedInts, AHugeCountIsRefusedBeforeItsValuesAreAllocated) {
  // Claims 2^40 values; the few bytes present cannot hold even their codes.
  const std::vector<uint8_t> small = ints_with_content(std::vector<uint8_t>(64, 0));
  ByteCursor cursor(small, 0);
  EXPECT_EQ(parse_error_of([&] { read_compressed_ints(cursor, uint64_t{1} << 40); }),
            "USD parse error: compressed ints truncated");
}

}  // namespace
}  // namespace morvane::io
