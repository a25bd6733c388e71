// Import of a glTF 2.0 document through tinygltf, with the checks the library does not make: the
// container is told by content and checked (gltf_container), data URIs are decoded before any JSON
// parser sees them (gltf_data_uris), the JSON is checked before the library reads it
// (gltf_json_checks), and files and images are read through our own callbacks (gltf_callbacks).
#pragma once

#include <string>
#include <string_view>

#include "gltf_tinygltf.hpp"

namespace morvane::io {

// Imports a JSON glTF or a GLB container (first four bytes "glTF") with all its buffers and
// images. Relative URIs resolve inside `base_dir`; with an empty `base_dir` no file is read.
// Every failure of the file throws IoError (ObjParse) with a text starting "glTF: "; memory that
// cannot be had throws std::bad_alloc.
tinygltf::Model import_gltf_document(std::string_view bytes, const std::string& base_dir);

}  // namespace morvane::io
