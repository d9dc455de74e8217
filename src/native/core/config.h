// ProjectConfig: the project's .norvo/config.toml, read once per opened Atlas.
// Loading never fails: a missing, unreadable or invalid file (one wrongly typed
// value anywhere) yields the defaults of every section, silently.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace norvo {

struct AtlasConfig {
  std::vector<std::string> ignore_patterns{"__pycache__", ".venv", "venv", "node_modules", ".git",
                                           ".tox", ".pytest_cache", ".mypy_cache", "*.egg-info"};
  uint64_t max_file_size = 1000000;
  uint64_t parallel_workers = 4;
  std::string db_filename = "atlas.sqlite";
  bool incremental = true;
  bool extract_docstrings = true;
  bool detect_endpoints = true;
  bool detect_contracts = true;
  bool auto_scan_on_first_search = true;
  bool track_git_commit = true;
};

struct SecurityConfig {
  std::vector<std::string> allowed_extensions{"py", "pyi", "md", "rst", "txt", "yaml", "yml", "toml", "json"};
  std::vector<std::string> denied_extensions{"pem", "key", "crt", "p12", "pfx", "jks", "keystore"};
  std::vector<std::string> denied_directories{"secrets", "certs", "certificates", "private", ".ssh"};
  std::vector<std::string> denied_file_patterns{".env",     ".env.*",       "*.secret",   "*.secrets",
                                                "id_rsa*",  "id_ed25519*",  "*password*", "*credentials*"};
  bool strict_mode = false;
};

struct LoggingConfig {
  std::string level = "info";
  std::string format = "pretty";
  bool include_location = false;
  bool include_target = true;
};

struct FirewallConfig {
  bool enabled = false;
  std::optional<std::string> allowed_deps_file;
  std::optional<std::string> blocked_deps_file;
  bool typosquat_detection = true;
  double typosquat_threshold = 0.8;
};

struct GovernanceConfig {
  bool require_index = false;
  std::vector<std::string> critical_paths;
  uint64_t min_artifacts_per_critical_path = 1;
  bool fail_closed_on_unavailable = false;
  uint64_t max_index_age_seconds = 0;
};

struct ProjectConfig {
  AtlasConfig atlas;
  SecurityConfig security;
  LoggingConfig logging;
  FirewallConfig firewall;
  GovernanceConfig governance;
};

// Reads `project_root`/.norvo/config.toml; defaults on any problem.
ProjectConfig load_project_config(const std::filesystem::path& project_root);

// Parses TOML text; nullopt when the text or any known value is invalid.
std::optional<ProjectConfig> parse_project_config(std::string_view toml_text);

}  // namespace norvo
