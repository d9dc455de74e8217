// The ignore filter and the discovery loop over the walker's entries.
#include "atlas/scanner/filter.h"

#include "core/file_read.h"

#include <sys/stat.h>

#include <optional>
#include <string_view>

#include "atlas/scanner/walker.h"
#include "core/logging.h"
#include "util/text.h"

namespace norvo::atlas::scanner {

namespace fs = std::filesystem;

namespace {

constexpr const char* kFilterTarget = "norvo_atlas::scanner::filter";
constexpr const char* kWalkerTarget = "norvo_atlas::scanner::walker";

std::optional<std::string> read_file(const fs::path& file) { return read_regular_file(file); }

// Splits a path into its normal components as text: empty and "." parts
// are dropped, so "a//./b/" gives a, b.
std::vector<std::string> component_texts(const fs::path& p) {
  std::vector<std::string> out;
  std::string_view s = p.native();
  size_t i = 0;
  while (i <= s.size()) {
    size_t j = s.find('/', i);
    if (j == std::string_view::npos) j = s.size();
    std::string_view part = s.substr(i, j - i);
    if (!part.empty() && part != ".") out.push_back(util::utf8_lossy(part));
    i = j + 1;
  }
  return out;
}

// "<stem>.py" with a non-empty stem; ".py" and "module.PY" are not.
bool has_py_extension(std::string_view name) {
  size_t dot = name.rfind('.');
  return dot != std::string_view::npos && dot > 0 && name.substr(dot + 1) == "py";
}

}  // namespace

IgnoreFilter IgnoreFilter::build(const fs::path& project_root, const std::vector<std::string>& ignore_patterns) {
  IgnoreFilter f;
  for (const char* d : kDefaultIgnoredDirs) {
    if (std::string_view(d).find('*') == std::string_view::npos) continue;
    if (auto g = util::Glob::compile(d)) f.default_globs_.push_back(std::move(*g));
  }
  auto add = [&](std::string_view pattern) {
    if (auto g = util::Glob::compile(pattern)) f.patterns_.push_back(std::move(*g));
  };
  if (auto text = read_file(project_root / ".norvoignore")) {
    // Invalid UTF-8 is repaired rather than losing the whole file.
    std::string content = util::utf8_lossy(*text);
    std::string_view rest = content;
    while (!rest.empty()) {
      size_t nl = rest.find('\n');
      std::string_view line = rest.substr(0, nl);
      rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
      if (line.ends_with('\r')) line.remove_suffix(1);
      line = util::trim(line);
      if (line.empty() || line.starts_with('#')) continue;
      add(line);
    }
  }
  for (const auto& p : ignore_patterns) add(p);
  NLOG_DEBUG(kFilterTarget, "Initialized ignore filter", {"default_dirs", std::size(kDefaultIgnoredDirs)},
             {"custom_patterns", f.patterns_.size()});
  return f;
}

bool IgnoreFilter::is_ignored(const fs::path& relative) const {
  std::vector<std::string> parts = component_texts(relative);
  size_t glob_index = 0;
  for (const auto& part : parts) {
    glob_index = 0;
    for (const char* d : kDefaultIgnoredDirs) {
      if (std::string_view(d).find('*') != std::string_view::npos) {
        if (default_globs_[glob_index++].matches(part)) return true;
      } else if (part == d) {
        return true;
      }
    }
  }
  if (patterns_.empty()) return false;
  std::string whole = util::utf8_lossy(relative.native());
  const std::string* name = parts.empty() ? nullptr : &parts.back();
  for (const auto& g : patterns_) {
    if (g.matches(whole) || (name && g.matches(*name))) return true;
  }
  return false;
}

Result<std::vector<fs::path>> discover(const fs::path& project_root, const IgnoreFilter& filter,
                                       uint64_t max_file_size) {
  std::vector<fs::path> found;
  auto walked = walk(project_root, WalkOptions{}, [&](const WalkEntry& e) {
    if (e.type == WalkEntry::Type::Dir || e.type == WalkEntry::Type::Other) return true;
    if (!has_py_extension(e.name)) return true;

    // Links are judged by their target. A target that cannot be examined
    // (a dangling link) stays a candidate; directories, pipes and devices
    // are not files to read.
    struct stat st;
    bool have_meta = ::stat(e.path.c_str(), &st) == 0;
    if (have_meta && !S_ISREG(st.st_mode)) return true;

    std::string path_text = util::path_text(e.path);
    NLOG_DEBUG(kWalkerTarget, "Discovered candidate Python file", {"path", path_text});
    if (filter.is_ignored(fs::path(std::string(e.relative)))) {
      NLOG_DEBUG(kWalkerTarget, "Skipping Python file ignored by filter", {"path", path_text});
      return true;
    }
    if (have_meta && static_cast<uint64_t>(st.st_size) > max_file_size) {
      NLOG_DEBUG(kWalkerTarget, "Skipping large file", {"path", path_text}, {"size", static_cast<uint64_t>(st.st_size)},
                 {"max", max_file_size});
      return true;
    }
    NLOG_DEBUG(kWalkerTarget, "Including Python file in scan set", {"path", path_text});
    found.push_back(e.path);
    return true;
  });
  if (!walked) return fail(AtlasError::walk_failed(util::path_text(project_root), walked.error()));
  NLOG_DEBUG(kWalkerTarget, "Found Python files", {"count", found.size()});
  return found;
}

}  // namespace norvo::atlas::scanner
