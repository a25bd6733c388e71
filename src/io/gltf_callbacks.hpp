// The callbacks through which tinygltf reads a document's external files and images: files only
// as regular files inside the asset's folder that the document names (never the working
// directory) or as the decoded data URIs that replaced its own, images through check_image
// instead of a decoder.
#pragma once

#include <map>
#include <string>

#include "gltf_data_uris.hpp"
#include "gltf_json_checks.hpp"
#include "gltf_tinygltf.hpp"

namespace morvane::io {

// Everything the callbacks need while tinygltf runs.
struct ImportContext {
  std::string folder;                              // canonical, ends in '/'; empty: no file may be read
  InlinedData inlined;                             // served from memory, whatever the folder
  DocumentResources resources;
  std::map<std::string, std::string> read_errors;  // file name -> why it could not be read
  const tinygltf::Model* model = nullptr;
};

// `base_dir` resolved and ending in '/'; empty when it is empty or cannot be resolved.
std::string canonical_folder(const std::string& base_dir);

// Makes `loader` read files and images through these callbacks, which use `context`.
void set_callbacks(tinygltf::TinyGLTF& loader, ImportContext& context);

// Every image must have been checked (fail_gltf otherwise): tinygltf only warns about an image
// file it cannot read.
void check_images_loaded(const tinygltf::Model& model, const ImportContext& context);

}  // namespace morvane::io
