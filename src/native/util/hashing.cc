// Streams files through BLAKE3 so large files never sit whole in memory.
#include "util/hashing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "blake3.h"

namespace norvo::util {

std::string to_hex(const unsigned char* data, size_t len) {
  static const char* kDigits = "0123456789abcdef";
  std::string out(len * 2, '0');
  for (size_t i = 0; i < len; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 0xF];
  }
  return out;
}

std::expected<std::string, int> blake3_file_hex(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(errno);
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  unsigned char buf[65536];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return std::unexpected(err);
    }
    if (n == 0) break;
    blake3_hasher_update(&hasher, buf, static_cast<size_t>(n));
  }
  ::close(fd);
  unsigned char out[BLAKE3_OUT_LEN];
  blake3_hasher_finalize(&hasher, out, BLAKE3_OUT_LEN);
  return to_hex(out, BLAKE3_OUT_LEN);
}

}  // namespace norvo::util
