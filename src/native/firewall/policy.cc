// Policy loading. YAML goes through the bounded reader of util/yaml_reader.h
// (nesting depth, node count, alias expansion and file size limited, control
// characters refused) and is mapped onto the Policy records field by field
// with their defaults.
#include "firewall/policy.h"

#include <sys/stat.h>

#include <fmt/format.h>

#include "core/logging.h"
#include "firewall/builtin_rules.h"
#include "util/read_text.h"
#include "util/text.h"
#include "util/yaml_reader.h"

namespace norvo::firewall {

// ---- names and texts --------------------------------------------------------

std::string_view mode_word(PolicyMode m) {
  switch (m) {
    case PolicyMode::Strict: return "strict";
    case PolicyMode::AuditOnly: return "audit_only";
    case PolicyMode::Disabled: return "disabled";
  }
  return "strict";
}

std::string_view mode_name(PolicyMode m) {
  switch (m) {
    case PolicyMode::Strict: return "Strict";
    case PolicyMode::AuditOnly: return "AuditOnly";
    case PolicyMode::Disabled: return "Disabled";
  }
  return "Strict";
}

std::string_view severity_name(Severity s) {
  switch (s) {
    case Severity::Critical: return "Critical";
    case Severity::High: return "High";
    case Severity::Medium: return "Medium";
    case Severity::Low: return "Low";
  }
  return "Medium";
}

FirewallError FirewallError::blocked(std::string package, std::string pattern, std::string reason) {
  FirewallError e;
  e.kind = Kind::BlockedPattern;
  e.package = std::move(package);
  e.pattern = std::move(pattern);
  e.reason = std::move(reason);
  return e;
}

FirewallError FirewallError::policy(std::string config_path, std::string reason) {
  FirewallError e;
  e.kind = Kind::PolicyError;
  e.config_path = std::move(config_path);
  e.reason = std::move(reason);
  return e;
}

FirewallError FirewallError::yaml(std::string message) {
  FirewallError e;
  e.kind = Kind::YamlParse;
  e.message = std::move(message);
  return e;
}

std::string FirewallError::to_string() const {
  switch (kind) {
    case Kind::BlockedPattern: return fmt::format("Package '{}' blocked by pattern '{}': {}", package, pattern, reason);
    case Kind::PolicyError: return fmt::format("Policy error in '{}': {}", config_path, reason);
    case Kind::YamlParse: return fmt::format("YAML parse error: {}", message);
  }
  return message;
}

std::string normalize_package(std::string_view entry) {
  std::string_view t = util::trim(entry);
  size_t cut = t.find_first_of(" !<=>[~");
  if (cut != std::string_view::npos && cut > 0) t = t.substr(0, cut);
  return std::string(t);
}

// ---- YAML onto Policy ----------------------------------------------------------

namespace {

using util::yaml::key;
using util::yaml::Node;
using util::yaml::required;

// Far beyond any real policy file; they only stop hostile input.
constexpr util::yaml::Options kPolicyYaml{
    .max_depth = 128,
    .max_nodes = 250'000,
    .max_values = 500'000,
    .max_bytes = 64u << 20,
    .refuse_control_characters = true,
    .plain_null_words = false,
    .second_document = "deserializing from YAML containing more than one document is not supported",
};

// Maps the document onto the records with their defaults. Throws
// util::yaml::Failure with a message prefixed by the field path, e.g.
// "blocked_patterns[0]: missing field `reason`".
class Mapper : public util::yaml::Fields<Mapper> {
 public:
  using Fields::Fields;

  Policy policy(std::optional<uint32_t> root) {
    Policy p;
    if (!root || node(*root).kind == Node::Null) return p;  // empty document: every default
    fields(*root, "struct Policy", {}, key("version", p.version), key("mode", p.mode),
           key("allowed_packages", p.allowed_packages), key("blocked_patterns", p.blocked_patterns),
           key("allowed_internal_patterns", p.allowed_internal_patterns), key("typo_detection", p.typo_detection),
           key("atlas", p.atlas), key("internal_prefixes", p.internal_prefixes));
    return p;
  }

 private:
  friend class util::yaml::Fields<Mapper>;

  void get(uint64_t& out, uint32_t v, std::string_view path) {
    spend(v, path);
    if (auto value = plain_unsigned(v, path, true)) {
      out = *value;
      return;
    }
    const Node& n = node(v);
    if (n.kind == Node::Scalar && n.plain && !n.text.empty() && n.text.front() == '-')
      fail(v, path, fmt::format("invalid value: integer `{}`, expected u64", n.text));
    fail(v, path, fmt::format("invalid type: {}, expected u64", describe(v)));
  }

  void get(PolicyMode& out, uint32_t v, std::string_view path) {
    static const std::pair<std::string_view, PolicyMode> words[] = {
        {"strict", PolicyMode::Strict}, {"audit_only", PolicyMode::AuditOnly}, {"disabled", PolicyMode::Disabled}};
    out = word(v, path, words);
  }

  void get(Severity& out, uint32_t v, std::string_view path) {
    static const std::pair<std::string_view, Severity> words[] = {
        {"Critical", Severity::Critical}, {"High", Severity::High}, {"Medium", Severity::Medium}, {"Low", Severity::Low}};
    out = word(v, path, words);
  }

  void get(BlockedPattern& out, uint32_t v, std::string_view path) {
    fields(v, "struct BlockedPattern", path, required("pattern", out.pattern), required("reason", out.reason),
           key("severity", out.severity), key("is_prefix_match", out.is_prefix_match),
           key("alternatives", out.alternatives));
  }

  void get(KnownTypo& out, uint32_t v, std::string_view path) {
    fields(v, "struct KnownTypo", path, required("actual", out.actual), required("typos", out.typos));
  }

  void get(TypoDetectionConfig& out, uint32_t v, std::string_view path) {
    fields(v, "struct TypoDetectionConfig", path, key("enabled", out.enabled),
           key("max_edit_distance", out.max_edit_distance), key("known_typos", out.known_typos));
  }

  void get(AtlasConfig& out, uint32_t v, std::string_view path) {
    fields(v, "struct AtlasConfig", path, key("enabled", out.enabled), key("fail_open", out.fail_open),
           key("db_path", out.db_path), key("cache_ttl", out.cache_ttl));
  }
};

}  // namespace

FwResult<Policy> parse_policy(std::string_view yaml_text) {
  Policy policy;
  auto read = util::yaml::read(yaml_text, kPolicyYaml, [&](const util::yaml::Document& doc) {
    policy = Mapper(doc, kPolicyYaml).policy(doc.root);
  });
  if (!read) return std::unexpected(FirewallError::yaml(std::move(read.error())));
  return policy;
}

FwResult<void> validate_policy(const Policy& policy) {
  if (policy.allowed_packages.empty() && policy.mode == PolicyMode::Strict)
    return std::unexpected(FirewallError::policy("config", "No allowed packages in strict mode"));
  for (const auto& entry : policy.allowed_packages)
    if (normalize_package(entry).empty())
      return std::unexpected(FirewallError::policy("config", "allowed_packages contains empty or invalid entries"));
  return {};
}

std::filesystem::path policy_path(std::string_view project_root) {
  return std::filesystem::path(std::string(project_root)) / ".norvo" / "firewall.yaml";
}

FwResult<Policy> load_policy_file(std::string_view project_root) {
  std::filesystem::path path = policy_path(project_root);
  auto text = util::read_utf8_file(path.native(), kPolicyYaml.max_bytes);
  if (!text) return std::unexpected(FirewallError::policy(util::path_text(path), text.error()));
  auto policy = parse_policy(*text);
  if (!policy) return policy;
  if (auto ok = validate_policy(*policy); !ok) return std::unexpected(ok.error());
  return policy;
}

Policy load_policy(std::string_view project_root) {
  auto loaded = load_policy_file(project_root);
  if (loaded) return std::move(*loaded);
  NLOG_WARN(kLogTarget, "No firewall policy found at " + util::path_text(policy_path(project_root)) + ": " +
                            loaded.error().to_string() + ", using production defaults");
  return production_defaults();
}

PolicySource policy_source(std::string_view project_root) {
  std::filesystem::path path = policy_path(project_root);
  struct stat st{};
  bool exists = project_root.find('\0') == std::string_view::npos && ::stat(path.c_str(), &st) == 0;
  if (exists) return {"file", util::path_text(path)};
  return {"production_defaults", ""};
}

}  // namespace norvo::firewall
