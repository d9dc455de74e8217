// is_path_allowed: directory rule, extension rules, then denied patterns.
#include "atlas/scanner/security.h"

#include <algorithm>
#include <string_view>

#include "core/logging.h"
#include "util/text.h"

namespace norvo::atlas::scanner {

namespace fs = std::filesystem;

namespace {

// A path split the way the checks see it: "." parts and empty parts are
// dropped, ".." is kept (and is never a normal name).
struct Parts {
  bool absolute = false;
  std::vector<std::string_view> names;
};

Parts split(std::string_view s) {
  Parts p;
  p.absolute = s.starts_with('/');
  size_t i = 0;
  while (i <= s.size()) {
    size_t j = s.find('/', i);
    if (j == std::string_view::npos) j = s.size();
    std::string_view part = s.substr(i, j - i);
    if (!part.empty() && part != ".") p.names.push_back(part);
    i = j + 1;
  }
  return p;
}

bool contains(const std::vector<std::string>& list, std::string_view s) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

// The extension of a file name: the text after the last ".", unless that
// dot starts the name (".env" has none) or there is no dot at all.
std::string_view extension_of(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return name.substr(dot + 1);
}

}  // namespace

SecurityPolicy::SecurityPolicy(fs::path project_root, SecurityConfig config)
    : root_(std::move(project_root)), config_(std::move(config)) {
  std::error_code ec;
  canonical_root_ = fs::canonical(root_, ec);
  for (const auto& text : config_.denied_file_patterns) {
    Pattern p{text, std::nullopt, {}};
    if (auto g = util::Glob::compile(text)) {
      p.glob = std::move(*g);
    } else {
      p.error = g.error().to_string();
    }
    patterns_.push_back(std::move(p));
  }
}

bool SecurityPolicy::is_path_allowed(const fs::path& path) const {
  if (!lexically_allowed(path)) return false;
  // Links are followed when a file is opened, so the file actually reached is
  // judged too: a link named app/x.py leading to .env must not open .env.
  // A name holding NUL opens nothing (the openers refuse it); resolving it
  // would silently cut the name short.
  if (path.native().find('\0') != std::string::npos) return true;
  std::error_code ec;
  const fs::path absolute = path.is_absolute() ? path : root_ / path;
  const fs::path real = fs::canonical(absolute, ec);
  if (ec || real == absolute.lexically_normal()) return true;  // nothing to open, or no link on the way
  const fs::path& root = canonical_root_.empty() ? root_ : canonical_root_;
  auto [r, p] = std::mismatch(root.begin(), root.end(), real.begin(), real.end());
  if (r != root.end()) return false;  // a link leading out of the project
  return lexically_allowed(real);
}

bool SecurityPolicy::lexically_allowed(const fs::path& path) const {
  std::string absolute = path.native().starts_with('/') ? path.native() : (root_ / path).native();
  Parts abs = split(absolute);
  Parts root = split(root_.native());

  // Relative to the root when below it (component-wise), else absolute.
  std::vector<std::string_view> names;
  bool relative = abs.absolute == root.absolute && abs.names.size() >= root.names.size() &&
                  std::equal(root.names.begin(), root.names.end(), abs.names.begin());
  if (relative) {
    names.assign(abs.names.begin() + static_cast<std::ptrdiff_t>(root.names.size()), abs.names.end());
  } else {
    names = abs.names;
  }

  for (auto name : names) {
    if (name != ".." && contains(config_.denied_directories, util::utf8_lossy(name))) return false;
  }

  std::string file_name;
  if (!names.empty() && names.back() != "..") file_name = util::utf8_lossy(names.back());
  std::string_view ext = extension_of(file_name);
  if (contains(config_.denied_extensions, ext)) return false;
  if (config_.strict_mode && !config_.allowed_extensions.empty() && !contains(config_.allowed_extensions, ext)) {
    return false;
  }

  std::string text = (relative || !abs.absolute) ? "" : "/";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) text += '/';
    text += names[i];
  }
  text = util::utf8_lossy(text);
  for (const auto& p : patterns_) {
    if (!p.glob) {
      NLOG_WARN("norvo_atlas", "Invalid denied_file_pattern; failing closed", {"pattern", p.text}, {"error", p.error});
      return false;
    }
    if (p.glob->matches(text) || (!file_name.empty() && p.glob->matches(file_name))) return false;
  }
  return true;
}

bool is_path_allowed(const fs::path& project_root, const SecurityConfig& config, const fs::path& path) {
  return SecurityPolicy(project_root, config).is_path_allowed(path);
}

}  // namespace norvo::atlas::scanner
