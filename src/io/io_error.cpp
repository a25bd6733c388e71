#include "io_error.hpp"

#include <cstring>

#include "core/text_format.hpp"

namespace morvane::io {

namespace {

std::string join(std::string_view prefix, std::string_view payload) {
  std::string text(prefix);
  text += payload;
  return text;
}

// strerror_r comes in a GNU flavour (returns the text, maybe static) and an XSI one (fills the buffer).
[[maybe_unused]] const char* strerror_result(char* returned, const char*) { return returned; }
[[maybe_unused]] const char* strerror_result(int status, const char* buffer) {
  return status == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string os_error_text(int error_number) {
  char buf[256] = {};
  std::string text = strerror_result(strerror_r(error_number, buf, sizeof buf), buf);
  text += " (os error ";
  text += std::to_string(error_number);
  text += ')';
  return text;
}

IoError IoError::unsupported_format(std::string_view extension) {
  return IoError(Kind::UnsupportedFormat, join("unsupported format: ", extension));
}

IoError IoError::io(std::string_view description) { return IoError(Kind::Io, join("I/O error: ", description)); }

IoError IoError::from_errno(int error_number) { return io(os_error_text(error_number)); }

IoError IoError::mesh_construction(const MeshError& error) {
  return IoError(Kind::MeshConstruction, join("mesh construction failed: ", mesh_error_display(error)));
}

IoError IoError::obj_parse(std::string_view message) {
  return IoError(Kind::ObjParse, join("OBJ parse error: ", message));
}

IoError IoError::usd_parse(std::string_view message) {
  return IoError(Kind::UsdParse, join("USD parse error: ", message));
}

IoError IoError::mesh_too_large(std::string_view what, uint64_t count, uint64_t limit) {
  std::string text = "mesh too large: ";
  text += what;
  text += " count ";
  append_decimal(text, count);
  text += " exceeds limit ";
  append_decimal(text, limit);
  return IoError(Kind::MeshTooLarge, text);
}

}  // namespace morvane::io
