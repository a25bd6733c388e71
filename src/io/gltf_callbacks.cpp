#include "gltf_callbacks.hpp"

#include <fmt/format.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

#include "core/run_context.hpp"
#include "file_reader.hpp"
#include "gltf_error.hpp"
#include "gltf_image.hpp"
#include "gltf_uri.hpp"
#include "io_error.hpp"

namespace morvane::io {

namespace {

// The path with every link, "." and ".." resolved; none, with errno set, when that fails.
std::optional<std::string> resolved_path(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (!resolved) return std::nullopt;
  std::string text(resolved);
  std::free(resolved);
  return text;
}

std::string read_named_file(const ImportContext& context, const std::string& name, std::vector<unsigned char>& out) {
  const std::optional<std::string> canonical = resolved_path(context.folder + name);
  if (!canonical) return os_error_text(errno);
  if (!canonical->starts_with(context.folder)) return "the file lies outside the asset's folder";
  struct stat info {};
  if (stat(canonical->c_str(), &info) != 0) return os_error_text(errno);
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  const auto limit = context.resources.size_limits.find(name);
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  if (limit == context.resources.size_limits.end() || size > limit->second) {
    return fmt::format("the file holds {} bytes, more than the document can use", size);
  }
  const FileReadStatus status = try_read_file(*canonical, out);
  if (status.stage != FileReadStatus::Stage::Ok) return read_failure_text(status);
  return {};
}

// The decoded data URI that `path` (the folder, then the name that replaced the URI) names.
std::vector<unsigned char>* inlined_file(ImportContext& context, const std::string& path) {
  if (context.inlined.files.empty() || !path.starts_with(context.folder)) return nullptr;
  const auto file = context.inlined.files.find(path.substr(context.folder.size()));
  return file == context.inlined.files.end() ? nullptr : &file->second;
}

bool file_exists(const std::string& path, void* user) {
  auto& context = *static_cast<ImportContext*>(user);
  if (inlined_file(context, path)) return true;
  // tinygltf also tries the working directory ("./name"); that candidate never matches.
  return !context.folder.empty() && path.starts_with(context.folder);
}

std::string expand_file_path(const std::string& path, void*) { return path; }

bool read_whole_file(std::vector<unsigned char>* out, std::string* err, const std::string& path, void* user) {
  auto& context = *static_cast<ImportContext*>(user);
  if (std::vector<unsigned char>* bytes = inlined_file(context, path)) {
    *out = std::move(*bytes);  // each is named once
    return true;
  }
  std::string why;
  if (context.folder.empty() || !path.starts_with(context.folder)) {
    why = "outside the asset's folder";
  } else if (const auto named = context.resources.file_names.find(path.substr(context.folder.size()));
             named == context.resources.file_names.end()) {
    why = "not a file the document names";
  } else {
    why = read_named_file(context, named->second, *out);
    if (!why.empty()) context.read_errors.emplace(named->second, why);
  }
  if (why.empty()) return true;
  if (err) *err = why;
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
  throw_if_stopped();  // a large image takes a while to check
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
  if (index >= 0 && static_cast<std::size_t>(index) < context.resources.image_done.size()) {
    context.resources.image_done[static_cast<std::size_t>(index)] = true;
  }
  return true;
}

}  // namespace

std::string canonical_folder(const std::string& base_dir) {
  if (base_dir.empty() || base_dir.find('\0') != std::string::npos) return {};
  std::string folder = resolved_path(base_dir).value_or(std::string());
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

void set_callbacks(tinygltf::TinyGLTF& loader, ImportContext& context) {
  // No writer: tinygltf writes files only when it saves a document, which this reader never asks.
  loader.SetFsCallbacks({&file_exists, &expand_file_path, &read_whole_file, nullptr, &context});
  loader.SetImageLoader(&load_image, &context);
}

void check_images_loaded(const tinygltf::Model& model, const ImportContext& context) {
  for (std::size_t i = 0; i < model.images.size(); ++i) {
    if (i < context.resources.image_done.size() && context.resources.image_done[i]) continue;
    const std::string& uri = model.images[i].uri;
    const std::optional<std::string> name = percent_decode(uri);
    if (!name) fail_gltf("image {} could not be loaded", i);
    const auto error = context.read_errors.find(*name);
    fail_gltf("image {} cannot read '{}': {}", i, *name,
              error != context.read_errors.end() ? error->second : "file not found");
  }
}

}  // namespace morvane::io
