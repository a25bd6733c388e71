// Checks of a glTF document's JSON text made before tinygltf reads it: its nesting, version and
// required extensions, offsets and strides, buffer lengths, strict base64 in data URIs, and the
// external files it names, gathered for the file callbacks.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "gltf_data_uris.hpp"

namespace morvane::io {

inline constexpr int kMaxGltfJsonDepth = 128;
// The largest integer glTF lets a document state (JSON parsers may hold no larger one exactly).
inline constexpr uint64_t kMaxGltfInteger = (uint64_t{1} << 53) - 1;

// What a document's buffers and images refer to, for the callbacks that load them.
struct DocumentResources {
  std::map<std::string, std::string> file_names;  // a URI as tinygltf decodes it -> as RFC 3986 does
  std::map<std::string, uint64_t> size_limits;    // file name -> most bytes the document can use
  std::vector<bool> image_done;                   // checked, or skipped as declared in another format
};

// Parses the document and checks what tinygltf does not; failures fail_gltf. tinygltf turns nested
// `extras` and `extensions` into values recursively, so nesting deeper than kMaxGltfJsonDepth
// fails first, before it could overflow the stack. A URI that names one of `inlined`'s files is
// checked as the data URI it replaced. Buffers whose lengths together exceed the memory available
// throw OutOfMemory before any is read.
DocumentResources check_document(std::string_view text, const InlinedData& inlined = {});

}  // namespace morvane::io
