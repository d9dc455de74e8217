// The scan: rebuilds the index content from the project's Python sources —
// discovery, security, parsing, artifacts, dependency chains, authentication
// tags, then artifacts, import and call edges, staleness metadata and a
// scan-run record written through the repository.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/result.h"

namespace norvo::atlas {

class Atlas;

struct FailedFile {
  std::string path;  // absolute, as discovered, as text
  std::optional<std::string> error;
};

struct ScanResult {
  std::vector<FailedFile> failed_files;
  std::map<std::string, uint64_t> artifacts_by_kind;
  uint64_t files_scanned = 0;
  uint64_t files_parsed = 0;
  uint64_t files_failed = 0;
  uint64_t files_skipped = 0;
  uint64_t files_cached = 0;
  uint64_t artifacts_found = 0;
  uint64_t duration_ms = 0;
};

// Runs a full scan inside the "scan" log span. Per-file parse failures are
// listed, never fatal; any other failure aborts with its error, leaving what
// was already committed.
Result<ScanResult> scan(Atlas& atlas);

}  // namespace norvo::atlas
