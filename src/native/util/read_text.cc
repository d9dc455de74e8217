// POSIX reading keeps errno texts identical to the rest of the system's I/O
// messages and lets us bound reads of devices and pipes.
#include "util/read_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "core/errors.h"
#include "util/text.h"

namespace norvo::util {

namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::expected<std::string, std::string> read_utf8_file(std::string_view path, size_t max_bytes) {
  if (path.find('\0') != std::string_view::npos)
    return std::unexpected("file name contained an unexpected NUL byte");
  std::string cpath(path);
  Fd f;
  // Non-blocking open so a FIFO without a writer reads as empty instead of
  // hanging the caller; reads themselves are made blocking again below.
  f.fd = ::open(cpath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (f.fd < 0) return std::unexpected(os_error_text(errno));
  int flags = ::fcntl(f.fd, F_GETFL);
  if (flags >= 0) ::fcntl(f.fd, F_SETFL, flags & ~O_NONBLOCK);

  std::string data;
  try {
    struct stat st{};
    if (::fstat(f.fd, &st) == 0 && S_ISREG(st.st_mode)) {
      if (static_cast<uint64_t>(st.st_size) > max_bytes)
        return std::unexpected("file is larger than " + std::to_string(max_bytes) + " bytes");
      data.reserve(static_cast<size_t>(st.st_size));
    }
    char buf[65536];
    while (true) {
      ssize_t n = ::read(f.fd, buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        return std::unexpected(os_error_text(errno));
      }
      if (n == 0) break;
      if (data.size() + static_cast<size_t>(n) > max_bytes)
        return std::unexpected("file is larger than " + std::to_string(max_bytes) + " bytes");
      data.append(buf, static_cast<size_t>(n));
    }
  } catch (const std::bad_alloc&) {
    return std::unexpected(os_error_text(ENOMEM));
  }
  if (!util::is_utf8(data)) return std::unexpected("stream did not contain valid UTF-8");
  return data;
}

}  // namespace norvo::util
