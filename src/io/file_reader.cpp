#include "file_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/run_context.hpp"
#include "io_error.hpp"

namespace morvane::io {

constexpr std::size_t kMinReadChunk = 64 * 1024;
// The most one read asks for, so that a stop request is looked at between reads of a large file.
constexpr std::size_t kMaxReadChunk = std::size_t{16} << 20;

int open_retrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

FileInput::FileInput(const std::string& path) {
  using Stage = FileReadStatus::Stage;
  if (path.find('\0') != std::string::npos) {
    status_ = {Stage::InvalidPath, 0};
    return;
  }
  // Non-blocking, so that a FIFO is refused below instead of waiting for a writer.
  fd_ = open_retrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    status_ = {Stage::Open, errno};
    return;
  }
  struct stat info {};
  if (fstat(fd_, &info) != 0) {
    status_ = {Stage::Open, errno};
  } else if (S_ISDIR(info.st_mode)) {
    status_ = {Stage::NotRegularFile, EISDIR};
  } else if (!S_ISREG(info.st_mode)) {
    status_ = {Stage::NotRegularFile, 0};
  } else {
    size_hint_ = static_cast<std::size_t>(info.st_size);
  }
}

FileInput::~FileInput() {
  if (fd_ >= 0) close(fd_);
}

std::size_t FileInput::read(char* data, std::size_t size) {
  if (status_.stage != FileReadStatus::Stage::Ok) return 0;
  for (;;) {
    const ssize_t n = ::read(fd_, data, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) {
      status_ = {FileReadStatus::Stage::Read, errno};
      return 0;
    }
  }
}

namespace {

template <class Byte>
FileReadStatus read_into(const std::string& path, std::vector<Byte>& bytes) {
  bytes.clear();
  FileInput file(path);
  // The size is only a hint: the file may grow or shrink while it is read.
  std::size_t size = 0;
  if (file.status().stage == FileReadStatus::Stage::Ok) bytes.resize(file.size_hint() + 1);
  while (file.status().stage == FileReadStatus::Stage::Ok) {
    throw_if_stopped();
    if (size == bytes.size()) bytes.resize(size + std::max(size / 2, kMinReadChunk));
    const std::size_t n =
        file.read(reinterpret_cast<char*>(bytes.data()) + size, std::min(bytes.size() - size, kMaxReadChunk));
    if (n == 0) break;
    size += n;
  }
  bytes.resize(file.status().stage == FileReadStatus::Stage::Ok ? size : 0);
  return file.status();
}

}  // namespace

FileReadStatus try_read_file(const std::string& path, std::vector<char>& bytes) { return read_into(path, bytes); }

FileReadStatus try_read_file(const std::string& path, std::vector<unsigned char>& bytes) {
  return read_into(path, bytes);
}

std::string read_failure_text(const FileReadStatus& status) {
  switch (status.stage) {
    case FileReadStatus::Stage::InvalidPath:
      return "file name contained an unexpected NUL byte";
    case FileReadStatus::Stage::NotRegularFile:
      if (status.error_number == 0) return "not a regular file";
      break;
    default:
      break;
  }
  return os_error_text(status.error_number);
}

std::vector<char> read_file(const std::string& path) {
  std::vector<char> bytes;
  const FileReadStatus status = try_read_file(path, bytes);
  if (status.stage != FileReadStatus::Stage::Ok) throw IoError::io(read_failure_text(status));
  return bytes;
}

}  // namespace morvane::io
