// Reading small text files (configuration, ignore files, policies) safely:
// never blocking on a FIFO, never reading a device without end.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

namespace norvo {

inline constexpr uint64_t kMaxSettingsFileBytes = 64ull << 20;

// Why a bounded read gave nothing: an errno value from open/read (ENOMEM when
// the contents could not be held), a file longer than the bound, or (when only
// regular files are wanted) some other kind of file.
struct ReadFailure {
  int os_error = 0;
  bool too_large = false;
  bool not_regular = false;
};

// The whole contents of `file`, at most `max_bytes`. A FIFO without a writer
// reads as empty instead of blocking; with `regular_only`, anything but a
// regular file (after following links) is refused unread.
std::expected<std::string, ReadFailure> read_file_bounded(const std::filesystem::path& file, uint64_t max_bytes,
                                                          bool regular_only);

// The whole contents of `file`, or nullopt when it cannot be opened, is not a
// regular file (after following links), or is larger than `max_bytes`.
std::optional<std::string> read_regular_file(const std::filesystem::path& file,
                                             uint64_t max_bytes = kMaxSettingsFileBytes);

}  // namespace norvo
