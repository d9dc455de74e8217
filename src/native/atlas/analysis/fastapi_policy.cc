// Scaling policy: built-in rules, YAML loading, JSON form.
//
// YAML goes through yaml-cpp's event parser into a small node arena of our
// own, so nesting depth, node count, document size and alias expansion are
// bounded before anything recursive or large can happen; the arena is then
// mapped onto the records field by field with their defaults.
#include "atlas/analysis/fastapi_policy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <sstream>
#include <unordered_map>

#include <fmt/format.h>
#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/exceptions.h>
#include <yaml-cpp/mark.h>
#include <yaml-cpp/parser.h>

#include "util/text.h"

namespace norvo::atlas::analysis {

std::string_view severity_text(ScalingSeverity s) {
  switch (s) {
    case ScalingSeverity::Critical: return "Critical";
    case ScalingSeverity::High: return "High";
    case ScalingSeverity::Medium: return "Medium";
    case ScalingSeverity::Low: return "Low";
  }
  return "High";
}

std::string_view scope_text(ScopeKind s) {
  switch (s) {
    case ScopeKind::Endpoint: return "endpoint";
    case ScopeKind::Dependency: return "dependency";
    case ScopeKind::Lifespan: return "lifespan";
    case ScopeKind::Middleware: return "middleware";
    case ScopeKind::BackgroundTask: return "background_task";
  }
  return "endpoint";
}

bool CallPattern::matches(std::string_view callee) const {
  return is_prefix_match ? callee.starts_with(pattern) : callee == pattern;
}

bool CallPattern::counts_at(ScopeKind scope) const {
  auto has = [scope](const std::vector<ScopeKind>& v) { return std::find(v.begin(), v.end(), scope) != v.end(); };
  if (has(forbidden_scopes)) return true;
  return !allowed_scopes.empty() && !has(allowed_scopes);
}

// ---- built-in policy ---------------------------------------------------------

EndpointRules endpoint_rules_builtin() {
  EndpointRules r;
  r.warn_on_sync_handlers = true;
  return r;
}

RouterRules router_rules_builtin() {
  RouterRules r;
  r.warn_on_direct_app_routes = true;
  return r;
}

MiddlewareRules middleware_rules_builtin() {
  MiddlewareRules r;
  r.warn_on_base_http_middleware = true;
  return r;
}

BackgroundTaskRules background_task_rules_builtin() {
  BackgroundTaskRules r;
  r.prefer_job_queues_for_heavy_tasks = true;
  return r;
}

namespace {

CallPattern builtin_pattern(std::string pattern, std::string category, ScalingSeverity severity, bool in_endpoint,
                            std::string suggestion) {
  CallPattern p;
  p.pattern = std::move(pattern);
  p.category = std::move(category);
  p.severity = severity;
  p.suggestion = std::move(suggestion);
  p.is_prefix_match = true;
  if (in_endpoint) p.forbidden_scopes = {ScopeKind::Endpoint};
  return p;
}

constexpr const char* kCommitAdvice = "Prefer transactional dependencies and avoid committing directly in endpoints";
constexpr const char* kSessionmakerAdvice =
    "Ensure sessionmaker/engine are constructed once and reused via dependencies";
constexpr const char* kAsyncSessionmakerAdvice =
    "Ensure async_sessionmaker/engine are constructed once and reused via dependencies";
constexpr const char* kEngineAdvice = "Construct engines once at startup and reuse via dependency injection";
constexpr const char* kAsyncEngineAdvice = "Construct async engines once at startup and reuse via dependency injection";
constexpr const char* kQueryAdvice = "Use async DB drivers or offload heavy queries to worker contexts";

// Rows 3 to 8 of the external-call list, shared with the database list.
std::vector<CallPattern> builtin_db_setup_patterns() {
  using S = ScalingSeverity;
  return {
      builtin_pattern("session.commit", "db_commit", S::High, true, kCommitAdvice),
      builtin_pattern("Session.commit", "db_commit", S::High, true, kCommitAdvice),
      builtin_pattern("sessionmaker", "db_pooling", S::Medium, false, kSessionmakerAdvice),
      builtin_pattern("async_sessionmaker", "db_pooling", S::Medium, false, kAsyncSessionmakerAdvice),
      builtin_pattern("create_engine", "db_engine", S::Medium, false, kEngineAdvice),
      builtin_pattern("async_engine", "db_engine", S::Medium, false, kAsyncEngineAdvice),
  };
}

}  // namespace

FastapiScalingPolicy builtin_scaling_policy() {
  using S = ScalingSeverity;
  FastapiScalingPolicy p;
  p.version = "1.0";

  p.external_calls = {
      builtin_pattern("requests.", "external_http", S::Medium, true,
                      "Perform external HTTP work asynchronously or via background jobs where possible"),
      builtin_pattern("httpx.", "external_http", S::Medium, true,
                      "Ensure outbound HTTP calls are awaited and consider timeouts/retries"),
  };
  for (auto& c : builtin_db_setup_patterns()) p.external_calls.push_back(std::move(c));

  p.db_query_calls = {
      builtin_pattern("session.execute", "db_query", S::High, true, kQueryAdvice),
      builtin_pattern("Session.execute", "db_query", S::High, true, kQueryAdvice),
  };
  for (auto& c : builtin_db_setup_patterns()) p.db_query_calls.push_back(std::move(c));
  p.db_query_calls.push_back(
      builtin_pattern("sqlalchemy.orm.sessionmaker", "db_pooling", S::Medium, false, kSessionmakerAdvice));
  p.db_query_calls.push_back(
      builtin_pattern("sqlalchemy.orm.async_sessionmaker", "db_pooling", S::Medium, false, kAsyncSessionmakerAdvice));
  p.db_query_calls.push_back(builtin_pattern("sqlalchemy.create_engine", "db_engine", S::Medium, false, kEngineAdvice));
  p.db_query_calls.push_back(
      builtin_pattern("sqlalchemy.ext.asyncio.create_async_engine", "db_engine", S::Medium, false, kAsyncEngineAdvice));

  p.env_call_patterns = {
      builtin_pattern("os.getenv", "env_access", S::Medium, false,
                      "Centralize environment access in settings classes and avoid scattering os.getenv"),
      builtin_pattern("os.environ.get", "env_access", S::Medium, false,
                      "Centralize environment access in settings classes and avoid scattering os.environ lookups"),
  };
  return p;
}

// ---- YAML into a bounded node arena -------------------------------------------

namespace {

// Far beyond any real policy file; they only stop hostile input.
constexpr size_t kMaxDepth = 64;
constexpr size_t kMaxNodes = 200'000;
constexpr size_t kMaxMaterialized = 200'000;  // values mapped, aliases counted each time
constexpr size_t kMaxPolicyBytes = 8u << 20;

struct YNode {
  enum Kind : uint8_t { Null, Scalar, Seq, Map };
  Kind kind = Null;
  bool plain = false;           // unquoted scalar: subject to null/bool/int resolution
  std::string text;             // Scalar
  std::vector<uint32_t> items;  // Seq: elements; Map: key, value, key, value, ...
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

bool is_null_word(const YNode& n) {
  return n.kind == YNode::Null ||
         (n.kind == YNode::Scalar && n.plain &&
          (n.text.empty() || n.text == "~" || n.text == "null" || n.text == "Null" || n.text == "NULL"));
}

class ArenaBuilder : public YAML::EventHandler {
 public:
  explicit ArenaBuilder(std::vector<YNode>& nodes) : nodes_(nodes) {}

  std::optional<uint32_t> root() const { return root_; }

  void OnDocumentStart(const YAML::Mark& mark) override {
    if (documents_++ > 0) throw YamlFailure{"content after the end of the first YAML document (only one document is read; check the indentation)", mark};
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
    auto idx = static_cast<uint32_t>(nodes_.size() - 1);
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

// ---- arena onto the policy records ---------------------------------------------

// Throws YamlFailure with the field path in front of the description, e.g.
// "endpoints.blocking_calls[0]: missing field `pattern`".
class Mapper {
 public:
  explicit Mapper(const std::vector<YNode>& nodes) : n_(nodes) {}

  FastapiScalingPolicy policy(std::optional<uint32_t> root) {
    if (!root) throw YamlFailure{"empty document, expected struct FastapiScalingPolicy", YAML::Mark::null_mark()};
    FastapiScalingPolicy p;
    bool has_version = false;
    record(*root, "struct FastapiScalingPolicy", {}, [&](std::string_view key, uint32_t v, const std::string& sub) {
      if (key == "version") p.version = text(v, sub), has_version = true;
      else if (key == "enabled") p.enabled = boolean(v, sub);
      else if (key == "endpoints") p.endpoints = endpoints(v, sub);
      else if (key == "dependencies") p.dependencies = dependencies(v, sub);
      else if (key == "routers") p.routers = routers(v, sub);
      else if (key == "lifespan") p.lifespan = lifespan(v, sub);
      else if (key == "middleware") p.middleware = middleware(v, sub);
      else if (key == "background_tasks") p.background_tasks = background_tasks(v, sub);
      else if (key == "models") p.models = models(v, sub);
      else if (key == "external_calls") p.external_calls = list(v, sub, &Mapper::call_pattern);
      else if (key == "db_query_calls") p.db_query_calls = list(v, sub, &Mapper::call_pattern);
      else if (key == "env_call_patterns") p.env_call_patterns = list(v, sub, &Mapper::call_pattern);
      else return false;
      return true;
    });
    require(*root, {}, has_version, "version");
    return p;
  }

 private:
  using Field = std::string_view;

  [[noreturn]] void fail(uint32_t v, std::string_view path, std::string_view message) const {
    throw YamlFailure{path.empty() ? std::string(message) : fmt::format("{}: {}", path, message), n_[v].mark};
  }

  void spend(uint32_t v, std::string_view path) {
    if (++materialized_ > kMaxMaterialized) fail(v, path, "repetition limit exceeded");
  }

  std::string describe(uint32_t v) const {
    const YNode& n = n_[v];
    if (is_null_word(n)) return "unit value";
    switch (n.kind) {
      case YNode::Seq: return "sequence";
      case YNode::Map: return "map";
      default: break;
    }
    std::string shown = n.text.size() > 64 ? n.text.substr(0, 64) + "..." : n.text;
    return fmt::format("string \"{}\"", shown);
  }

  static std::string join(std::string_view path, std::string_view key) {
    return path.empty() ? std::string(key) : fmt::format("{}.{}", path, key);
  }

  // Visits the pairs of a mapping; `field` returns false for keys it does not
  // know, which are ignored. A known key given twice is an error.
  template <class F>
  void record(uint32_t v, std::string_view expected, std::string_view path, F&& field) {
    spend(v, path);
    const YNode& n = n_[v];
    if (n.kind != YNode::Map) fail(v, path, fmt::format("invalid type: {}, expected {}", describe(v), expected));
    std::vector<std::string_view> seen;
    for (size_t i = 0; i + 1 < n.items.size(); i += 2) {
      const YNode& key = n_[n.items[i]];
      if (key.kind != YNode::Scalar) continue;  // non-text keys cannot name a field
      std::string_view name = key.text;
      if (!field(name, n.items[i + 1], join(path, name))) continue;
      if (std::find(seen.begin(), seen.end(), name) != seen.end())
        fail(n.items[i], path, fmt::format("duplicate field `{}`", name));
      seen.push_back(name);
    }
  }

  void require(uint32_t v, std::string_view path, bool present, std::string_view name) const {
    if (!present) fail(v, path, fmt::format("missing field `{}`", name));
  }

  std::string text(uint32_t v, std::string_view path) {
    spend(v, path);
    const YNode& n = n_[v];
    if (n.kind != YNode::Scalar || is_null_word(n))
      fail(v, path, fmt::format("invalid type: {}, expected a string", describe(v)));
    return n.text;
  }

  std::optional<std::string> opt_text(uint32_t v, std::string_view path) {
    if (is_null_word(n_[v])) return std::nullopt;
    return text(v, path);
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

  std::optional<uint64_t> opt_count(uint32_t v, std::string_view path) {
    spend(v, path);
    const YNode& n = n_[v];
    if (is_null_word(n)) return std::nullopt;
    if (n.kind == YNode::Scalar && n.plain) {
      std::string_view t = n.text;
      if (!t.empty() && t.front() == '+') t.remove_prefix(1);
      int base = 10;
      if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'o')) {
        base = t[1] == 'x' ? 16 : 8;
        t.remove_prefix(2);
      }
      bool digits = !t.empty();
      uint64_t value = 0;
      for (char c : t) {
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
        if (d >= base) {
          digits = false;
          break;
        }
        if (value > (std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base))
          fail(v, path, fmt::format("invalid value: integer `{}` out of range for u64", n.text));
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
      }
      if (digits) return value;
      if (n.text.size() > 1 && n.text.front() == '-' && n.text.find_first_not_of("0123456789", 1) == std::string::npos)
        fail(v, path, fmt::format("invalid value: integer `{}`, expected a non-negative integer", n.text));
    }
    fail(v, path, fmt::format("invalid type: {}, expected a non-negative integer", describe(v)));
  }

  template <class E, size_t N>
  E word(uint32_t v, std::string_view path, const std::pair<std::string_view, E> (&words)[N]) {
    spend(v, path);
    const YNode& n = n_[v];
    std::string expected;
    for (size_t i = 0; i < N; ++i) expected += fmt::format("{}`{}`", i ? ", " : "", words[i].first);
    if (n.kind != YNode::Scalar || is_null_word(n))
      fail(v, path, fmt::format("invalid type: {}, expected one of {}", describe(v), expected));
    for (const auto& [w, e] : words)
      if (n.text == w) return e;
    fail(v, path, fmt::format("unknown variant `{}`, expected one of {}", n.text, expected));
  }

  ScalingSeverity severity(uint32_t v, std::string_view path) {
    static const std::pair<std::string_view, ScalingSeverity> words[] = {{"Critical", ScalingSeverity::Critical},
                                                                         {"High", ScalingSeverity::High},
                                                                         {"Medium", ScalingSeverity::Medium},
                                                                         {"Low", ScalingSeverity::Low}};
    return word(v, path, words);
  }

  ScopeKind scope(uint32_t v, std::string_view path) {
    static const std::pair<std::string_view, ScopeKind> words[] = {{"endpoint", ScopeKind::Endpoint},
                                                                   {"dependency", ScopeKind::Dependency},
                                                                   {"lifespan", ScopeKind::Lifespan},
                                                                   {"middleware", ScopeKind::Middleware},
                                                                   {"background_task", ScopeKind::BackgroundTask}};
    return word(v, path, words);
  }

  template <class T>
  std::vector<T> list(uint32_t v, std::string_view path, T (Mapper::*item)(uint32_t, std::string_view)) {
    spend(v, path);
    const YNode& n = n_[v];
    if (n.kind != YNode::Seq) fail(v, path, fmt::format("invalid type: {}, expected a sequence", describe(v)));
    std::vector<T> out;
    out.reserve(n.items.size());
    for (size_t i = 0; i < n.items.size(); ++i) out.push_back((this->*item)(n.items[i], fmt::format("{}[{}]", path, i)));
    return out;
  }

  std::vector<std::string> texts(uint32_t v, std::string_view path) { return list(v, path, &Mapper::text); }
  std::vector<ScopeKind> scopes(uint32_t v, std::string_view path) { return list(v, path, &Mapper::scope); }
  std::vector<CallPattern> patterns(uint32_t v, std::string_view path) {
    return list(v, path, &Mapper::call_pattern);
  }

  CallPattern call_pattern(uint32_t v, std::string_view path) {
    CallPattern p;
    bool has_pattern = false;
    record(v, "struct CallPattern", path, [&](Field key, uint32_t f, const std::string& sub) {
      if (key == "pattern") p.pattern = text(f, sub), has_pattern = true;
      else if (key == "category") p.category = opt_text(f, sub);
      else if (key == "severity") p.severity = severity(f, sub);
      else if (key == "suggestion") p.suggestion = opt_text(f, sub);
      else if (key == "is_prefix_match") p.is_prefix_match = boolean(f, sub);
      else if (key == "allowed_scopes") p.allowed_scopes = scopes(f, sub);
      else if (key == "forbidden_scopes") p.forbidden_scopes = scopes(f, sub);
      else return false;
      return true;
    });
    require(v, path, has_pattern, "pattern");
    return p;
  }

  EndpointRules endpoints(uint32_t v, std::string_view path) {
    EndpointRules r;
    record(v, "struct EndpointRules", path, [&](Field key, uint32_t f, const std::string& sub) {
      if (key == "enabled") r.enabled = boolean(f, sub);
      else if (key == "warn_on_sync_handlers") r.warn_on_sync_handlers = boolean(f, sub);
      else if (key == "sync_handler_severity") r.sync_handler_severity = severity(f, sub);
      else if (key == "blocking_calls") r.blocking_calls = patterns(f, sub);
      else if (key == "cpu_bound_calls") r.cpu_bound_calls = patterns(f, sub);
      else if (key == "thresholds") {
        record(f, "struct EndpointThresholds", sub, [&](Field k, uint32_t g, const std::string& s) {
          if (k == "max_sync_endpoints") r.thresholds.max_sync_endpoints = opt_count(g, s);
          else if (k == "max_endpoints_per_module") r.thresholds.max_endpoints_per_module = opt_count(g, s);
          else if (k == "max_endpoints_per_router") r.thresholds.max_endpoints_per_router = opt_count(g, s);
          else return false;
          return true;
        });
      } else return false;
      return true;
    });
    return r;
  }

  ResourceKindRule resource(uint32_t v, std::string_view path) {
    ResourceKindRule r;
    bool has_kind = false;
    record(v, "struct ResourceKindRule", path, [&](Field key, uint32_t f, const std::string& sub) {
      if (key == "kind") r.kind = text(f, sub), has_kind = true;
      else if (key == "create_call_patterns") r.create_call_patterns = patterns(f, sub);
      else if (key == "module_prefixes") r.module_prefixes = texts(f, sub);
      else if (key == "allowed_scopes") r.allowed_scopes = scopes(f, sub);
      else if (key == "severity_outside_allowed") r.severity_outside_allowed = severity(f, sub);
      else return false;
      return true;
    });
    require(v, path, has_kind, "kind");
    return r;
  }

  DependencyRules dependencies(uint32_t v, std::string_view path) {
    DependencyRules r;
    record(v, "struct DependencyRules", path, [&](Field key, uint32_t f, const std::string& sub) {
      if (key == "enabled") r.enabled = boolean(f, sub);
      else if (key == "resources") r.resources = list(f, sub, &Mapper::resource);
      else if (key == "require_yield_for_kinds") r.require_yield_for_kinds = texts(f, sub);
      else if (key == "forbid_inline_resources_in_endpoints") r.forbid_inline_resources_in_endpoints = texts(f, sub);
      else return false;
      return true;
    });
    return r;
  }

  RouterRules routers(uint32_t v, std::string_view path) {
    RouterRules r;
    record(v, "struct RouterRules", path, [&](Field key, uint32_t f, const std::string& sub) {
      if (key == "enabled") r.enabled = boolean(f, sub);
      else if (key == "warn_on_direct_app_routes") r.warn_on_direct_app_routes = boolean(f, sub);
      else if (key == "direct_app_route_severity") r.direct_app_route_severity = severity(f, sub);
      else if (key == "allowed_direct_route_modules") r.allowed_direct_route_modules = texts(f, sub);
      else if (key == "thresholds") {
        record(f, "struct RouterThresholds", sub, [&](Field k, uint32_t g, const std::string& s) {
          if (k == "max_endpoints_per_module") r.thresholds.max_endpoints_per_module = opt_count(g, s);
          else if (k == "max_endpoints_per_router") r.thresholds.max_endpoints_per_router = opt_count(g, s);
          else return false;
          return true;
        });
      } else return false;
      return true;
    });
    return r;
  }

  LifespanRules lifespan(uint32_t v, std::string_view path) {
    LifespanRules r;
    record(v, "struct LifespanRules", path, [&](Field key, uint32_t f, const std::string& sub) {
      if (key == "enabled") r.enabled = boolean(f, sub);
      else if (key == "require_lifespan_for_kinds") r.require_lifespan_for_kinds = texts(f, sub);
      else if (key == "ignore_modules") r.ignore_modules = texts(f, sub);
      else return false;
      return true;
    });
    return r;
  }

  MiddlewareRules middleware(uint32_t v, std::string_view path) {
    MiddlewareRules r;
    record(v, "struct MiddlewareRules", path, [&](Field key, uint32_t f, const std::string& sub) {
      if (key == "enabled") r.enabled = boolean(f, sub);
      else if (key == "warn_on_base_http_middleware") r.warn_on_base_http_middleware = boolean(f, sub);
      else if (key == "base_http_middleware_severity") r.base_http_middleware_severity = severity(f, sub);
      else if (key == "max_middleware_layers") r.max_middleware_layers = opt_count(f, sub);
      else if (key == "blocking_calls") r.blocking_calls = patterns(f, sub);
      else return false;
      return true;
    });
    return r;
  }

  JobQueuePattern job_queue(uint32_t v, std::string_view path) {
    JobQueuePattern q;
    bool has_name = false, has_package = false;
    record(v, "struct JobQueuePattern", path, [&](Field key, uint32_t f, const std::string& sub) {
      if (key == "name") q.name = text(f, sub), has_name = true;
      else if (key == "package") q.package = text(f, sub), has_package = true;
      else if (key == "enqueue_functions") q.enqueue_functions = texts(f, sub);
      else return false;
      return true;
    });
    require(v, path, has_name, "name");
    require(v, path, has_package, "package");
    return q;
  }

  BackgroundTaskRules background_tasks(uint32_t v, std::string_view path) {
    BackgroundTaskRules r;
    record(v, "struct BackgroundTaskRules", path, [&](Field key, uint32_t f, const std::string& sub) {
      if (key == "enabled") r.enabled = boolean(f, sub);
      else if (key == "heavy_call_patterns") r.heavy_call_patterns = patterns(f, sub);
      else if (key == "job_queues") r.job_queues = list(f, sub, &Mapper::job_queue);
      else if (key == "prefer_job_queues_for_heavy_tasks") r.prefer_job_queues_for_heavy_tasks = boolean(f, sub);
      else return false;
      return true;
    });
    return r;
  }

  ModelRules models(uint32_t v, std::string_view path) {
    ModelRules r;
    record(v, "struct ModelRules", path, [&](Field key, uint32_t f, const std::string& sub) {
      if (key == "enabled") r.enabled = boolean(f, sub);
      else if (key == "allowlist") r.allowlist = texts(f, sub);
      else if (key == "thresholds") {
        record(f, "struct ModelThresholds", sub, [&](Field k, uint32_t g, const std::string& s) {
          if (k == "max_fields_per_model") r.thresholds.max_fields_per_model = opt_count(g, s);
          else if (k == "max_nested_model_depth") r.thresholds.max_nested_model_depth = opt_count(g, s);
          else if (k == "max_validators_per_model") r.thresholds.max_validators_per_model = opt_count(g, s);
          else return false;
          return true;
        });
      } else return false;
      return true;
    });
    return r;
  }

  const std::vector<YNode>& n_;
  size_t materialized_ = 0;
};

// The whole file as text; the error is the system's description of the failure.
std::expected<std::string, std::string> read_policy_text(const std::filesystem::path& path) {
  struct Fd {
    int fd = -1;
    ~Fd() {
      if (fd >= 0) ::close(fd);
    }
  } f;
  // Non-blocking open so a FIFO without a writer cannot hang the caller.
  f.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (f.fd < 0) return std::unexpected(os_error_text(errno));
  int flags = ::fcntl(f.fd, F_GETFL);
  if (flags >= 0) ::fcntl(f.fd, F_SETFL, flags & ~O_NONBLOCK);
  std::string data;
  char buf[65536];
  while (true) {
    ssize_t n = ::read(f.fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(os_error_text(errno));
    }
    if (n == 0) break;
    if (data.size() + static_cast<size_t>(n) > kMaxPolicyBytes)
      return std::unexpected(fmt::format("file is larger than {} bytes", kMaxPolicyBytes));
    data.append(buf, static_cast<size_t>(n));
  }
  if (!util::is_utf8(data)) return std::unexpected("stream did not contain valid UTF-8");
  return data;
}

}  // namespace

std::expected<FastapiScalingPolicy, std::string> parse_scaling_policy(std::string_view yaml_text) {
  try {
    std::vector<YNode> nodes;
    std::istringstream in{std::string(yaml_text)};
    YAML::Parser parser(in);
    ArenaBuilder builder(nodes);
    while (parser.HandleNextDocument(builder)) {
    }
    Mapper mapper(nodes);
    return mapper.policy(builder.root());
  } catch (const YamlFailure& f) {
    return std::unexpected(f.message + at(f.mark));
  } catch (const YAML::Exception& e) {
    return std::unexpected(e.msg + at(e.mark));
  } catch (const std::bad_alloc&) {
    return std::unexpected(std::string("out of memory"));
  } catch (const std::exception& e) {
    return std::unexpected(std::string(e.what()));
  }
}

std::filesystem::path scaling_policy_path(const std::filesystem::path& root) {
  return root / ".norvo" / "fastapi_scaling.yaml";
}

Result<FastapiScalingPolicy> load_scaling_policy(const std::filesystem::path& root) {
  std::filesystem::path path = scaling_policy_path(root);
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return builtin_scaling_policy();
  auto text = read_policy_text(path);
  if (!text) return fail(AtlasError::analysis_config(util::path_text(path), text.error()));
  auto policy = parse_scaling_policy(*text);
  if (!policy) return fail(AtlasError::analysis_config(util::path_text(path), policy.error()));
  return std::move(*policy);
}

// ---- JSON form ------------------------------------------------------------------

namespace {

using json = nlohmann::json;

json opt(const std::optional<std::string>& v) { return v ? json(*v) : json(nullptr); }
json opt(const std::optional<uint64_t>& v) { return v ? json(*v) : json(nullptr); }

json scopes_json(const std::vector<ScopeKind>& v) {
  json a = json::array();
  for (ScopeKind s : v) a.push_back(std::string(scope_text(s)));
  return a;
}

json patterns_json(const std::vector<CallPattern>& v) {
  json a = json::array();
  for (const auto& p : v) a.push_back(call_pattern_json(p));
  return a;
}

}  // namespace

json call_pattern_json(const CallPattern& p) {
  return json{{"pattern", p.pattern},
              {"category", opt(p.category)},
              {"severity", std::string(severity_text(p.severity))},
              {"suggestion", opt(p.suggestion)},
              {"is_prefix_match", p.is_prefix_match},
              {"allowed_scopes", scopes_json(p.allowed_scopes)},
              {"forbidden_scopes", scopes_json(p.forbidden_scopes)}};
}

json scaling_policy_json(const FastapiScalingPolicy& p) {
  json resources = json::array();
  for (const auto& r : p.dependencies.resources)
    resources.push_back(json{{"kind", r.kind},
                             {"create_call_patterns", patterns_json(r.create_call_patterns)},
                             {"module_prefixes", r.module_prefixes},
                             {"allowed_scopes", scopes_json(r.allowed_scopes)},
                             {"severity_outside_allowed", std::string(severity_text(r.severity_outside_allowed))}});
  json queues = json::array();
  for (const auto& q : p.background_tasks.job_queues)
    queues.push_back(json{{"name", q.name}, {"package", q.package}, {"enqueue_functions", q.enqueue_functions}});

  const auto& e = p.endpoints;
  const auto& r = p.routers;
  const auto& m = p.middleware;
  const auto& b = p.background_tasks;
  return json{
      {"version", p.version},
      {"enabled", p.enabled},
      {"endpoints",
       {{"enabled", e.enabled},
        {"warn_on_sync_handlers", e.warn_on_sync_handlers},
        {"sync_handler_severity", std::string(severity_text(e.sync_handler_severity))},
        {"blocking_calls", patterns_json(e.blocking_calls)},
        {"cpu_bound_calls", patterns_json(e.cpu_bound_calls)},
        {"thresholds",
         {{"max_sync_endpoints", opt(e.thresholds.max_sync_endpoints)},
          {"max_endpoints_per_module", opt(e.thresholds.max_endpoints_per_module)},
          {"max_endpoints_per_router", opt(e.thresholds.max_endpoints_per_router)}}}}},
      {"dependencies",
       {{"enabled", p.dependencies.enabled},
        {"resources", resources},
        {"require_yield_for_kinds", p.dependencies.require_yield_for_kinds},
        {"forbid_inline_resources_in_endpoints", p.dependencies.forbid_inline_resources_in_endpoints}}},
      {"routers",
       {{"enabled", r.enabled},
        {"warn_on_direct_app_routes", r.warn_on_direct_app_routes},
        {"direct_app_route_severity", std::string(severity_text(r.direct_app_route_severity))},
        {"thresholds",
         {{"max_endpoints_per_module", opt(r.thresholds.max_endpoints_per_module)},
          {"max_endpoints_per_router", opt(r.thresholds.max_endpoints_per_router)}}},
        {"allowed_direct_route_modules", r.allowed_direct_route_modules}}},
      {"lifespan",
       {{"enabled", p.lifespan.enabled},
        {"require_lifespan_for_kinds", p.lifespan.require_lifespan_for_kinds},
        {"ignore_modules", p.lifespan.ignore_modules}}},
      {"middleware",
       {{"enabled", m.enabled},
        {"warn_on_base_http_middleware", m.warn_on_base_http_middleware},
        {"base_http_middleware_severity", std::string(severity_text(m.base_http_middleware_severity))},
        {"max_middleware_layers", opt(m.max_middleware_layers)},
        {"blocking_calls", patterns_json(m.blocking_calls)}}},
      {"background_tasks",
       {{"enabled", b.enabled},
        {"heavy_call_patterns", patterns_json(b.heavy_call_patterns)},
        {"job_queues", queues},
        {"prefer_job_queues_for_heavy_tasks", b.prefer_job_queues_for_heavy_tasks}}},
      {"models",
       {{"enabled", p.models.enabled},
        {"thresholds",
         {{"max_fields_per_model", opt(p.models.thresholds.max_fields_per_model)},
          {"max_nested_model_depth", opt(p.models.thresholds.max_nested_model_depth)},
          {"max_validators_per_model", opt(p.models.thresholds.max_validators_per_model)}}},
        {"allowlist", p.models.allowlist}}},
      {"external_calls", patterns_json(p.external_calls)},
      {"db_query_calls", patterns_json(p.db_query_calls)},
      {"env_call_patterns", patterns_json(p.env_call_patterns)},
  };
}

}  // namespace norvo::atlas::analysis
