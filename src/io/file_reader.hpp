// Whole-file reading with POSIX calls, for the readers that parse a file from memory.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace morvane::io {

// Throws IoError (Io, "file name contained an unexpected NUL byte") for a path holding a NUL byte.
void check_path(std::string_view path);

// Why a file could not be read, for readers that report failures with their own texts.
struct FileReadStatus {
  enum class Stage { Ok, InvalidPath, Open, NotRegularFile, Read };
  Stage stage = Stage::Ok;
  int error_number = 0;  // errno of a failed Open or Read; EISDIR for a directory
};

// Reads a whole regular file into `bytes`; never throws except std::bad_alloc.
FileReadStatus try_read_file(const std::string& path, std::vector<char>& bytes);

// Reads a whole regular file; failures throw IoError (Io).
std::vector<char> read_file(const std::string& path);

}  // namespace morvane::io
