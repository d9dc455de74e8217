// Reading a whole file as UTF-8 text (policy files, the sources given to the
// firewall's file analysis), with the error texts their callers report.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

namespace norvo::util {

// The file's bytes when they are valid UTF-8. The error is the operating
// system's text ("No such file or directory (os error 2)"), "stream did not
// contain valid UTF-8", or a refusal for a path holding a NUL byte or a file
// longer than `max_bytes`. Never blocks on a FIFO without a writer.
std::expected<std::string, std::string> read_utf8_file(std::string_view path, size_t max_bytes);

}  // namespace norvo::util
