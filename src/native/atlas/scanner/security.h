// The file-access policy of a project ([security] in .norvo/config.toml):
// which files the system may read at all. Scans skip refused files, the span
// tools refuse to read them, the FastAPI analyses pass over them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "core/config.h"
#include "util/glob.h"

namespace norvo::atlas::scanner {

class SecurityPolicy {
 public:
  // Keeps the root and the configuration; patterns are compiled here once.
  SecurityPolicy(std::filesystem::path project_root, SecurityConfig config);

  // True when `path` (absolute, or relative to the project root) may be read.
  // Refused: a path component equal to a denied directory; a denied
  // extension; in strict mode an extension not in the allowed list; a name
  // or relative path matching a denied file pattern. A denied pattern that
  // does not compile refuses every path that reaches it, with a WARN record
  // each time. Never fails.
  // A path reaching its file through a symbolic link is judged by the link's
  // target as well, and refused when the target lies outside the project.
  bool is_path_allowed(const std::filesystem::path& path) const;

 private:
  // The rules applied to the path text alone.
  bool lexically_allowed(const std::filesystem::path& path) const;

  struct Pattern {
    std::string text;
    std::optional<util::Glob> glob;
    std::string error;  // the compile error's text when `glob` is empty
  };
  std::filesystem::path root_;
  std::filesystem::path canonical_root_;  // empty when the root cannot be resolved
  SecurityConfig config_;
  std::vector<Pattern> patterns_;
};

// One-off check; builds the policy for this call only.
bool is_path_allowed(const std::filesystem::path& project_root, const SecurityConfig& config,
                     const std::filesystem::path& path);

}  // namespace norvo::atlas::scanner
