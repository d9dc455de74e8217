#include "core/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace norvo {

std::optional<std::string> read_regular_file(const std::filesystem::path& file, uint64_t max_bytes) {
  int fd;
  do {
    // Non-blocking open: a FIFO without writer would otherwise block here.
    fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::nullopt;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > max_bytes) {
    ::close(fd);
    return std::nullopt;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::string out;
  out.reserve(static_cast<size_t>(st.st_size));
  char buf[8192];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || out.size() + static_cast<uint64_t>(std::max<ssize_t>(n, 0)) > max_bytes) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

}  // namespace norvo
