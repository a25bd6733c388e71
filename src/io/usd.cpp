// The USD entry: the first bytes of a file decide between the crate reader, the refusal of usdz
// packages and the text reader, whatever the file's extension says.
#include "usd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "file_path.hpp"
#include "file_reader.hpp"
#include "io_error.hpp"
#include "usdc.hpp"

namespace morvane::io {

namespace {

// Up to the first 8 bytes of the file; fewer only when the file is shorter, since one read() may
// return less than asked.
std::string read_magic(const std::string& path) {
  check_path(path);
  // Non-blocking, so that a FIFO without a writer cannot hang the call.
  const int fd = open_retrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw IoError::from_errno(errno);
  char buf[8];
  std::size_t got = 0;
  while (got < sizeof buf) {
    const ssize_t n = ::read(fd, buf + got, sizeof buf - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw IoError::from_errno(error);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return std::string(buf, got);
}

}  // namespace

MeshData read_usd(const std::string& path) {
  const std::string magic = read_magic(path);
  if (magic == "PXR-USDC") return read_usdc(path);
  if (magic.starts_with("PK")) {
    throw IoError::usd_parse("usdz packages are not supported; unzip or run `usdcat in.usdz -o out.usdc` first");
  }
  const std::vector<char> bytes = read_file(path);
  return read_usda_bytes(std::string_view(bytes.data(), bytes.size()));
}

}  // namespace morvane::io
