// File discovery: the system's own ignore filter (built-in directory names
// plus user glob patterns) and `discover`, which walks a project with the
// ignore-file aware walker and returns the candidate Python files under a
// size limit. The security policy is applied by the callers, not here.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "core/result.h"
#include "util/glob.h"

namespace norvo::atlas::scanner {

// Directory names that are never walked into, whatever the configuration.
// Entries holding "*" are globs matched against one path component.
inline constexpr const char* kDefaultIgnoredDirs[] = {
    "venv",        ".venv",        "env",         ".env",         "virtualenv", ".virtualenv", "__pycache__",
    "*.egg-info",  "dist",         "build",       "eggs",         ".eggs",      ".git",        ".hg",
    ".svn",        ".idea",        ".vscode",     "node_modules", ".tox",       ".nox",        ".pytest_cache",
    ".mypy_cache", ".ruff_cache",  ".norvo",      "norvo-[0-9]*", "site-packages"};

class IgnoreFilter {
 public:
  // Compiles the lines of `project_root`/.norvoignore (trimmed; blank lines
  // and "#" comments skipped; an unreadable file counts as absent) followed
  // by `ignore_patterns`. Patterns that do not compile are dropped. Never fails.
  static IgnoreFilter build(const std::filesystem::path& project_root, const std::vector<std::string>& ignore_patterns);

  // True when a component of `relative` (a path below the project root) is a
  // built-in directory name, or a pattern matches the whole path text or the
  // file name alone.
  bool is_ignored(const std::filesystem::path& relative) const;

  size_t pattern_count() const { return patterns_.size(); }

 private:
  std::vector<util::Glob> patterns_;
  std::vector<util::Glob> default_globs_;  // the wildcard entries of kDefaultIgnoredDirs
};

// Walks `project_root` and returns the absolute paths of the candidate
// Python files in walk order: regular files (or links to them) named
// "<stem>.py", not ignored by `filter`, at most `max_file_size` bytes.
// A directory that cannot be listed fails with WalkFailed.
Result<std::vector<std::filesystem::path>> discover(const std::filesystem::path& project_root,
                                                    const IgnoreFilter& filter, uint64_t max_file_size);

}  // namespace norvo::atlas::scanner
