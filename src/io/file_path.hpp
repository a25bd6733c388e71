// Checks and splits of file paths shared by the readers and writers.
#pragma once

#include <string>
#include <string_view>

namespace morvane::io {

// Throws IoError (Io, "file name contained an unexpected NUL byte") for a path holding a NUL byte.
void check_path(std::string_view path);

// The folder that holds the file a path names: "." for a bare name, "/" for a name at the root.
std::string directory_of(const std::string& path);

}  // namespace morvane::io
