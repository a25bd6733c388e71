// Buffered output file that replaces its target only once everything has been written.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace morvane::io {

// Writes through an 8192-byte buffer into a new temporary file beside the target and renames it
// over the target on commit, so a failed write leaves the previous file intact and no temporary
// behind. An existing target that the caller may not write is refused, untouched. Symbolic links
// are followed to their final target. A target that exists and is not a regular file (a device, a
// FIFO), or a file in a folder where no temporary can be made, is written in place: what is
// written is held in memory until commit, which truncates a regular file and writes it all, so
// that a stopped or failed writer leaves even such a target as it was (only a failure of that
// final write, a full disk, leaves part of it). A stop request (run_context.hpp) is looked at
// once per buffer and, last, right before the rename or the in-place write; once that has begun
// the writer finishes. All failures throw IoError (the Io case).
class FileWriter {
 public:
  static constexpr std::size_t kBufferSize = 8192;

  explicit FileWriter(const std::string& path);
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;
  // Discards the temporary file of a writer that was not committed.
  ~FileWriter();

  void write(std::string_view bytes) { write(bytes.data(), bytes.size()); }
  void write(const void* data, std::size_t size);
  // Final flush, close, then publish the file under the target's name.
  void commit();

 private:
  void flush_buffer();
  void emit(const char* data, std::size_t size);
  void write_all(const char* data, std::size_t size);
  void discard() noexcept;

  int fd_ = -1;
  std::string target_;     // the final file, symbolic links resolved
  std::string temporary_;  // empty when writing the target in place
  std::array<char, kBufferSize> buffer_;
  std::size_t buffered_ = 0;
  std::vector<char> held_;  // everything written so far, when writing in place
  bool finished_ = false;
};

}  // namespace morvane::io
