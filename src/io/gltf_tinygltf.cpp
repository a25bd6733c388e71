// The compiled body of tinygltf, in the configuration of gltf_tinygltf.hpp.
#define TINYGLTF_IMPLEMENTATION
#include "gltf_tinygltf.hpp"
