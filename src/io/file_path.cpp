#include "file_path.hpp"

#include "io_error.hpp"

namespace morvane::io {

void check_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) throw IoError::io("file name contained an unexpected NUL byte");
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace morvane::io
