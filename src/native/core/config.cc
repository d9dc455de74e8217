// Strict TOML mapping of config.toml onto ProjectConfig with per-key defaults.
#include "core/config.h"

#include "core/file_read.h"

#include <fstream>
#include <sstream>

#include <toml++/toml.h>

namespace norvo {

namespace {

// Each reader leaves `out` untouched when the key is absent and returns false
// when the key is present with a value of the wrong type.
bool read(const toml::table& t, std::string_view key, bool& out) {
  const toml::node* n = t.get(key);
  if (!n) return true;
  if (!n->is_boolean()) return false;
  out = n->as_boolean()->get();
  return true;
}
bool read(const toml::table& t, std::string_view key, std::string& out) {
  const toml::node* n = t.get(key);
  if (!n) return true;
  if (!n->is_string()) return false;
  out = n->as_string()->get();
  return true;
}
bool read(const toml::table& t, std::string_view key, std::optional<std::string>& out) {
  const toml::node* n = t.get(key);
  if (!n) return true;
  if (!n->is_string()) return false;
  out = n->as_string()->get();
  return true;
}
bool read(const toml::table& t, std::string_view key, uint64_t& out) {
  const toml::node* n = t.get(key);
  if (!n) return true;
  if (!n->is_integer()) return false;
  int64_t v = n->as_integer()->get();
  if (v < 0) return false;
  out = static_cast<uint64_t>(v);
  return true;
}
bool read(const toml::table& t, std::string_view key, double& out) {
  const toml::node* n = t.get(key);
  if (!n) return true;
  if (n->is_floating_point()) out = n->as_floating_point()->get();
  else if (n->is_integer()) out = static_cast<double>(n->as_integer()->get());
  else return false;
  return true;
}
bool read(const toml::table& t, std::string_view key, std::vector<std::string>& out) {
  const toml::node* n = t.get(key);
  if (!n) return true;
  const toml::array* arr = n->as_array();
  if (!arr) return false;
  std::vector<std::string> v;
  for (const auto& item : *arr) {
    if (!item.is_string()) return false;
    v.push_back(item.as_string()->get());
  }
  out = std::move(v);
  return true;
}

// A section given as something other than a table is a type error too.
bool section(const toml::table& root, std::string_view name, const toml::table*& out) {
  out = nullptr;
  const toml::node* n = root.get(name);
  if (!n) return true;
  out = n->as_table();
  return out != nullptr;
}

}  // namespace

namespace {
// TOML allows bytes above 0x7F only inside strings and comments. The system's
// TOML reader reaches undefined behaviour on some of them elsewhere, so such a
// document is rejected before it is handed over (it is invalid anyway). A
// quote opens a string only where TOML lets one stand: at a line start or
// after one of = [ { , . (spaces between).
bool non_ascii_outside_strings(std::string_view d) {
  size_t i = 0, n = d.size();
  unsigned char prev = '\n';
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(d[i]);
    if (c >= 0x80) return true;
    if (c == '#') {
      size_t j = d.find('\n', i);
      i = j == std::string_view::npos ? n : j;
      continue;
    }
    if ((c == '"' || c == '\'') && std::string_view("\n=[{,.").find(static_cast<char>(prev)) != std::string_view::npos) {
      std::string close = d.substr(i, 3) == std::string(3, static_cast<char>(c)) ? std::string(3, static_cast<char>(c))
                                                                                 : std::string(1, static_cast<char>(c));
      size_t j = i + close.size();
      while (j < n) {
        if (c == '"' && d[j] == '\\') {
          j += 2;
          continue;
        }
        if (d.substr(j, close.size()) == close || (close.size() == 1 && d[j] == '\n')) break;
        ++j;
      }
      i = j + close.size();
      prev = c;
      continue;
    }
    if (c != ' ' && c != '\t' && c != '\r') prev = c;
    ++i;
  }
  return false;
}
}  // namespace

std::optional<ProjectConfig> parse_project_config(std::string_view text) {
  if (non_ascii_outside_strings(text)) return std::nullopt;
  toml::parse_result parsed = toml::parse(text);
  if (!parsed) return std::nullopt;
  const toml::table& root = parsed.table();
  ProjectConfig c;
  const toml::table* s = nullptr;
  bool ok = true;
  if (!section(root, "atlas", s)) return std::nullopt;
  if (s) {
    auto& a = c.atlas;
    ok = read(*s, "ignore_patterns", a.ignore_patterns) && read(*s, "max_file_size", a.max_file_size) &&
         read(*s, "parallel_workers", a.parallel_workers) && read(*s, "db_filename", a.db_filename) &&
         read(*s, "incremental", a.incremental) && read(*s, "extract_docstrings", a.extract_docstrings) &&
         read(*s, "detect_endpoints", a.detect_endpoints) && read(*s, "detect_contracts", a.detect_contracts) &&
         read(*s, "auto_scan_on_first_search", a.auto_scan_on_first_search) &&
         read(*s, "track_git_commit", a.track_git_commit);
    if (!ok) return std::nullopt;
  }
  if (!section(root, "security", s)) return std::nullopt;
  if (s) {
    auto& x = c.security;
    ok = read(*s, "allowed_extensions", x.allowed_extensions) && read(*s, "denied_extensions", x.denied_extensions) &&
         read(*s, "denied_directories", x.denied_directories) &&
         read(*s, "denied_file_patterns", x.denied_file_patterns) && read(*s, "strict_mode", x.strict_mode);
    if (!ok) return std::nullopt;
  }
  if (!section(root, "logging", s)) return std::nullopt;
  if (s) {
    auto& l = c.logging;
    ok = read(*s, "level", l.level) && read(*s, "format", l.format) &&
         read(*s, "include_location", l.include_location) && read(*s, "include_target", l.include_target);
    if (!ok) return std::nullopt;
  }
  if (!section(root, "firewall", s)) return std::nullopt;
  if (s) {
    auto& f = c.firewall;
    ok = read(*s, "enabled", f.enabled) && read(*s, "allowed_deps_file", f.allowed_deps_file) &&
         read(*s, "blocked_deps_file", f.blocked_deps_file) &&
         read(*s, "typosquat_detection", f.typosquat_detection) &&
         read(*s, "typosquat_threshold", f.typosquat_threshold);
    if (!ok) return std::nullopt;
  }
  if (!section(root, "governance", s)) return std::nullopt;
  if (s) {
    auto& g = c.governance;
    ok = read(*s, "require_index", g.require_index) && read(*s, "critical_paths", g.critical_paths) &&
         read(*s, "min_artifacts_per_critical_path", g.min_artifacts_per_critical_path) &&
         read(*s, "fail_closed_on_unavailable", g.fail_closed_on_unavailable) &&
         read(*s, "max_index_age_seconds", g.max_index_age_seconds);
    if (!ok) return std::nullopt;
  }
  return c;
}

ProjectConfig load_project_config(const std::filesystem::path& project_root) {
  auto text = read_regular_file(project_root / ".norvo" / "config.toml");
  if (!text) return {};
  return parse_project_config(*text).value_or(ProjectConfig{});
}

}  // namespace norvo
