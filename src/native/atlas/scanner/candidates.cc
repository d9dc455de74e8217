// Candidate files and glob_python_files.
#include "atlas/scanner/candidates.h"

#include <fmt/format.h>

#include "atlas/scanner/filter.h"
#include "atlas/scanner/security.h"
#include "core/logging.h"
#include "util/glob.h"
#include "util/text.h"

namespace norvo::atlas::scanner {

namespace fs = std::filesystem;

namespace {

// The path below the root, component-wise; the path itself when it is not below.
std::string relative_text(const fs::path& root, const fs::path& absolute) {
  auto r = absolute.begin();
  for (auto it = root.begin(); it != root.end(); ++it, ++r) {
    if (it->empty()) continue;  // a trailing separator of the root
    if (r == absolute.end() || *r != *it) return util::path_text(absolute);
  }
  fs::path rel;
  for (; r != absolute.end(); ++r) rel /= *r;
  return util::path_text(rel);
}

Result<std::vector<std::string>> glob_files(const fs::path& root, const ProjectConfig& config, std::string_view pattern,
                                            uint64_t limit) {
  std::vector<std::string> out;
  if (limit == 0) return out;
  auto glob = util::Glob::compile(pattern);
  if (!glob) {
    return fail(AtlasError::walk_failed(util::path_text(root),
                                        fmt::format("Invalid glob pattern '{}': {}", pattern, glob.error().to_string())));
  }
  auto files = NORVO_TRY(candidate_files(root, config));
  for (auto& f : files) {
    if (!glob->matches(f.relative)) continue;
    out.push_back(std::move(f.relative));
    if (out.size() >= limit) break;
  }
  return out;
}

}  // namespace

Result<std::vector<Candidate>> candidate_files(const fs::path& project_root, const ProjectConfig& config) {
  IgnoreFilter filter = IgnoreFilter::build(project_root, config.atlas.ignore_patterns);
  auto found = NORVO_TRY(discover(project_root, filter, config.atlas.max_file_size));
  SecurityPolicy policy(project_root, config.security);
  std::vector<Candidate> out;
  out.reserve(found.size());
  for (auto& path : found) {
    if (!policy.is_path_allowed(path)) continue;
    std::string rel = relative_text(project_root, path);
    out.push_back({std::move(path), std::move(rel)});
  }
  return out;
}

Result<std::vector<std::string>> glob_python_files(const fs::path& project_root, const ProjectConfig& config,
                                                   std::string_view pattern, std::optional<uint64_t> limit) {
  log::Span span("glob_python_files",
                 {{"pattern", pattern}, {"limit", log::Raw{limit ? fmt::format("Some({})", *limit) : "None"}}});
  auto r = glob_files(project_root, config, pattern, limit.value_or(10));
  if (!r) NLOG_ERROR("norvo_atlas", "", {"error", r.error().to_string()});
  return r;
}

}  // namespace norvo::atlas::scanner
