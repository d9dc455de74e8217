// The firewall policy: its data model, the firewall's error type, loading
// `.norvo/firewall.yaml` with per-field defaults, validation, and the report
// of where the policy comes from.
//
// Loading never fails from the caller's point of view: any problem with the
// file is logged as a warning and the production defaults are used instead.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace norvo::firewall {

inline constexpr std::string_view kLogTarget = "norvo_native::firewall";

enum class PolicyMode : uint8_t { Strict = 0, AuditOnly = 1, Disabled = 2 };
enum class Severity : uint8_t { Critical = 0, High = 1, Medium = 2, Low = 3 };

// "strict", "audit_only", "disabled": the YAML word and the usual text form.
std::string_view mode_word(PolicyMode m);
// "Strict", "AuditOnly", "Disabled": used only by the policy-info report.
std::string_view mode_name(PolicyMode m);
// "Critical", "High", "Medium", "Low": YAML word and text form alike.
std::string_view severity_name(Severity s);

struct BlockedPattern {
  std::string pattern;  // import path or path prefix, compared per character
  std::string reason;
  Severity severity = Severity::Medium;
  bool is_prefix_match = false;
  std::vector<std::string> alternatives;
};

struct KnownTypo {
  std::string actual;
  std::vector<std::string> typos;
};

struct TypoDetectionConfig {
  bool enabled = true;
  uint64_t max_edit_distance = 2;
  std::vector<KnownTypo> known_typos;
};

struct AtlasConfig {
  bool enabled = true;
  bool fail_open = true;
  std::string db_path = "atlas.sqlite";
  uint64_t cache_ttl = 300;
};

struct Policy {
  std::string version = "1.0";
  PolicyMode mode = PolicyMode::Strict;
  std::vector<std::string> allowed_packages;
  std::vector<BlockedPattern> blocked_patterns;
  std::vector<std::string> allowed_internal_patterns;
  TypoDetectionConfig typo_detection;
  AtlasConfig atlas;
  std::vector<std::string> internal_prefixes;
};

// The firewall's single error type; `to_string()` is the fixed text form.
struct FirewallError {
  enum class Kind : uint8_t { BlockedPattern, PolicyError, YamlParse };
  Kind kind = Kind::PolicyError;
  std::string package;      // BlockedPattern
  std::string pattern;      // BlockedPattern
  std::string config_path;  // PolicyError
  std::string reason;       // BlockedPattern, PolicyError
  std::string message;      // YamlParse

  static FirewallError blocked(std::string package, std::string pattern, std::string reason);
  static FirewallError policy(std::string config_path, std::string reason);
  static FirewallError yaml(std::string message);

  // "Package '{}' blocked by pattern '{}': {}", "Policy error in '{}': {}",
  // "YAML parse error: {}".
  std::string to_string() const;
};

template <class T>
using FwResult = std::expected<T, FirewallError>;

// Package-entry normalisation: trim, then cut at the first of " !<=>[~" when
// it is not the first character ("requests>=2.0" -> "requests").
std::string normalize_package(std::string_view entry);

// Parses one YAML document into a Policy, applying per-field defaults and
// ignoring unknown keys. Empty text (or only comments) is an empty mapping.
// Hostile input (deep nesting, alias bombs, enormous documents) is refused
// with a YamlParse error rather than exhausting the stack or memory.
FwResult<Policy> parse_policy(std::string_view yaml_text);

// The two validation rules of a parsed policy (strict needs allowed packages;
// no allowed entry may normalise to empty).
FwResult<void> validate_policy(const Policy& policy);

// project_root / ".norvo" / "firewall.yaml".
std::filesystem::path policy_path(std::string_view project_root);

// Reads, parses and validates the policy file of `project_root`.
FwResult<Policy> load_policy_file(std::string_view project_root);

// The policy in effect for a new firewall: the file's, or the production
// defaults after a WARN record naming the path and the error.
Policy load_policy(std::string_view project_root);

// Where the policy comes from, judged by the file's presence right now.
struct PolicySource {
  std::string source;  // "file" or "production_defaults"
  std::string path;    // the policy path text, or "" for the defaults
};
PolicySource policy_source(std::string_view project_root);

}  // namespace norvo::firewall
