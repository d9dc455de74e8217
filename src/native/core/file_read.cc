#include "core/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace norvo {

namespace {
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};
}  // namespace

std::expected<std::string, ReadFailure> read_file_bounded(const std::filesystem::path& file, uint64_t max_bytes,
                                                          bool regular_only) {
  Fd f;
  do {
    // Non-blocking open: a FIFO without writer would otherwise block here.
    f.fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (f.fd < 0 && errno == EINTR);
  if (f.fd < 0) return std::unexpected(ReadFailure{.os_error = errno});
  struct stat st{};
  bool regular = ::fstat(f.fd, &st) == 0 && S_ISREG(st.st_mode);
  if (regular_only && !regular) return std::unexpected(ReadFailure{.not_regular = true});
  if (regular && static_cast<uint64_t>(st.st_size) > max_bytes) return std::unexpected(ReadFailure{.too_large = true});
  int flags = ::fcntl(f.fd, F_GETFL);
  if (flags >= 0) ::fcntl(f.fd, F_SETFL, flags & ~O_NONBLOCK);

  std::string out;
  try {
    if (regular) out.reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    while (true) {
      ssize_t n = ::read(f.fd, buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        return std::unexpected(ReadFailure{.os_error = errno});
      }
      if (n == 0) break;
      if (out.size() + static_cast<uint64_t>(n) > max_bytes) return std::unexpected(ReadFailure{.too_large = true});
      out.append(buf, static_cast<size_t>(n));
    }
  } catch (const std::bad_alloc&) {
    return std::unexpected(ReadFailure{.os_error = ENOMEM});
  }
  return out;
}

std::optional<std::string> read_regular_file(const std::filesystem::path& file, uint64_t max_bytes) {
  auto text = read_file_bounded(file, max_bytes, /*regular_only=*/true);
  if (!text) return std::nullopt;
  return std::move(*text);
}

}  // namespace norvo
