#include "file_writer.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "common/memory_guard.hpp"
#include "common/numeric.hpp"
#include "core/run_context.hpp"
#include "file_path.hpp"
#include "file_reader.hpp"
#include "io_error.hpp"

namespace morvane::io {

namespace {

constexpr int kMaxSymlinkHops = 40;
constexpr std::size_t kMaxTemporaryStem = 200;  // keeps the temporary's name under NAME_MAX

std::string read_link(const std::string& path) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = readlink(path.c_str(), target.data(), target.size());
    if (n < 0) throw IoError::from_errno(errno);
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

// The file a path finally names after following symbolic links; the file itself need not exist.
std::string resolve_symlinks(std::string path) {
  for (int hops = 0;; ++hops) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    if (hops == kMaxSymlinkHops) throw IoError::from_errno(ELOOP);
    std::string target = read_link(path);
    path = !target.empty() && target.front() == '/' ? std::move(target) : directory_of(path) + "/" + target;
  }
}

// A new file beside `target`, created exclusively with mode 0666 (less the umask); returns its
// descriptor and stores its name, or returns -1 with errno set.
int create_temporary(const std::string& target, std::string& name) {
  static std::atomic<unsigned long long> counter{0};
  const std::size_t slash = target.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string stem = target.substr(slash == std::string::npos ? 0 : slash + 1, kMaxTemporaryStem);
  for (;;) {
    name = fmt::format("{}.{}.{}.{}.tmp", directory, stem, getpid(), counter++);
    const int fd = open_retrying(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
}

// Opens a FIFO for writing once a reader has opened it, as a blocking open would, but looking in
// between whether the call was asked to stop: a blocked open could not be interrupted.
int open_fifo(const std::string& path) {
  constexpr auto kRetryInterval = std::chrono::milliseconds(20);
  for (;;) {
    const int fd = open_retrying(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      return fd;
    }
    if (errno != ENXIO) return fd;  // ENXIO: no reader yet
    throw_if_stopped();
    std::this_thread::sleep_for(kRetryInterval);
  }
}

}  // namespace

FileWriter::FileWriter(const std::string& path) {
  check_path(path);
  // stat follows every link, the kernel's own magic links too; a device or FIFO behind the path is
  // written in place, and so is any path stat cannot judge (open then reports the failure).
  struct stat info {};
  const bool exists = stat(path.c_str(), &info) == 0;
  const bool replace = !path.empty() && path.back() != '/' && (exists ? S_ISREG(info.st_mode) : errno == ENOENT);
  if (replace) {
    // The rename that replaces the target would bypass its own permission: a target the caller
    // may not write is refused with the error that opening it for writing gives.
    if (exists && faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) throw IoError::from_errno(errno);
    target_ = resolve_symlinks(path);
    fd_ = create_temporary(target_, temporary_);
    if (fd_ < 0) {
      temporary_.clear();
      // A writable file in a directory we may not create files in is still written, in place.
      if (!exists || (errno != EACCES && errno != EPERM)) throw IoError::from_errno(errno);
    } else if (exists && fchmod(fd_, info.st_mode & 0777) != 0) {
      // A replaced file keeps its permission bits, as it would when truncated in place.
      const int error = errno;
      discard();
      throw IoError::from_errno(error);
    }
  }
  if (fd_ < 0) {
    // Not truncated yet: commit does that, once everything to write is there.
    fd_ = exists && S_ISFIFO(info.st_mode) ? open_fifo(path)
                                           : open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) throw IoError::from_errno(errno);
  }
}

FileWriter::~FileWriter() {
  if (!finished_) discard();
}

void FileWriter::discard() noexcept {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) unlink(temporary_.c_str());
  temporary_.clear();
  finished_ = true;
}

void FileWriter::write_all(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw IoError::from_errno(errno);
    }
    if (n == 0) throw IoError::io("failed to write whole buffer");
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Every 8192 bytes at least: a stopped call leaves the target untouched.
void FileWriter::emit(const char* data, std::size_t size) {
  throw_if_stopped();
  if (!temporary_.empty()) {
    write_all(data, size);
    return;
  }
  try {
    held_.insert(held_.end(), data, data + size);
  } catch (const std::bad_alloc&) {
    throw OutOfMemory(allocation_failure_text(saturating_add(held_.size(), size),
                                              "the contents of a file written in place"));
  }
}

void FileWriter::flush_buffer() {
  const std::size_t size = buffered_;
  buffered_ = 0;  // a failed flush must not be retried by a later one
  emit(buffer_.data(), size);
}

void FileWriter::write(const void* data, std::size_t size) {
  if (finished_) throw IoError::io("write to a finished file");
  if (size == 0) return;  // an empty view may carry a null pointer, which memcpy must not see
  const char* bytes = static_cast<const char*>(data);
  if (size > buffer_.size() - buffered_) {
    flush_buffer();
    if (size >= buffer_.size()) {
      emit(bytes, size);
      return;
    }
  }
  std::memcpy(buffer_.data() + buffered_, bytes, size);
  buffered_ += size;
}

void FileWriter::commit() {
  if (finished_) throw IoError::io("commit of a finished file");
  flush_buffer();
  if (temporary_.empty()) {
    commit_to_finish();
    struct stat info {};
    if (fstat(fd_, &info) != 0 || (S_ISREG(info.st_mode) && ftruncate(fd_, 0) != 0)) {
      throw IoError::from_errno(errno);
    }
    write_all(held_.data(), held_.size());
    std::vector<char>().swap(held_);
  }
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0) throw IoError::from_errno(errno);
  if (!temporary_.empty()) {
    commit_to_finish();
    if (rename(temporary_.c_str(), target_.c_str()) != 0) throw IoError::from_errno(errno);
  }
  temporary_.clear();
  finished_ = true;
}

}  // namespace morvane::io
