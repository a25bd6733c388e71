#include "file_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "io_error.hpp"

namespace morvane::io {

namespace {

constexpr std::size_t kMinReadChunk = 64 * 1024;

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

void check_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) throw IoError::io("file name contained an unexpected NUL byte");
}

FileReadStatus try_read_file(const std::string& path, std::vector<char>& bytes) {
  using Stage = FileReadStatus::Stage;
  bytes.clear();
  if (path.find('\0') != std::string::npos) return {Stage::InvalidPath, 0};
  int raw;
  do {
    // Non-blocking, so that a FIFO is refused below instead of waiting for a writer.
    raw = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return {Stage::Open, errno};
  const Descriptor fd(raw);
  struct stat info {};
  if (fstat(fd.get(), &info) != 0) return {Stage::Open, errno};
  if (S_ISDIR(info.st_mode)) return {Stage::NotRegularFile, EISDIR};
  if (!S_ISREG(info.st_mode)) return {Stage::NotRegularFile, 0};

  // The size is only a hint: the file may grow or shrink while it is read.
  std::size_t size = 0;
  bytes.resize(static_cast<std::size_t>(info.st_size) + 1);
  for (;;) {
    if (size == bytes.size()) bytes.resize(size + std::max(size / 2, kMinReadChunk));
    const ssize_t n = read(fd.get(), bytes.data() + size, bytes.size() - size);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      bytes.clear();
      return {Stage::Read, error};
    }
    if (n == 0) break;
    size += static_cast<std::size_t>(n);
  }
  bytes.resize(size);
  return {};
}

std::vector<char> read_file(const std::string& path) {
  check_path(path);
  std::vector<char> bytes;
  const FileReadStatus status = try_read_file(path, bytes);
  switch (status.stage) {
    case FileReadStatus::Stage::Ok:
      return bytes;
    case FileReadStatus::Stage::NotRegularFile:
      if (status.error_number == 0) throw IoError::io("not a regular file");
      break;
    default:
      break;
  }
  throw IoError::from_errno(status.error_number);
}

}  // namespace morvane::io
