// Whole-file and piecewise reading with POSIX calls, for the readers that parse a file from memory.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace morvane::io {

// open(2), retried while a signal interrupts it.
int open_retrying(const char* path, int flags, mode_t mode = 0);

// Why a file could not be read, for readers that report failures with their own texts.
struct FileReadStatus {
  enum class Stage { Ok, InvalidPath, Open, NotRegularFile, Read };
  Stage stage = Stage::Ok;
  int error_number = 0;  // errno of a failed Open or Read; EISDIR for a directory
};

// A regular file opened for reading; a FIFO or device is refused rather than waited for. Never
// throws except std::bad_alloc.
class FileInput {
 public:
  explicit FileInput(const std::string& path);
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;
  ~FileInput();

  // Ok while the file is open and every read so far succeeded.
  const FileReadStatus& status() const { return status_; }
  // The size the file had when opened: only a hint, since it may change while it is read.
  std::size_t size_hint() const { return size_hint_; }

  // Reads up to `size` bytes; returns how many, 0 at the end of the file or after a failure.
  std::size_t read(char* data, std::size_t size);

 private:
  int fd_ = -1;
  std::size_t size_hint_ = 0;
  FileReadStatus status_;
};

// Reads a whole regular file into `bytes`, looking for a stop request between reads; never throws
// except std::bad_alloc and Interrupted.
FileReadStatus try_read_file(const std::string& path, std::vector<char>& bytes);
FileReadStatus try_read_file(const std::string& path, std::vector<unsigned char>& bytes);

// Why a file could not be read, in the words of an Io error's description.
std::string read_failure_text(const FileReadStatus& status);

// Reads a whole regular file; failures throw IoError (Io).
std::vector<char> read_file(const std::string& path);

}  // namespace morvane::io
