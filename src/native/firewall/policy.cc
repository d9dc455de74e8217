// Policy loading. YAML is read through yaml-cpp's event parser into a small
// node arena of our own, so nesting depth, node count and alias expansion are
// bounded before anything recursive or large can happen; the arena is then
// mapped onto the Policy records field by field with their defaults.
#include "firewall/policy.h"

#include <sys/stat.h>

#include <limits>
#include <sstream>
#include <unordered_map>

#include <fmt/format.h>
#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/exceptions.h>
#include <yaml-cpp/mark.h>
#include <yaml-cpp/parser.h>

#include "core/logging.h"
#include "firewall/builtin_rules.h"
#include "firewall/read_text.h"
#include "util/levenshtein.h"
#include "util/text.h"

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

// ---- YAML into a bounded node arena ------------------------------------------

namespace {

// Far beyond any real policy file; they only stop hostile input.
constexpr size_t kMaxDepth = 128;
constexpr size_t kMaxNodes = 250'000;
constexpr size_t kMaxMaterialized = 500'000;  // values produced, aliases counted each time
constexpr size_t kMaxPolicyBytes = 64u << 20;

struct YNode {
  enum Kind : uint8_t { Null, Scalar, Seq, Map };
  Kind kind = Null;
  bool plain = false;          // unquoted scalar: subject to bool/int resolution
  std::string text;            // Scalar
  std::vector<uint32_t> items; // Seq: elements; Map: key, value, key, value, ...
  YAML::Mark mark;
};

struct YamlFailure {
  std::string message;
  YAML::Mark mark;
};

std::string at(const YAML::Mark& m) {
  if (m.is_null()) return {};
  return fmt::format(" at line {} column {}", m.line + 1, m.column + 1);
}

// YAML admits only printable characters. Checking first also keeps yaml-cpp
// from guessing UTF-16 or UTF-32 from NUL bytes in what is UTF-8 text.
void check_characters(std::string_view text) {
  size_t i = 0, line = 0, column = 0;
  while (i < text.size()) {
    char32_t c = util::next_scalar(text, i);
    bool printable = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0x7E) || c == 0x85 ||
                     (c >= 0xA0 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
    if (!printable) {
      YAML::Mark mark;
      mark.line = static_cast<int>(line);
      mark.column = static_cast<int>(column);
      throw YamlFailure{"control characters are not allowed", mark};
    }
    if (c == '\n') line++, column = 0;
    else column++;
  }
}

class ArenaBuilder : public YAML::EventHandler {
 public:
  explicit ArenaBuilder(std::vector<YNode>& nodes) : nodes_(nodes) {}

  std::optional<uint32_t> root() const { return root_; }

  void OnDocumentStart(const YAML::Mark& mark) override {
    if (documents_++ > 0)
      throw YamlFailure{"deserializing from YAML containing more than one document is not supported", mark};
  }
  void OnDocumentEnd() override {}

  void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override { add(YNode::Null, mark, anchor, false, {}); }

  void OnAlias(const YAML::Mark& mark, YAML::anchor_t anchor) override {
    auto it = anchors_.find(anchor);
    if (it == anchors_.end()) throw YamlFailure{"unknown anchor", mark};
    for (uint32_t open : open_)
      if (open == it->second) throw YamlFailure{"recursive alias", mark};
    attach(it->second);
  }

  void OnScalar(const YAML::Mark& mark, const std::string& tag, YAML::anchor_t anchor,
                const std::string& value) override {
    add(YNode::Scalar, mark, anchor, tag == "?", value);
  }

  void OnSequenceStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                       YAML::EmitterStyle::value) override {
    open(YNode::Seq, mark, anchor);
  }
  void OnSequenceEnd() override { open_.pop_back(); }

  void OnMapStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                  YAML::EmitterStyle::value) override {
    open(YNode::Map, mark, anchor);
  }
  void OnMapEnd() override { open_.pop_back(); }

 private:
  uint32_t add(YNode::Kind kind, const YAML::Mark& mark, YAML::anchor_t anchor, bool plain, const std::string& text) {
    if (nodes_.size() >= kMaxNodes) throw YamlFailure{"document has too many nodes", mark};
    YNode n;
    n.kind = kind;
    n.plain = plain;
    n.text = text;
    n.mark = mark;
    nodes_.push_back(std::move(n));
    uint32_t idx = static_cast<uint32_t>(nodes_.size() - 1);
    if (anchor != YAML::NullAnchor) anchors_[anchor] = idx;
    attach(idx);
    return idx;
  }

  void open(YNode::Kind kind, const YAML::Mark& mark, YAML::anchor_t anchor) {
    // Refusing here, before the parser descends, is what bounds its recursion.
    if (open_.size() >= kMaxDepth) throw YamlFailure{"recursion limit exceeded", mark};
    uint32_t idx = add(kind, mark, anchor, false, {});
    open_.push_back(idx);
  }

  void attach(uint32_t idx) {
    if (open_.empty()) {
      root_ = idx;
    } else {
      nodes_[open_.back()].items.push_back(idx);
    }
  }

  std::vector<YNode>& nodes_;
  std::vector<uint32_t> open_;
  std::unordered_map<YAML::anchor_t, uint32_t> anchors_;
  std::optional<uint32_t> root_;
  int documents_ = 0;
};

// ---- arena onto Policy --------------------------------------------------------

// Maps nodes onto records. Throws YamlFailure (caught in parse_policy) with a
// message prefixed by the field path, e.g. "blocked_patterns[0]: missing field `reason`".
class Mapper {
 public:
  explicit Mapper(const std::vector<YNode>& nodes) : n_(nodes) {}

  Policy policy(std::optional<uint32_t> root) {
    Policy p;
    if (!root || n_[*root].kind == YNode::Null) return p;  // empty document: every default
    record(*root, "struct Policy", [&](std::string_view key, uint32_t v) {
      if (key == "version") p.version = text(v, "version");
      else if (key == "mode") p.mode = mode(v, "mode");
      else if (key == "allowed_packages") p.allowed_packages = texts(v, "allowed_packages");
      else if (key == "blocked_patterns") p.blocked_patterns = list<BlockedPattern>(v, "blocked_patterns", &Mapper::blocked);
      else if (key == "allowed_internal_patterns") p.allowed_internal_patterns = texts(v, "allowed_internal_patterns");
      else if (key == "typo_detection") p.typo_detection = typo_detection(v, "typo_detection");
      else if (key == "atlas") p.atlas = atlas(v, "atlas");
      else if (key == "internal_prefixes") p.internal_prefixes = texts(v, "internal_prefixes");
      else return false;
      return true;
    });
    return p;
  }

 private:
  [[noreturn]] void fail(uint32_t v, std::string_view path, std::string_view message) const {
    throw YamlFailure{path.empty() ? std::string(message) : fmt::format("{}: {}", path, message), n_[v].mark};
  }

  void spend(uint32_t v, std::string_view path) {
    if (++materialized_ > kMaxMaterialized) fail(v, path, "repetition limit exceeded");
  }

  std::string describe(uint32_t v) const {
    const YNode& n = n_[v];
    switch (n.kind) {
      case YNode::Null: return "unit value";
      case YNode::Seq: return "sequence";
      case YNode::Map: return "map";
      case YNode::Scalar: return fmt::format("string \"{}\"", n.text.size() > 64 ? n.text.substr(0, 64) + "..." : n.text);
    }
    return "value";
  }

  // Visits the pairs of a mapping; `field` returns false for keys it does not
  // know, which are ignored. A known key given twice is an error.
  template <class F>
  void record(uint32_t v, std::string_view expected, F&& field, std::string_view path = {}) {
    spend(v, path);
    const YNode& n = n_[v];
    if (n.kind != YNode::Map) fail(v, path, fmt::format("invalid type: {}, expected {}", describe(v), expected));
    std::vector<std::string> seen;
    for (size_t i = 0; i + 1 < n.items.size(); i += 2) {
      const YNode& key = n_[n.items[i]];
      if (key.kind != YNode::Scalar) continue;  // non-text keys cannot name a field
      if (!field(std::string_view(key.text), n.items[i + 1])) continue;
      for (const auto& s : seen)
        if (s == key.text) fail(n.items[i], path, fmt::format("duplicate field `{}`", key.text));
      seen.push_back(key.text);
    }
  }

  void require(uint32_t v, std::string_view path, bool present, std::string_view name) const {
    if (!present) fail(v, path, fmt::format("missing field `{}`", name));
  }

  std::string text(uint32_t v, std::string_view path) {
    spend(v, path);
    if (n_[v].kind != YNode::Scalar) fail(v, path, fmt::format("invalid type: {}, expected a string", describe(v)));
    return n_[v].text;
  }

  bool boolean(uint32_t v, std::string_view path) {
    spend(v, path);
    const YNode& n = n_[v];
    if (n.kind == YNode::Scalar && n.plain) {
      if (n.text == "true" || n.text == "True" || n.text == "TRUE") return true;
      if (n.text == "false" || n.text == "False" || n.text == "FALSE") return false;
    }
    fail(v, path, fmt::format("invalid type: {}, expected a boolean", describe(v)));
  }

  uint64_t unsigned_int(uint32_t v, std::string_view path) {
    spend(v, path);
    const YNode& n = n_[v];
    if (n.kind == YNode::Scalar && n.plain) {
      std::string_view t = n.text;
      if (!t.empty() && t.front() == '+') t.remove_prefix(1);
      int base = 10;
      if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'o' || t[1] == 'b')) {
        base = t[1] == 'x' ? 16 : t[1] == 'o' ? 8 : 2;
        t.remove_prefix(2);
      }
      if (!t.empty()) {
        uint64_t value = 0;
        bool ok = true;
        for (char c : t) {
          int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
          if (d >= base) {
            ok = false;
            break;
          }
          if (value > (std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base))
            fail(v, path, fmt::format("invalid value: integer `{}` out of range for u64", n.text));
          value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        }
        if (ok) return value;
      }
      if (!n.text.empty() && n.text.front() == '-')
        fail(v, path, fmt::format("invalid value: integer `{}`, expected u64", n.text));
    }
    fail(v, path, fmt::format("invalid type: {}, expected u64", describe(v)));
  }

  template <class E, size_t N>
  E word(uint32_t v, std::string_view path, const std::pair<std::string_view, E> (&words)[N]) {
    spend(v, path);
    const YNode& n = n_[v];
    std::string expected;
    for (size_t i = 0; i < N; ++i) expected += fmt::format("{}`{}`", i ? ", " : "", words[i].first);
    if (n.kind != YNode::Scalar)
      fail(v, path, fmt::format("invalid type: {}, expected one of {}", describe(v), expected));
    for (const auto& [w, e] : words)
      if (n.text == w) return e;
    fail(v, path, fmt::format("unknown variant `{}`, expected one of {}", n.text, expected));
  }

  PolicyMode mode(uint32_t v, std::string_view path) {
    static const std::pair<std::string_view, PolicyMode> words[] = {
        {"strict", PolicyMode::Strict}, {"audit_only", PolicyMode::AuditOnly}, {"disabled", PolicyMode::Disabled}};
    return word(v, path, words);
  }

  Severity severity(uint32_t v, std::string_view path) {
    static const std::pair<std::string_view, Severity> words[] = {
        {"Critical", Severity::Critical}, {"High", Severity::High}, {"Medium", Severity::Medium}, {"Low", Severity::Low}};
    return word(v, path, words);
  }

  template <class T>
  std::vector<T> list(uint32_t v, std::string_view path, T (Mapper::*item)(uint32_t, std::string_view)) {
    spend(v, path);
    const YNode& n = n_[v];
    if (n.kind != YNode::Seq) fail(v, path, fmt::format("invalid type: {}, expected a sequence", describe(v)));
    std::vector<T> out;
    out.reserve(n.items.size());
    for (size_t i = 0; i < n.items.size(); ++i)
      out.push_back((this->*item)(n.items[i], fmt::format("{}[{}]", path, i)));
    return out;
  }

  std::vector<std::string> texts(uint32_t v, std::string_view path) { return list<std::string>(v, path, &Mapper::text); }

  BlockedPattern blocked(uint32_t v, std::string_view path) {
    BlockedPattern b;
    bool has_pattern = false, has_reason = false;
    record(v, "struct BlockedPattern", [&](std::string_view key, uint32_t f) {
      std::string sub = fmt::format("{}.{}", path, key);
      if (key == "pattern") b.pattern = text(f, sub), has_pattern = true;
      else if (key == "reason") b.reason = text(f, sub), has_reason = true;
      else if (key == "severity") b.severity = severity(f, sub);
      else if (key == "is_prefix_match") b.is_prefix_match = boolean(f, sub);
      else if (key == "alternatives") b.alternatives = texts(f, sub);
      else return false;
      return true;
    }, path);
    require(v, path, has_pattern, "pattern");
    require(v, path, has_reason, "reason");
    return b;
  }

  KnownTypo known_typo(uint32_t v, std::string_view path) {
    KnownTypo t;
    bool has_actual = false, has_typos = false;
    record(v, "struct KnownTypo", [&](std::string_view key, uint32_t f) {
      std::string sub = fmt::format("{}.{}", path, key);
      if (key == "actual") t.actual = text(f, sub), has_actual = true;
      else if (key == "typos") t.typos = texts(f, sub), has_typos = true;
      else return false;
      return true;
    }, path);
    require(v, path, has_actual, "actual");
    require(v, path, has_typos, "typos");
    return t;
  }

  TypoDetectionConfig typo_detection(uint32_t v, std::string_view path) {
    TypoDetectionConfig c;
    record(v, "struct TypoDetectionConfig", [&](std::string_view key, uint32_t f) {
      std::string sub = fmt::format("{}.{}", path, key);
      if (key == "enabled") c.enabled = boolean(f, sub);
      else if (key == "max_edit_distance") c.max_edit_distance = unsigned_int(f, sub);
      else if (key == "known_typos") c.known_typos = list<KnownTypo>(f, sub, &Mapper::known_typo);
      else return false;
      return true;
    }, path);
    return c;
  }

  AtlasConfig atlas(uint32_t v, std::string_view path) {
    AtlasConfig c;
    record(v, "struct AtlasConfig", [&](std::string_view key, uint32_t f) {
      std::string sub = fmt::format("{}.{}", path, key);
      if (key == "enabled") c.enabled = boolean(f, sub);
      else if (key == "fail_open") c.fail_open = boolean(f, sub);
      else if (key == "db_path") c.db_path = text(f, sub);
      else if (key == "cache_ttl") c.cache_ttl = unsigned_int(f, sub);
      else return false;
      return true;
    }, path);
    return c;
  }

  const std::vector<YNode>& n_;
  size_t materialized_ = 0;
};

}  // namespace

FwResult<Policy> parse_policy(std::string_view yaml_text) {
  try {
    check_characters(yaml_text);
    std::vector<YNode> nodes;
    std::istringstream in{std::string(yaml_text)};
    YAML::Parser parser(in);
    ArenaBuilder builder(nodes);
    while (parser.HandleNextDocument(builder)) {
    }
    Mapper mapper(nodes);
    return mapper.policy(builder.root());
  } catch (const YamlFailure& f) {
    return std::unexpected(FirewallError::yaml(f.message + at(f.mark)));
  } catch (const YAML::Exception& e) {
    return std::unexpected(FirewallError::yaml(e.msg + at(e.mark)));
  } catch (const std::bad_alloc&) {
    return std::unexpected(FirewallError::yaml("out of memory"));
  } catch (const std::exception& e) {
    return std::unexpected(FirewallError::yaml(e.what()));
  }
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
  auto text = read_utf8_file(path.native(), kMaxPolicyBytes);
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
