// Text helpers: UTF-8 validation and lossy repair, path text, trimming.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace norvo::util {

// True when `bytes` is well-formed UTF-8.
bool is_utf8(std::string_view bytes);

// `bytes` with each maximal invalid UTF-8 subsequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// A path as display text: its bytes, invalid UTF-8 replaced by U+FFFD.
std::string path_text(const std::filesystem::path& p);

// Unicode lower case of UTF-8 text: simple mappings per code point, plus the
// full mapping of U+0130 ("i" + U+0307). Invalid bytes are copied through.
std::string lower_full(std::string_view s);

// Whitespace trimming (ASCII and Unicode White_Space).
std::string_view trim(std::string_view s);

}  // namespace norvo::util
