// The one way this library includes tinygltf: the same configuration in every translation unit.
// tinygltf only parses the document and loads buffers; it never touches the file system itself
// (our callbacks do) and never decodes images (our loader does, through stb_image).
#pragma once

#define TINYGLTF_NO_FS
#define TINYGLTF_NO_STB_IMAGE
#define TINYGLTF_NO_STB_IMAGE_WRITE

#include <fstream>  // the library's file writers need it even when its file system is compiled out

#include <tiny_gltf.h>
