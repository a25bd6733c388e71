#include "gltf_document.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <iterator>
#include <map>
#include <optional>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "core/memory_guard.hpp"
#include "core/numeric.hpp"
#include "file_reader.hpp"
#include "gltf_error.hpp"
#include "gltf_image.hpp"
#include "gltf_uri.hpp"
#include "io_error.hpp"

namespace morvane::io {

namespace {

using Json = nlohmann::json;

constexpr uint32_t kChunkJson = 0x4E4F534A;  // "JSON"
constexpr uint32_t kChunkBin = 0x004E4942;   // "BIN\0"

// Everything the callbacks need while tinygltf runs.
struct ImportContext {
  std::string folder;                               // canonical, ends in '/'; empty: no file may be read
  std::map<std::string, std::string> file_names;    // a URI as tinygltf decodes it -> as RFC 3986 does
  std::map<std::string, uint64_t> size_limits;      // file name -> most bytes the document can use
  std::map<std::string, std::string> read_errors;   // file name -> why it could not be read
  std::vector<bool> image_done;                     // checked, or skipped as declared in another format
  const tinygltf::Model* model = nullptr;
};

uint32_t read_u32(std::string_view bytes, std::size_t at) {
  uint32_t value = 0;
  for (std::size_t k = 0; k < 4; ++k) value |= uint32_t{static_cast<unsigned char>(bytes[at + k])} << (8 * k);
  return value;
}

void write_u32(std::string& bytes, std::size_t at, uint32_t value) {
  for (std::size_t k = 0; k < 4; ++k) bytes[at + k] = static_cast<char>((value >> (8 * k)) & 0xFF);
}

// ---- GLB container -------------------------------------------------------------------------

struct GlbInput {
  std::string_view container;  // what tinygltf is given
  std::string_view json;
};

// Checks the header and chunk table. tinygltf misjudges a binary chunk that overruns the file
// (it reads past the end) and refuses an empty one; an unknown second chunk must be ignored. So
// only a non-empty binary chunk that fits is passed on; otherwise tinygltf gets a copy cut after
// the JSON chunk.
GlbInput check_glb(std::string_view bytes, std::string& trimmed) {
  if (bytes.size() < 20) fail_gltf("GLB file of {} bytes ends inside its header", bytes.size());
  const uint32_t version = read_u32(bytes, 4);
  if (version != 2) fail_gltf("unsupported GLB version {}", version);
  const uint32_t length = read_u32(bytes, 8);
  if (length > bytes.size()) fail_gltf("GLB header declares {} bytes but the file holds {}", length, bytes.size());
  if (read_u32(bytes, 16) != kChunkJson) fail_gltf("the first GLB chunk is not JSON");
  const uint64_t json_end = 20 + uint64_t{read_u32(bytes, 12)};
  if (json_end > length) fail_gltf("the GLB JSON chunk runs past the declared length {}", length);
  const std::string_view json = bytes.substr(20, json_end - 20);

  bool keep_binary = false;
  if (const uint64_t rest = length - json_end; rest > 0) {
    if (rest < 8) fail_gltf("GLB chunk header cut short after the JSON chunk");
    const uint32_t chunk_length = read_u32(bytes, json_end);
    if (json_end + 8 + chunk_length > length) {
      fail_gltf("the GLB chunk after the JSON chunk runs past the declared length {}", length);
    }
    keep_binary = chunk_length > 0 && read_u32(bytes, json_end + 4) == kChunkBin;
  }
  if (keep_binary) return {bytes.substr(0, length), json};
  trimmed.assign(bytes.substr(0, json_end));
  write_u32(trimmed, 8, static_cast<uint32_t>(json_end));
  return {trimmed, std::string_view(trimmed).substr(20)};
}

// tinygltf turns nested `extras` and `extensions` into values recursively: deep nesting would
// overflow the stack.
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

// ---- Checks of the document before tinygltf reads it ----------------------------------------

void note_file(const std::string& what, const std::string& uri, uint64_t size_limit, ImportContext& context) {
  const std::optional<std::string> name = percent_decode(uri);
  if (!name) fail_gltf("{}: malformed percent-encoding in URI", what);
  if (name->find('\0') != std::string::npos) fail_gltf("{}: URI holds a NUL byte after percent-decoding", what);
  context.file_names.emplace(tinygltf_decoding(uri), *name);
  uint64_t& limit = context.size_limits[*name];
  limit = std::max(limit, size_limit);
}

void check_data_payload(const std::string& what, std::string_view payload, std::optional<uint64_t>& size) {
  if (payload.size() > kMaxDataUriPayload) fail_gltf("{}: data URI longer than 2 GiB", what);
  size = base64_decoded_size(payload);
  if (!size) fail_gltf("{}: data URI holds invalid base64", what);
}

// Returns the buffer's declared byteLength (0 when it has none).
uint64_t check_buffer(std::size_t index, const Json& buffer, ImportContext& context) {
  const std::string what = fmt::format("buffer {}", index);
  std::optional<uint64_t> byte_length;
  if (const auto it = buffer.find("byteLength"); it != buffer.end() && it->is_number_unsigned()) {
    byte_length = it->get<uint64_t>();
    if (*byte_length == 0) fail_gltf("{}: byteLength must be at least 1", what);
  }
  const auto it = buffer.find("uri");
  if (it == buffer.end() || !it->is_string()) return byte_length.value_or(0);
  const std::string& uri = it->get_ref<const std::string&>();
  if (uri.starts_with("data:")) {
    const std::optional<std::string_view> payload = base64_payload(uri);
    if (!payload) fail_gltf("{}: unsupported data URI (only base64 data is read)", what);
    std::optional<uint64_t> size;
    check_data_payload(what, *payload, size);
    if (byte_length && *size != *byte_length) {
      fail_gltf("{}: data URI holds {} bytes but byteLength is {}", what, *size, *byte_length);
    }
    return *size;
  }
  note_file(what, uri, byte_length.value_or(0), context);
  return byte_length.value_or(0);
}

void check_image_entry(std::size_t index, const Json& image, ImportContext& context) {
  const std::string what = fmt::format("image {}", index);
  const auto it = image.find("uri");
  if (it == image.end() || !it->is_string()) return;
  const std::string& uri = it->get_ref<const std::string&>();
  if (uri.starts_with("data:")) {
    if (const std::optional<std::string_view> payload = base64_payload(uri)) {
      std::optional<uint64_t> size;
      check_data_payload(what, *payload, size);
      return;
    }
    const std::string_view media = std::string_view(uri).substr(5, uri.find_first_of(";,") - 5);
    if (media.starts_with("image/") && media != "image/png" && media != "image/jpeg") {
      context.image_done[index] = true;  // a format this reader does not decode; its pixels are never used
      return;
    }
    fail_gltf("{}: unsupported data URI", what);
  }
  note_file(what, uri, static_cast<uint64_t>(INT_MAX), context);  // tinygltf passes image sizes as int
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

void check_document(std::string_view text, ImportContext& context) {
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
      if ((*it)[i].is_object()) declared = saturating_add(declared, check_buffer(i, (*it)[i], context));
    }
    try {
      require_memory(declared, "the buffers");
    } catch (const std::bad_alloc&) {
      fail_gltf("buffers declare {} bytes, more than this machine's memory", declared);
    }
  }
  if (const auto it = document.find("images"); it != document.end() && it->is_array()) {
    context.image_done.assign(it->size(), false);
    for (std::size_t i = 0; i < it->size(); ++i) {
      if ((*it)[i].is_object()) check_image_entry(i, (*it)[i], context);
    }
  }
}

std::string canonical_folder(const std::string& base_dir) {
  if (base_dir.empty() || base_dir.find('\0') != std::string::npos) return {};
  char* resolved = realpath(base_dir.c_str(), nullptr);
  if (!resolved) return {};
  std::string folder(resolved);
  std::free(resolved);
  if (folder.back() != '/') folder += '/';
  return folder;
}

// ---- Callbacks -----------------------------------------------------------------------------

std::string read_named_file(const ImportContext& context, const std::string& name, std::vector<unsigned char>& out) {
  const std::string joined = context.folder + name;
  char* resolved = realpath(joined.c_str(), nullptr);
  if (!resolved) return os_error_text(errno);
  const std::string canonical(resolved);
  std::free(resolved);
  if (!canonical.starts_with(context.folder)) return "the file lies outside the asset's folder";
  struct stat info {};
  if (stat(canonical.c_str(), &info) != 0) return os_error_text(errno);
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  const auto limit = context.size_limits.find(name);
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  if (limit == context.size_limits.end() || size > limit->second) {
    return fmt::format("the file holds {} bytes, more than the document can use", size);
  }
  std::vector<char> bytes;
  const FileReadStatus status = try_read_file(canonical, bytes);
  switch (status.stage) {
    case FileReadStatus::Stage::Ok:
      out.assign(bytes.begin(), bytes.end());
      return {};
    case FileReadStatus::Stage::NotRegularFile:
      if (status.error_number == 0) return "not a regular file";
      break;
    case FileReadStatus::Stage::InvalidPath:
      return "file name contained an unexpected NUL byte";
    default:
      break;
  }
  return os_error_text(status.error_number);
}

bool file_exists(const std::string& path, void* user) {
  const auto& context = *static_cast<const ImportContext*>(user);
  // tinygltf also tries the working directory ("./name"); that candidate never matches.
  return !context.folder.empty() && path.starts_with(context.folder);
}

std::string expand_file_path(const std::string& path, void*) { return path; }

bool read_whole_file(std::vector<unsigned char>* out, std::string* err, const std::string& path, void* user) {
  auto& context = *static_cast<ImportContext*>(user);
  std::string why;
  if (context.folder.empty() || !path.starts_with(context.folder)) {
    why = "outside the asset's folder";
  } else if (const auto named = context.file_names.find(path.substr(context.folder.size()));
             named == context.file_names.end()) {
    why = "not a file the document names";
  } else {
    why = read_named_file(context, named->second, *out);
    if (!why.empty()) context.read_errors.emplace(named->second, why);
  }
  if (why.empty()) return true;
  if (err) *err = why;
  return false;
}

bool write_whole_file(std::string* err, const std::string&, const std::vector<unsigned char>&, void*) {
  if (err) *err = "writing is not supported";
  return false;
}

enum class DeclaredFormat { None, PngOrJpeg, Other };

// What an image claims to be: its media type, or for a file its extension.
DeclaredFormat declared_format(const tinygltf::Image& image) {
  if (!image.mimeType.empty()) {
    return image.mimeType == "image/png" || image.mimeType == "image/jpeg" ? DeclaredFormat::PngOrJpeg
                                                                           : DeclaredFormat::Other;
  }
  const std::size_t slash = image.uri.rfind('/');
  const std::size_t dot = image.uri.rfind('.');
  if (image.uri.empty() || dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
    return DeclaredFormat::None;
  }
  std::string extension = image.uri.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (extension.empty()) return DeclaredFormat::None;
  return extension == "png" || extension == "jpg" || extension == "jpeg" ? DeclaredFormat::PngOrJpeg
                                                                         : DeclaredFormat::Other;
}

bool load_image(tinygltf::Image* image, const int index, std::string* err, std::string*, int, int,
                const unsigned char* bytes, int size, void* user) {
  auto& context = *static_cast<ImportContext*>(user);
  auto refuse = [&](std::string_view why) {
    if (err) fmt::format_to(std::back_inserter(*err), "image {}: {}", index, why);
    return false;
  };
  const unsigned char* data = bytes;
  std::size_t length = size < 0 ? 0 : static_cast<std::size_t>(size);
  if (image->bufferView >= 0) {
    // tinygltf computes the pointer without a range check: take the view from the model instead.
    const tinygltf::Model& model = *context.model;
    if (static_cast<std::size_t>(image->bufferView) >= model.bufferViews.size()) return refuse("missing bufferView");
    const tinygltf::BufferView& view = model.bufferViews[static_cast<std::size_t>(image->bufferView)];
    if (view.buffer < 0 || static_cast<std::size_t>(view.buffer) >= model.buffers.size()) {
      return refuse("bufferView refers to a missing buffer");
    }
    const std::vector<unsigned char>& buffer = model.buffers[static_cast<std::size_t>(view.buffer)].data;
    if (view.byteOffset > buffer.size() || view.byteLength > buffer.size() - view.byteOffset) {
      return refuse(fmt::format("bufferView {} lies outside its buffer", image->bufferView));
    }
    data = buffer.data() + view.byteOffset;
    length = view.byteLength;
  } else if (size < 0) {
    return refuse("image data larger than 2 GiB");
  }

  const ImageCheck check = check_image(data, length);
  switch (check.status) {
    case ImageCheck::Status::Valid:
      break;
    case ImageCheck::Status::Corrupt:
      return refuse(fmt::format("cannot be decoded: {}", check.reason));
    case ImageCheck::Status::NotPngOrJpeg:
      if (declared_format(*image) != DeclaredFormat::Other) return refuse("not a PNG or JPEG image");
      break;  // declared in a format this reader does not decode; its pixels are never used
  }
  if (index >= 0 && static_cast<std::size_t>(index) < context.image_done.size()) {
    context.image_done[static_cast<std::size_t>(index)] = true;
  }
  return true;
}

// Every image must have been checked: tinygltf only warns about an image file it cannot read.
void check_images_loaded(const tinygltf::Model& model, const ImportContext& context) {
  for (std::size_t i = 0; i < model.images.size(); ++i) {
    if (i < context.image_done.size() && context.image_done[i]) continue;
    const std::string& uri = model.images[i].uri;
    const std::optional<std::string> name = percent_decode(uri);
    if (!name) fail_gltf("image {} could not be loaded", i);
    const auto error = context.read_errors.find(*name);
    fail_gltf("image {} cannot read '{}': {}", i, *name,
              error != context.read_errors.end() ? error->second : "file not found");
  }
}

// tinygltf's error text, on one line.
std::string library_message(const std::string& err) {
  std::string text = err;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  std::string out;
  for (const char c : text) {
    if (c == '\n') {
      out += "; ";
    } else {
      out += c;
    }
  }
  return out.empty() ? "invalid document" : out;
}

}  // namespace

tinygltf::Model import_gltf_document(std::string_view bytes, const std::string& base_dir) {
  const bool binary = bytes.starts_with("glTF");
  std::string trimmed;
  std::string_view container = bytes;
  std::string_view json = bytes;
  if (binary) {
    const GlbInput glb = check_glb(bytes, trimmed);
    container = glb.container;
    json = glb.json;
  } else if (bytes.size() > UINT32_MAX) {
    fail_gltf("document larger than 4 GiB");
  }
  check_json_depth(json);

  ImportContext context;
  check_document(json, context);
  context.folder = canonical_folder(base_dir);

  tinygltf::Model model;
  context.model = &model;
  tinygltf::TinyGLTF loader;
  loader.SetFsCallbacks({&file_exists, &expand_file_path, &read_whole_file, &write_whole_file, &context});
  loader.SetImageLoader(&load_image, &context);
  std::string err;
  std::string warn;
  bool loaded = false;
  try {
    const auto size = static_cast<unsigned int>(container.size());
    loaded = binary ? loader.LoadBinaryFromMemory(&model, &err, &warn,
                                                  reinterpret_cast<const unsigned char*>(container.data()), size,
                                                  context.folder, tinygltf::REQUIRE_VERSION)
                    : loader.LoadASCIIFromString(&model, &err, &warn, container.data(), size, context.folder,
                                                 tinygltf::REQUIRE_VERSION);
  } catch (const std::bad_alloc&) {
    fail_gltf("not enough memory to import the document");
  } catch (const std::exception& e) {
    fail_gltf("{}", e.what());
  }
  if (!loaded) fail_gltf("{}", library_message(err));
  check_images_loaded(model, context);
  return model;
}

}  // namespace morvane::io
