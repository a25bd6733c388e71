#include "io_error.hpp"

#include <fmt/format.h>

#include <cstring>

namespace morvane::io {

namespace {

// strerror_r comes in a GNU flavour (returns the text, maybe static) and an XSI one (fills the buffer).
[[maybe_unused]] const char* strerror_result(char* returned, const char*) { return returned; }
[[maybe_unused]] const char* strerror_result(int status, const char* buffer) {
  return status == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string os_error_text(int error_number) {
  char buf[256] = {};
  return fmt::format("{} (os error {})", strerror_result(strerror_r(error_number, buf, sizeof buf), buf),
                     error_number);
}

IoError IoError::unsupported_format(std::string_view extension) {
  return IoError(Kind::UnsupportedFormat, fmt::format("unsupported format: {}", extension));
}

IoError IoError::io(std::string_view description) {
  return IoError(Kind::Io, fmt::format("I/O error: {}", description));
}

IoError IoError::from_errno(int error_number) { return io(os_error_text(error_number)); }

IoError IoError::mesh_construction(const MeshError& error) {
  return IoError(Kind::MeshConstruction, fmt::format("mesh construction failed: {}", mesh_error_display(error)));
}

IoError IoError::obj_parse(std::string_view message) {
  return IoError(Kind::ObjParse, fmt::format("OBJ parse error: {}", message));
}

IoError IoError::usd_parse(std::string_view message) {
  return IoError(Kind::UsdParse, fmt::format("USD parse error: {}", message));
}

IoError IoError::mesh_too_large(std::string_view what, uint64_t count, uint64_t limit) {
  return IoError(Kind::MeshTooLarge, fmt::format("mesh too large: {} count {} exceeds limit {}", what, count, limit));
}

}  // namespace morvane::io
