// The freshness check run before searches and FastAPI analyses: decides from
// stored metadata, git HEAD, a 50 ms modification-time probe and the index age
// whether to rescan, and runs at most one scan per call.
#pragma once

#include <cstdint>
#include <filesystem>

#include "core/result.h"

namespace norvo::atlas {

class Atlas;

inline constexpr uint64_t kProbeBudgetNs = 50'000'000;
inline constexpr int64_t kMaxIndexAgeSecs = 3600;

// Scans when the index is missing or out of date. Fails only when the artifact
// count cannot be read or the scan fails.
Status ensure_indexed(Atlas& atlas);

// The newest modification time (Unix seconds) of a `.py` file under `root`
// outside the probe's skip list, stopping at the first file newer than
// `threshold` or when the 50 ms budget is spent. 0 when none was seen.
uint64_t probe_newest_mtime(const std::filesystem::path& root, uint64_t threshold);

}  // namespace norvo::atlas
