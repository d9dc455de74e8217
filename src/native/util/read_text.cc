// POSIX reading (core/file_read) keeps errno texts identical to the rest of
// the system's I/O messages and bounds reads of devices and pipes.
#include "util/read_text.h"

#include "core/errors.h"
#include "core/file_read.h"
#include "util/text.h"

namespace norvo::util {

std::expected<std::string, std::string> read_utf8_file(std::string_view path, size_t max_bytes) {
  if (path.find('\0') != std::string_view::npos)
    return std::unexpected("file name contained an unexpected NUL byte");
  auto data = read_file_bounded(std::filesystem::path(std::string(path)), max_bytes, /*regular_only=*/false);
  if (!data) {
    if (data.error().too_large) return std::unexpected("file is larger than " + std::to_string(max_bytes) + " bytes");
    return std::unexpected(os_error_text(data.error().os_error));
  }
  if (!is_utf8(*data)) return std::unexpected("stream did not contain valid UTF-8");
  return std::move(*data);
}

}  // namespace norvo::util
