// The glTF import around tinygltf: container choice by content, external and embedded resources
// (read only as regular files inside the asset's folder), images, and the refusal of broken or
// hostile files with a "glTF: " error instead of a crash.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "common/memory_guard.hpp"
#include "core/run_context.hpp"
#include "gltf_test_builder.hpp"
#include "io/gltf_image.hpp"
#include "io/gltf_io.hpp"
#include "io/io_error.hpp"
#include "temp_dir.hpp"

namespace morvane::io {
namespace {

using test::GltfBuilder;
using test::Json;
using test::TempDir;
using test::write_text;

// A 2x2 RGB PNG and a 2x2 JPEG, as written by stb_image_write.
const unsigned char kPng[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00,
    0x02, 0x00, 0x00, 0x00, 0x02, 0x08, 0x02, 0x00, 0x00, 0x00, 0xfd, 0xd4, 0x9a, 0x73, 0x00, 0x00, 0x00, 0x13, 0x49,
    0x44, 0x41, 0x54, 0x78, 0x5e, 0x63, 0xf8, 0xcf, 0xc0, 0x00, 0xc4, 0x8c, 0x40, 0xe2, 0xff, 0x7f, 0x06, 0x00, 0x1e,
    0xf6, 0x04, 0xfd, 0x5c, 0xfc, 0xde, 0xce, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

std::string png() { return std::string(reinterpret_cast<const char*>(kPng), sizeof kPng); }

// A minimal baseline JPEG skeleton: SOI, a frame header, one Huffman table, a scan, EOI.
std::string jpeg(std::size_t huffman_codes) {
  std::string j = "\xff\xd8";
  j += std::string("\xff\xc0\x00\x0b\x08\x00\x02\x00\x02\x01\x01\x11\x00", 13);  // 2x2, one component
  const std::size_t table = 17 + huffman_codes;
  j += "\xff\xc4";
  j += static_cast<char>((table + 2) >> 8);
  j += static_cast<char>((table + 2) & 0xFF);
  j += '\0';  // class 0, id 0
  std::string counts(16, '\0');
  for (std::size_t left = huffman_codes, i = 0; left > 0; ++i) {
    const std::size_t here = std::min<std::size_t>(left, 255);
    counts[i] = static_cast<char>(here);
    left -= here;
  }
  j += counts + std::string(huffman_codes, '\0');
  j += std::string("\xff\xda\x00\x08\x01\x01\x00\x00\x3f\x00", 10);
  j += std::string("\x12\x34\xff\x00\x56", 5);  // entropy-coded data with a stuffed byte
  return j + "\xff\xd9";
}

std::string import_error(std::string_view bytes, const std::string& folder = "") {
  try {
    read_gltf_bytes(bytes, folder);
  } catch (const IoError& e) {
    EXPECT_EQ(e.kind(), IoError::Kind::ObjParse) << e.what();
    return e.what();
  }
  return "no error";
}

std::string path_error(const std::string& path) {
  try {
    read_gltf(path);
  } catch (const IoError& e) {
    EXPECT_EQ(e.kind(), IoError::Kind::ObjParse) << e.what();
    return e.what();
  }
  return "no error";
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ---- Containers ---------------------------------------------------------------------------

TEST(GltfImportContainer, ContentDecidesNotTheExtension) {
  TempDir dir;
  const GltfBuilder b = test::one_triangle();
  write_text(dir.file("binary.gltf"), b.glb());
  write_text(dir.file("text.glb"), b.gltf_with_data_uri());
  EXPECT_EQ(read_gltf(dir.file("binary.gltf")).triangles.size(), 1u);
  EXPECT_EQ(read_gltf(dir.file("text.glb")).triangles.size(), 1u);
}

TEST(GltfImportContainer, EmptyOrUnknownSecondChunkIsIgnored) {
  TempDir dir;
  GltfBuilder b = test::one_triangle();
  write_text(dir.file("mesh.bin"), b.padded_bin());
  const std::string json = b.gltf_with_file("mesh.bin");
  EXPECT_EQ(read_gltf_bytes(test::make_glb(json, std::string()), dir.path()).triangles.size(), 1u);
  std::string unknown = test::make_glb(json, std::string("abcd"));
  unknown.replace(unknown.size() - 8, 4, "XTRA");
  EXPECT_EQ(read_gltf_bytes(unknown, dir.path()).triangles.size(), 1u);
}

TEST(GltfImportContainer, EveryTruncationOfAGlbIsAParseError) {
  const std::string glb = test::one_triangle().glb();
  for (std::size_t length = 0; length < glb.size(); ++length) {
    SCOPED_TRACE(length);
    EXPECT_TRUE(contains(import_error(std::string_view(glb).substr(0, length)), "OBJ parse error: "));
  }
}

TEST(GltfImportContainer, BinaryChunkOverrunningTheFileIsRefused) {
  // tinygltf alone reads up to 8 bytes past the end here.
  std::string glb = test::one_triangle().glb();
  const std::size_t bin_header = 20 + static_cast<unsigned char>(glb[12]) + 256 * static_cast<unsigned char>(glb[13]);
  glb[bin_header] = static_cast<char>(glb[bin_header] + 8);
  EXPECT_EQ(import_error(glb),
            "OBJ parse error: glTF: the GLB chunk after the JSON chunk runs past the declared length " +
                std::to_string(glb.size()));
}

TEST(GltfImportContainer, VersionsAndLengthAreChecked) {
  std::string glb = test::one_triangle().glb();
  std::string version_one = glb;
  version_one[4] = 1;
  EXPECT_EQ(import_error(version_one), "OBJ parse error: glTF: unsupported GLB version 1");
  std::string too_long = glb;
  too_long[8] = static_cast<char>(too_long[8] + 4);
  EXPECT_TRUE(contains(import_error(too_long), "bytes but the file holds"));
  GltfBuilder b = test::one_triangle();
  b.doc["asset"]["version"] = "1.0";
  EXPECT_EQ(import_error(b.glb()), "OBJ parse error: glTF: unsupported glTF version 1.0");
}

// ---- Document checks ----------------------------------------------------------------------

TEST(GltfImportDocument, DeepNestingIsRefusedBeforeParsing) {
  GltfBuilder b = test::one_triangle();
  auto nested = [](int depth) {
    return std::string(static_cast<std::size_t>(depth), '[') + std::string(static_cast<std::size_t>(depth), ']');
  };
  std::string text = b.gltf_with_data_uri();
  text.insert(1, R"("extras":)" + nested(126) + ",");  // 127 levels with the root object
  EXPECT_EQ(read_gltf_bytes(text, "").triangles.size(), 1u);
  text = b.gltf_with_data_uri();
  text.insert(1, R"("extras":)" + nested(128) + ",");
  EXPECT_EQ(import_error(text), "OBJ parse error: glTF: JSON nesting deeper than 128 levels");
  text = b.gltf_with_data_uri();
  text.insert(1, R"("extras":)" + nested(100000) + ",");
  EXPECT_EQ(import_error(text), "OBJ parse error: glTF: JSON nesting deeper than 128 levels");
  // Brackets inside strings do not count.
  text = b.gltf_with_data_uri();
  text.insert(1, R"("extras":")" + std::string(500, '[') + R"(\"{",)");
  EXPECT_EQ(read_gltf_bytes(text, "").triangles.size(), 1u);
}

TEST(GltfImportDocument, RequiredExtensionsAreRefused) {
  GltfBuilder b = test::one_triangle();
  b.doc["extensionsRequired"] = {"KHR_draco_mesh_compression", "EXT_meshopt_compression"};
  EXPECT_EQ(import_error(b.glb()),
            "OBJ parse error: glTF: unsupported required extensions: KHR_draco_mesh_compression, "
            "EXT_meshopt_compression");
  b.doc["extensionsRequired"] = Json::array();
  b.doc["extensionsUsed"] = {"KHR_materials_unlit"};
  EXPECT_EQ(read_gltf_bytes(b.glb(), "").triangles.size(), 1u);
}

TEST(GltfImportDocument, ZeroLengthBufferIsRefused) {
  // tinygltf would throw std::out_of_range copying it out of a non-empty binary chunk.
  GltfBuilder b = test::one_triangle();
  Json doc = b.doc;
  doc["buffers"] = {{{"byteLength", 0}}, {{"byteLength", b.padded_bin().size()}}};
  EXPECT_EQ(import_error(test::make_glb(doc.dump(), b.padded_bin())),
            "OBJ parse error: glTF: buffer 0: byteLength must be at least 1");
}

// Lengths beyond what a glTF integer can state are the file's fault; lengths within it that this
// machine cannot hold are a memory failure that says how much was asked for.
TEST(GltfImportDocument, BuffersBeyondThisMachinesMemoryAreRefusedBeforeReading) {
  GltfBuilder b = test::one_triangle();
  Json doc = Json::parse(b.gltf_with_file("mesh.bin"));
  doc["buffers"].push_back({{"byteLength", uint64_t{1} << 53}, {"uri", "mesh.bin"}});
  EXPECT_EQ(import_error(doc.dump()),
            "OBJ parse error: glTF: buffer 1: byteLength 9007199254740992 exceeds the largest integer of glTF, "
            "9007199254740991");
  doc["buffers"][1]["byteLength"] = uint64_t{1} << 52;
  const std::string declared = std::to_string((uint64_t{1} << 52) + b.padded_bin().size());
  try {
    read_gltf_bytes(doc.dump(), "");
    ADD_FAILURE() << "no error";
  } catch (const OutOfMemory& e) {
    const std::string text = e.what();
    EXPECT_TRUE(text.starts_with("could not allocate 4.0 PiB (" + declared + " bytes) for the glTF buffers;")) << text;
  }
}

// ---- Data URIs ----------------------------------------------------------------------------

TEST(GltfImportDataUri, BufferInJsonAndInsideAGlb) {
  GltfBuilder b = test::one_triangle();
  EXPECT_EQ(read_gltf_bytes(b.gltf_with_data_uri(), "").positions.size(), 3u);
  const Json doc = Json::parse(b.gltf_with_data_uri());
  EXPECT_EQ(read_gltf_bytes(test::make_glb(doc.dump(), std::nullopt), "").positions.size(), 3u);
}

TEST(GltfImportDataUri, InvalidBase64IsRefused) {
  GltfBuilder b = test::one_triangle();
  Json doc = Json::parse(b.gltf_with_data_uri());
  std::string uri = doc["buffers"][0]["uri"];
  // tinygltf stops silently at a stray character; here the result would even have the right size.
  doc["buffers"][0]["uri"] = uri.insert(uri.size() - 4, "!") + "AAAA";
  EXPECT_EQ(import_error(doc.dump()), "OBJ parse error: glTF: buffer 0: data URI holds invalid base64");
  doc["buffers"][0]["uri"] = "data:application/octet-stream;base64,QUJD";
  EXPECT_EQ(import_error(doc.dump()), "OBJ parse error: glTF: buffer 0: data URI holds 3 bytes but byteLength is " +
                                          std::to_string(b.padded_bin().size()));
  doc["buffers"][0]["uri"] = "data:application/octet-stream,raw";
  EXPECT_TRUE(contains(import_error(doc.dump()), "buffer 0: unsupported data URI"));
}

// The reader decodes data URIs itself, before any JSON parser sees them; what the file says must
// come out as the library would have read it: across the decoder's pieces, with escaped slashes,
// for images by their declared type, and with JSON syntax errors at their place in the text.
TEST(GltfImportDataUri, DecodedAsTheLibraryWouldReadThem) {
  GltfBuilder b;
  std::vector<std::array<float, 3>> points;
  for (int i = 0; i < 30000; ++i) points.push_back({static_cast<float>(i), 0.5f * static_cast<float>(i % 7), -1.0f});
  std::vector<uint32_t> corners;
  for (uint32_t i = 0; i + 2 < points.size(); i += 3) corners.insert(corners.end(), {i, i + 2, i + 1});
  b.primitive(0, {{"POSITION", b.vec3(points)}}, b.scalars(corners, 5125));
  const MeshData mesh = read_gltf_bytes(b.gltf_with_data_uri(), "");  // more than one piece of base64
  ASSERT_EQ(mesh.positions.size(), points.size());
  EXPECT_EQ(mesh.positions[29999], (Vec3{29999.0, 2.0, -1.0}));
  EXPECT_EQ(mesh.triangles[9999], (Tri{29997, 29999, 29998}));

  std::string escaped = b.gltf_with_data_uri();
  for (std::size_t at = escaped.find('/'); at != std::string::npos; at = escaped.find('/', at + 2)) {
    escaped.insert(at, "\\");
  }
  EXPECT_EQ(read_gltf_bytes(escaped, "").positions, mesh.positions);

  GltfBuilder t = test::one_triangle();
  t.doc["images"] = {{{"uri", "data:image/bmp;base64," + test::base64("not a bitmap")}}};
  EXPECT_EQ(read_gltf_bytes(t.gltf_with_data_uri(), "").triangles.size(), 1u);
  t.doc["images"] = {{{"uri", "data:image/png;base64," + test::base64("not a PNG")}}};
  EXPECT_EQ(import_error(t.gltf_with_data_uri()), "OBJ parse error: glTF: image 0: not a PNG or JPEG image");

  const std::string broken = b.gltf_with_data_uri() + ",";
  try {
    const Json parsed = Json::parse(broken);
    FAIL() << parsed.size();
  } catch (const Json::exception& e) {
    EXPECT_EQ(import_error(broken), std::string("OBJ parse error: glTF: ") + e.what());
  }
}

// Ctrl-C reaches the import wherever the document keeps its buffer.
TEST(GltfImportDataUri, StopRequestEndsTheImport) {
  const GltfBuilder b = test::one_triangle();
  RunContext context;
  RunScope scope(&context);
  context.request_stop();
  EXPECT_THROW(read_gltf_bytes(b.gltf_with_data_uri(), ""), Interrupted);
  EXPECT_THROW(read_gltf_bytes(b.glb(), ""), Interrupted);
}

// ---- External files -----------------------------------------------------------------------

TEST(GltfImportFiles, BufferBesideTheDocumentWithEscapedAndPlusNames) {
  TempDir dir;
  GltfBuilder b = test::one_triangle();
  write_text(dir.file("mesh data+1.bin"), b.padded_bin());
  write_text(dir.file("a.gltf"), b.gltf_with_file("mesh%20data+1.bin"));
  EXPECT_EQ(read_gltf(dir.file("a.gltf")).triangles.size(), 1u);
  write_text(dir.file("b.glb"), test::make_glb(b.gltf_with_file("mesh data+1.bin"), std::nullopt));
  EXPECT_EQ(read_gltf(dir.file("b.glb")).triangles.size(), 1u);
}

TEST(GltfImportFiles, FilesOutsideTheAssetsFolderAreNotRead) {
  TempDir dir;
  GltfBuilder b = test::one_triangle();
  std::filesystem::create_directory(dir.file("asset"));
  write_text(dir.file("outside.bin"), b.padded_bin());
  symlink(dir.file("outside.bin").c_str(), dir.file("asset/link.bin").c_str());
  for (const std::string& uri : {std::string("../outside.bin"), std::string("link.bin"), dir.file("outside.bin")}) {
    SCOPED_TRACE(uri);
    write_text(dir.file("asset/a.gltf"), b.gltf_with_file(uri));
    EXPECT_TRUE(contains(path_error(dir.file("asset/a.gltf")), "OBJ parse error: glTF: File read error"));
  }
}

TEST(GltfImportFiles, TheWorkingDirectoryIsNeverSearched) {
  TempDir cwd;
  TempDir asset;
  GltfBuilder b = test::one_triangle();
  write_text(cwd.file("only_here.bin"), b.padded_bin());
  const std::string previous = std::filesystem::current_path();
  ASSERT_EQ(chdir(cwd.path().c_str()), 0);
  const std::string with_folder = import_error(b.gltf_with_file("only_here.bin"), asset.path());
  const std::string without_folder = import_error(b.gltf_with_file("only_here.bin"), "");
  ASSERT_EQ(chdir(previous.c_str()), 0);
  EXPECT_TRUE(contains(with_folder, "No such file or directory")) << with_folder;
  EXPECT_EQ(without_folder, "OBJ parse error: glTF: File not found : only_here.bin");
}

TEST(GltfImportFiles, NulByteAfterPercentDecodingIsRefused) {
  TempDir dir;
  GltfBuilder b = test::one_triangle();
  write_text(dir.file("a"), b.padded_bin());
  EXPECT_EQ(import_error(b.gltf_with_file("a%00.bin"), dir.path()),
            "OBJ parse error: glTF: buffer 0: URI holds a NUL byte after percent-decoding");
  EXPECT_EQ(import_error(b.gltf_with_file("a%zz.bin"), dir.path()),
            "OBJ parse error: glTF: buffer 0: malformed percent-encoding in URI");
}

TEST(GltfImportFiles, OnlyRegularFilesOfTheDeclaredSizeAreRead) {
  TempDir dir;
  GltfBuilder b = test::one_triangle();
  std::filesystem::create_directory(dir.file("folder.bin"));
  ASSERT_EQ(mkfifo(dir.file("pipe.bin").c_str(), 0600), 0);  // opening it would block
  write_text(dir.file("big.bin"), b.padded_bin() + "more");
  write_text(dir.file("small.bin"), b.padded_bin().substr(4));
  EXPECT_TRUE(contains(import_error(b.gltf_with_file("folder.bin"), dir.path()), "not a regular file"));
  EXPECT_TRUE(contains(import_error(b.gltf_with_file("pipe.bin"), dir.path()), "not a regular file"));
  EXPECT_TRUE(contains(import_error(b.gltf_with_file("big.bin"), dir.path()), "more than the document can use"));
  EXPECT_TRUE(contains(import_error(b.gltf_with_file("small.bin"), dir.path()), "File size mismatch"));
}

TEST(GltfImportFiles, UnreadableDocumentIsAGltfParseError) {
  TempDir dir;
  EXPECT_EQ(path_error(dir.file("missing.glb")), "OBJ parse error: glTF: No such file or directory (os error 2)");
  EXPECT_EQ(path_error(dir.file(std::string("a\0b.glb", 7))),
            "OBJ parse error: glTF: file name contained an unexpected NUL byte");
}

// ---- Images -------------------------------------------------------------------------------

TEST(GltfImportImages, EmbeddedAndExternalImagesAreChecked) {
  TempDir dir;
  GltfBuilder b = test::one_triangle();
  const int png_view = b.view(png());
  b.doc["images"] = {{{"bufferView", png_view}, {"mimeType", "image/png"}},
                     {{"uri", "data:image/jpeg;base64," + test::base64(jpeg(3))}},
                     {{"uri", "tex%20one.png"}}};
  write_text(dir.file("tex one.png"), png());
  EXPECT_EQ(read_gltf_bytes(b.glb(), dir.path()).triangles.size(), 1u);
  EXPECT_EQ(import_error(b.glb(), ""), "OBJ parse error: glTF: image 2 cannot read 'tex one.png': file not found");
  write_text(dir.file("tex one.png"), png().substr(0, 40));
  EXPECT_TRUE(contains(import_error(b.glb(), dir.path()), "glTF: image 2: cannot be decoded"));
}

TEST(GltfImportImages, ImagesInFormatsNotDecodedAreSkippedOnlyWhenDeclared) {
  GltfBuilder b = test::one_triangle();
  const int view = b.view("RIFF....WEBPVP8 ");
  b.doc["images"] = {{{"bufferView", view}, {"mimeType", "image/webp"}}};
  EXPECT_EQ(read_gltf_bytes(b.glb(), "").triangles.size(), 1u);
  b.doc["images"] = {{{"bufferView", view}, {"mimeType", "image/png"}}};
  EXPECT_EQ(import_error(b.glb()), "OBJ parse error: glTF: image 0: not a PNG or JPEG image");
}

TEST(GltfImportImages, ImageViewOutsideItsBufferIsRefused) {
  // tinygltf hands the loader a pointer past the buffer here.
  GltfBuilder b = test::one_triangle();
  b.doc["bufferViews"].push_back({{"buffer", 0}, {"byteOffset", 40}, {"byteLength", 4000}});
  b.doc["images"] = {{{"bufferView", b.doc["bufferViews"].size() - 1}, {"mimeType", "image/png"}}};
  EXPECT_EQ(import_error(b.glb()), "OBJ parse error: glTF: image 0: bufferView 2 lies outside its buffer");
}

TEST(GltfImportImages, JpegHuffmanTablesOfMoreThan256CodesAreRefused) {
  // stb_image 2.27 writes past its tables decoding such a file.
  const std::string good = jpeg(12);
  const std::string bad = jpeg(300);
  EXPECT_EQ(jpeg_structure_problem(reinterpret_cast<const unsigned char*>(good.data()), good.size()), "");
  EXPECT_EQ(jpeg_structure_problem(reinterpret_cast<const unsigned char*>(bad.data()), bad.size()),
            "Huffman table of more than 256 codes");
  for (std::size_t length = 0; length < good.size(); ++length) {
    SCOPED_TRACE(length);
    EXPECT_NE(jpeg_structure_problem(reinterpret_cast<const unsigned char*>(good.data()), length), "");
  }
  const std::string regression = test::read_text(
      (std::filesystem::path(__FILE__).parent_path() / "../../fuzz/corpus/gltf/regress_jpeg_huffman_overrun.glb")
          .string());
  ASSERT_FALSE(regression.empty());
  EXPECT_TRUE(contains(import_error(regression), "glTF: image 1: cannot be decoded"));
}

TEST(GltfImportImages, PngChunksMustLieInsideTheData) {
  // stb_image would allocate the declared IDAT length before finding the data missing.
  std::string huge = png();
  huge.replace(33, 4, "\x7f\xff\xff\xff");  // the IDAT chunk's length
  auto problem = [](const std::string& bytes, std::size_t length) {
    return png_structure_problem(reinterpret_cast<const unsigned char*>(bytes.data()), length);
  };
  EXPECT_EQ(problem(png(), png().size()), "");
  EXPECT_EQ(problem(huge, huge.size()), "PNG chunk runs past the end of the data");
  for (std::size_t length = 8; length < png().size(); ++length) EXPECT_NE(problem(png(), length), "") << length;
}

// ---- Accessors the merge cannot use -------------------------------------------------------

TEST(GltfImportAccessors, BufferTooShortForThePositionsIsRefused) {
  GltfBuilder b = test::one_triangle();
  b.doc["accessors"][0]["count"] = 4;
  EXPECT_EQ(import_error(b.glb()),
            "OBJ parse error: glTF: mesh 0, primitive 0: POSITION accessor 0 needs 48 bytes of bufferView 0, "
            "which holds 36");
  b = test::one_triangle();
  b.doc["bufferViews"][0]["byteLength"] = 400;
  EXPECT_TRUE(contains(import_error(b.glb()), "POSITION accessor 0: bufferView 0 (offset 0, length 400) lies outside"));
  b = test::one_triangle();
  b.doc["accessors"][0]["byteOffset"] = uint64_t{1} << 62;  // would wrap in 64 bits with the count
  EXPECT_TRUE(contains(import_error(b.glb()), "POSITION accessor 0 needs"));
}

// tinygltf would take each of these as absent, that is 0, and read other bytes than the file means.
TEST(GltfImportAccessors, OffsetsAndStridesThatAreNoCountsAreRefused) {
  const auto with = [](const char* array, const char* field, const Json& value) {
    GltfBuilder b = test::one_triangle();
    b.doc[array][0][field] = value;
    return import_error(b.glb());
  };
  EXPECT_EQ(with("bufferViews", "byteStride", -12), "OBJ parse error: glTF: bufferView 0: byteStride -12 is not a "
                                                    "non-negative integer");
  EXPECT_EQ(with("bufferViews", "byteStride", 12.5), "OBJ parse error: glTF: bufferView 0: byteStride 12.5 is not a "
                                                     "non-negative integer");
  EXPECT_EQ(with("bufferViews", "byteOffset", -4), "OBJ parse error: glTF: bufferView 0: byteOffset -4 is not a "
                                                   "non-negative integer");
  EXPECT_EQ(with("accessors", "byteOffset", "0"), "OBJ parse error: glTF: accessor 0: byteOffset \"0\" is not a "
                                                  "non-negative integer");
  EXPECT_EQ(with("bufferViews", "byteStride", 12), "no error");
}

TEST(GltfImportAccessors, WrongComponentTypesAreRefused) {
  GltfBuilder b = test::one_triangle();
  b.doc["accessors"][0]["componentType"] = 5123;
  EXPECT_EQ(import_error(b.glb()),
            "OBJ parse error: glTF: mesh 0, primitive 0: POSITION accessor 0 holds VEC3 of component type 5123; "
            "POSITION needs VEC3 of float");
  b = test::one_triangle();
  b.doc["accessors"][1]["componentType"] = 5126;
  EXPECT_TRUE(contains(import_error(b.glb()), "indices accessor 1 holds SCALAR of component type 5126"));
}

TEST(GltfImportAccessors, IndexValuesBeyondThePrimitivesVerticesAreRefused) {
  GltfBuilder b;
  const int positions = b.vec3({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
  b.primitive(0, {{"POSITION", positions}}, b.indices({0, 1, 2}));
  b.primitive(0, {{"POSITION", positions}}, b.indices({0, 1, 3}));  // 3 would reach into the first primitive's
  EXPECT_EQ(import_error(b.glb()),
            "OBJ parse error: glTF: mesh 0, primitive 1: index 3 is out of range for 3 vertices");
}

TEST(GltfImportAccessors, UnreadableIndicesAreRefusedNotDropped) {
  GltfBuilder b = test::one_triangle();
  b.doc["accessors"][1]["count"] = 30;
  EXPECT_EQ(import_error(b.glb()),
            "OBJ parse error: glTF: mesh 0, primitive 0: indices accessor 1 needs 60 bytes of bufferView 1, "
            "which holds 6");
}

TEST(GltfImportAccessors, PositionsWithoutBufferViewAreRefused) {
  GltfBuilder b = test::one_triangle();
  b.doc["accessors"][0].erase("bufferView");
  b.doc["accessors"][0]["count"] = 100000000;
  EXPECT_EQ(import_error(b.glb()), "OBJ parse error: glTF: mesh 0, primitive 0: POSITION accessor 0 has no bufferView");
}

// ---- The fuzzing seeds --------------------------------------------------------------------

TEST(GltfImportCorpus, SeedsLoadAndRegressionInputsFailCleanly) {
  TempDir scratch;  // what the fuzzing harness provides beside its inputs
  write_text(scratch.file("tex.png"), png());
  write_text(scratch.file("a.bin"), test::one_triangle().padded_bin());
  const auto corpus = std::filesystem::path(__FILE__).parent_path() / "../../fuzz/corpus/gltf";
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    SCOPED_TRACE(entry.path().string());
    const std::string bytes = test::read_text(entry.path());
    if (entry.path().filename().string().starts_with("regress_")) {
      EXPECT_TRUE(contains(import_error(bytes, scratch.path()), "OBJ parse error: glTF: "));
    } else {
      EXPECT_GT(read_gltf_bytes(bytes, scratch.path()).triangles.size(), 0u);
      ++seeds;
    }
  }
  EXPECT_GE(seeds, 6);
}

}  // namespace
}  // namespace morvane::io
