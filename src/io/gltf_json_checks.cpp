#include "gltf_json_checks.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <climits>
#include <initializer_list>
#include <optional>

#include "common/memory_guard.hpp"
#include "common/numeric.hpp"
#include "gltf_error.hpp"
#include "gltf_uri.hpp"

namespace morvane::io {

namespace {

using Json = nlohmann::json;

void note_file(const std::string& what, const std::string& uri, uint64_t size_limit, DocumentResources& resources) {
  const std::optional<std::string> name = percent_decode(uri);
  if (!name) fail_gltf("{}: malformed percent-encoding in URI", what);
  if (name->find('\0') != std::string::npos) fail_gltf("{}: URI holds a NUL byte after percent-decoding", what);
  resources.file_names.emplace(tinygltf_decoding(uri), *name);
  uint64_t& limit = resources.size_limits[*name];
  limit = std::max(limit, size_limit);
}

// The length of the bytes a data URI's base64 text decodes to.
uint64_t decoded_size(const std::string& what, std::string_view payload) {
  if (payload.size() > kMaxDataUriPayload) fail_gltf("{}: data URI longer than 2 GiB", what);
  const std::optional<uint64_t> size = base64_decoded_size(payload);
  if (!size) fail_gltf("{}: data URI holds invalid base64", what);
  return *size;
}

// The decoded size of an inlined data URI; none for any other URI.
std::optional<uint64_t> inlined_size(const std::string& uri, const InlinedData& inlined) {
  const auto file = inlined.files.find(uri);
  if (file == inlined.files.end()) return std::nullopt;
  return file->second.size();
}

// Returns the buffer's declared byteLength (0 when it has none).
uint64_t check_buffer(std::size_t index, const Json& buffer, const InlinedData& inlined,
                      DocumentResources& resources) {
  const std::string what = fmt::format("buffer {}", index);
  std::optional<uint64_t> byte_length;
  if (const auto it = buffer.find("byteLength"); it != buffer.end() && it->is_number_unsigned()) {
    byte_length = it->get<uint64_t>();
    if (*byte_length == 0) fail_gltf("{}: byteLength must be at least 1", what);
    if (*byte_length > kMaxGltfInteger) {
      fail_gltf("{}: byteLength {} exceeds the largest integer of glTF, {}", what, *byte_length, kMaxGltfInteger);
    }
  }
  const auto it = buffer.find("uri");
  if (it == buffer.end() || !it->is_string()) return byte_length.value_or(0);
  const std::string& uri = it->get_ref<const std::string&>();
  std::optional<uint64_t> data_size = inlined_size(uri, inlined);
  if (!data_size && uri.starts_with("data:")) {
    const std::optional<std::string_view> payload = base64_payload(uri);
    if (!payload) fail_gltf("{}: unsupported data URI (only base64 data is read)", what);
    data_size = decoded_size(what, *payload);
  }
  if (data_size) {
    const uint64_t size = *data_size;
    if (byte_length && size != *byte_length) {
      fail_gltf("{}: data URI holds {} bytes but byteLength is {}", what, size, *byte_length);
    }
    return size;
  }
  note_file(what, uri, byte_length.value_or(0), resources);
  return byte_length.value_or(0);
}

void check_image_entry(std::size_t index, const Json& image, const InlinedData& inlined,
                       DocumentResources& resources) {
  const std::string what = fmt::format("image {}", index);
  const auto it = image.find("uri");
  if (it == image.end() || !it->is_string()) return;
  const std::string& uri = it->get_ref<const std::string&>();
  if (inlined_size(uri, inlined)) return;
  if (uri.starts_with("data:")) {
    if (const std::optional<std::string_view> payload = base64_payload(uri)) {
      decoded_size(what, *payload);
      return;
    }
    const std::string_view media = std::string_view(uri).substr(5, uri.find_first_of(";,") - 5);
    if (media.starts_with("image/") && media != "image/png" && media != "image/jpeg") {
      resources.image_done[index] = true;  // a format this reader does not decode; its pixels are never used
      return;
    }
    fail_gltf("{}: unsupported data URI", what);
  }
  note_file(what, uri, static_cast<uint64_t>(INT_MAX), resources);  // tinygltf passes image sizes as int
}

// tinygltf reads an offset or stride that is not a non-negative integer as if it were absent (0),
// which would read the wrong bytes in silence.
void check_unsigned_fields(const Json& document, const char* array, const char* entry_name,
                           std::initializer_list<const char*> names) {
  const auto it = document.find(array);
  if (it == document.end() || !it->is_array()) return;
  for (std::size_t i = 0; i < it->size(); ++i) {
    const Json& entry = (*it)[i];
    if (!entry.is_object()) continue;
    for (const char* name : names) {
      const auto field = entry.find(name);
      if (field != entry.end() && !field->is_number_unsigned()) {
        fail_gltf("{} {}: {} {} is not a non-negative integer", entry_name, i, name, field->dump());
      }
    }
  }
}

void check_json_depth(std::string_view text) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxGltfJsonDepth) fail_gltf("JSON nesting deeper than {} levels", kMaxGltfJsonDepth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
}

}  // namespace

DocumentResources check_document(std::string_view text, const InlinedData& inlined) {
  check_json_depth(text);
  DocumentResources resources;
  Json document;
  try {
    document = Json::parse(text);
  } catch (const Json::exception& e) {
    fail_gltf("{}", e.what());
  }
  if (!document.is_object()) fail_gltf("the root element is not a JSON object");
  if (const auto asset = document.find("asset"); asset != document.end() && asset->is_object()) {
    const auto version = asset->find("version");
    if (version != asset->end() && version->is_string() && !version->get_ref<const std::string&>().starts_with("2.")) {
      fail_gltf("unsupported glTF version {}", version->get_ref<const std::string&>());
    }
  }

  if (const auto it = document.find("extensionsRequired"); it != document.end() && it->is_array() && !it->empty()) {
    std::string names;
    for (const Json& name : *it) {
      if (!names.empty()) names += ", ";
      names += name.is_string() ? name.get<std::string>() : "(not a name)";
    }
    fail_gltf("unsupported required extensions: {}", names);
  }
  check_unsigned_fields(document, "bufferViews", "bufferView", {"byteOffset", "byteStride"});
  check_unsigned_fields(document, "accessors", "accessor", {"byteOffset"});
  if (const auto it = document.find("buffers"); it != document.end() && it->is_array()) {
    // tinygltf allocates every buffer at its declared length, even buffers that share a file.
    uint64_t declared = 0;
    for (std::size_t i = 0; i < it->size(); ++i) {
      if ((*it)[i].is_object()) declared = saturating_add(declared, check_buffer(i, (*it)[i], inlined, resources));
    }
    require_memory(declared, "the glTF buffers");
  }
  if (const auto it = document.find("images"); it != document.end() && it->is_array()) {
    resources.image_done.assign(it->size(), false);
    for (std::size_t i = 0; i < it->size(); ++i) {
      if ((*it)[i].is_object()) check_image_entry(i, (*it)[i], inlined, resources);
    }
  }
  return resources;
}

}  // namespace morvane::io
