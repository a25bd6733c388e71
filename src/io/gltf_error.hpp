// How the glTF reader fails: IoError's OBJ parse case, with a text that starts "glTF: ".
#pragma once

#include <fmt/format.h>

#include <iterator>
#include <string>
#include <utility>

#include "io_error.hpp"

namespace morvane::io {

template <class... Args>
[[noreturn]] void fail_gltf(fmt::format_string<Args...> format, Args&&... args) {
  std::string text = "glTF: ";
  fmt::format_to(std::back_inserter(text), format, std::forward<Args>(args)...);
  throw IoError::obj_parse(text);
}

}  // namespace morvane::io
