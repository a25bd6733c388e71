// libFuzzer harness of the glTF reader. An input is a GLB container or a JSON glTF document read
// from memory; its relative URIs resolve inside a scratch folder that holds one binary buffer
// ("a.bin": a triangle and its 16-bit indices) and one image ("tex.png"), so that external
// resources are exercised too.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/memory_guard.hpp"
#include "io/gltf_io.hpp"
#include "io/io_error.hpp"

namespace {

std::string g_folder;

const unsigned char kTinyPng[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00, 0x00,
    0x02, 0x00, 0x00, 0x00, 0x02, 0x08, 0x02, 0x00, 0x00, 0x00, 0xfd, 0xd4, 0x9a, 0x73, 0x00, 0x00, 0x00, 0x13, 0x49,
    0x44, 0x41, 0x54, 0x78, 0x5e, 0x63, 0xf8, 0xcf, 0xc0, 0x00, 0xc4, 0x8c, 0x40, 0xe2, 0xff, 0x7f, 0x06, 0x00, 0x1e,
    0xf6, 0x04, 0xfd, 0x5c, 0xfc, 0xde, 0xce, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

// Positions (0,0,0), (1,0,0), (0,1,0) as f32, then indices 0, 1, 2 as u16 and two bytes of padding.
const unsigned char kTriangleBin[44] = {0, 0, 0,    0, 0, 0, 0, 0, 0,    0, 0,    0, 0, 0, 0x80, 0x3f, 0, 0, 0, 0,
                                        0, 0, 0,    0, 0, 0, 0, 0, 0, 0x80, 0x3f, 0, 0, 0, 0,    0, 0, 0, 1, 0,
                                        2, 0, 0,    0};

void write_file(const std::string& name, const void* data, std::size_t size) {
  FILE* file = std::fopen((g_folder + "/" + name).c_str(), "wb");
  if (!file) std::abort();
  std::fwrite(data, 1, size, file);
  std::fclose(file);
}

void remove_folder() {
  std::remove((g_folder + "/a.bin").c_str());
  std::remove((g_folder + "/tex.png").c_str());
  rmdir(g_folder.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/gltf_fuzz.XXXXXX";
  if (!mkdtemp(pattern)) std::abort();
  g_folder = pattern;
  write_file("a.bin", kTriangleBin, sizeof kTriangleBin);
  write_file("tex.png", kTinyPng, sizeof kTinyPng);
  std::atexit(remove_folder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  try {
    morvane::io::read_gltf_bytes(std::string_view(reinterpret_cast<const char*>(data), size), g_folder);
  } catch (const morvane::io::IoError&) {
    // A clear refusal is a correct outcome.
  } catch (const morvane::OutOfMemory&) {
    // So is a buffer declared larger than the memory available, refused before it is read.
  }
  return 0;
}
