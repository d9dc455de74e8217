// Reading small text files (configuration, ignore files) safely: only regular
// files, never blocking on a FIFO, never reading a device without end.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace norvo {

inline constexpr uint64_t kMaxSettingsFileBytes = 64ull << 20;

// The whole contents of `file`, or nullopt when it cannot be opened, is not a
// regular file (after following links), or is larger than `max_bytes`.
std::optional<std::string> read_regular_file(const std::filesystem::path& file,
                                             uint64_t max_bytes = kMaxSettingsFileBytes);

}  // namespace norvo
