#include "gltf_document.hpp"

#include <cstdint>
#include <exception>
#include <new>

#include "core/run_context.hpp"
#include "gltf_callbacks.hpp"
#include "gltf_container.hpp"
#include "gltf_data_uris.hpp"
#include "gltf_error.hpp"
#include "gltf_json_checks.hpp"
#include "io_error.hpp"

namespace morvane::io {

namespace {

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

  ImportContext context;
  if (!binary) {
    context.inlined = inline_data_uris(json);
    if (!context.inlined.files.empty()) container = json = context.inlined.json;
  }
  try {
    context.resources = check_document(json, context.inlined);
  } catch (const IoError&) {
    // Failures read as those of the text as written: a JSON syntax error gives its position there.
    if (!context.inlined.files.empty()) check_document(bytes);
    throw;
  }
  context.folder = canonical_folder(base_dir);

  tinygltf::Model model;
  context.model = &model;
  tinygltf::TinyGLTF loader;
  set_callbacks(loader, context);
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
  } catch (const Interrupted&) {
    throw;  // from the callbacks
  } catch (const std::bad_alloc&) {
    throw;  // a memory failure, not the file's
  } catch (const std::exception& e) {
    fail_gltf("{}", e.what());
  }
  if (!loaded) fail_gltf("{}", library_message(err));
  check_images_loaded(model, context);
  return model;
}

}  // namespace morvane::io
