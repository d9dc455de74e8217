// Reading a whole file as UTF-8 text for the firewall (policy files and the
// sources given to file analysis), with the error texts both report.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

namespace norvo::firewall {

// The file's bytes when they are valid UTF-8. The error is the operating
// system's text ("No such file or directory (os error 2)"), "stream did not
// contain valid UTF-8", or a refusal for a path holding a NUL byte or a file
// longer than `max_bytes`. Never blocks on a FIFO without a writer.
std::expected<std::string, std::string> read_utf8_file(std::string_view path, size_t max_bytes);

}  // namespace norvo::firewall
