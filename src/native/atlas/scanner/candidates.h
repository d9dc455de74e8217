// The candidate files of the span tools: what a scan would discover, minus
// what the security policy refuses, each with its root-relative path text.
// Also glob_python_files, the listing of candidates by glob.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/config.h"
#include "core/result.h"

namespace norvo::atlas::scanner {

struct Candidate {
  std::filesystem::path absolute;
  std::string relative;  // "/"-separated, invalid UTF-8 replaced by U+FFFD
};

// Discovery with the scan's settings (ignore filter, size limit), in walk
// order, without the files the security policy refuses (silently).
Result<std::vector<Candidate>> candidate_files(const std::filesystem::path& project_root, const ProjectConfig& config);

// The relative paths of the candidates whose relative path matches
// `pattern`, at most `limit` (None means 10) of them, in walk order. A limit
// of 0 returns nothing without looking at the pattern. A pattern that does
// not compile fails with WalkFailed "Invalid glob pattern '{}': {}". Runs in
// the "glob_python_files" span and logs a failure at ERROR.
Result<std::vector<std::string>> glob_python_files(const std::filesystem::path& project_root,
                                                   const ProjectConfig& config, std::string_view pattern,
                                                   std::optional<uint64_t> limit);

}  // namespace norvo::atlas::scanner
