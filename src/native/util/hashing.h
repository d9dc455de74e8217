// File and content hashes: BLAKE3 (official C implementation) and SHA-256.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace norvo::util {

// BLAKE3 (32-byte, unkeyed) of a file's whole contents as lower-case hex;
// the errno of the failing open/read otherwise.
std::expected<std::string, int> blake3_file_hex(const std::string& path);

// Lower-case hex of bytes.
std::string to_hex(const unsigned char* data, size_t len);

}  // namespace norvo::util
