// The one error type of the file layer: six cases, each with its fixed display text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/mesh_error.hpp"

namespace morvane::io {

class IoError : public std::runtime_error {
 public:
  enum class Kind { UnsupportedFormat, Io, MeshConstruction, ObjParse, UsdParse, MeshTooLarge };

  Kind kind() const { return kind_; }

  // "unsupported format: {extension}"
  static IoError unsupported_format(std::string_view extension);
  // "I/O error: {description}"
  static IoError io(std::string_view description);
  // An Io error from an operating-system error number: its message and " (os error N)".
  static IoError from_errno(int error_number);
  // "mesh construction failed: {error}"
  static IoError mesh_construction(const MeshError& error);
  // "OBJ parse error: {message}"
  static IoError obj_parse(std::string_view message);
  // "USD parse error: {message}"
  static IoError usd_parse(std::string_view message);
  // "mesh too large: {what} count {count} exceeds limit {limit}"
  static IoError mesh_too_large(std::string_view what, uint64_t count, uint64_t limit);

 private:
  IoError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}

  Kind kind_;
};

// The system's message for an error number followed by " (os error N)".
std::string os_error_text(int error_number);

}  // namespace morvane::io
