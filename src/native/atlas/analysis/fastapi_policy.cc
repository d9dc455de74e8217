// Scaling policy: built-in rules, YAML loading, JSON form.
//
// YAML goes through the bounded reader of util/yaml_reader.h (nesting depth,
// node count, document size and alias expansion limited) and is mapped onto
// the records field by field with their defaults.
#include "atlas/analysis/fastapi_policy.h"

#include <sys/stat.h>

#include <algorithm>

#include <fmt/format.h>

#include "util/read_text.h"
#include "util/text.h"
#include "util/yaml_reader.h"

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

// ---- YAML onto the policy records -----------------------------------------------

namespace {

using util::yaml::key;
using util::yaml::Node;
using util::yaml::required;

// Far beyond any real policy file; they only stop hostile input.
constexpr util::yaml::Options kPolicyYaml{
    .max_depth = 64,
    .max_nodes = 200'000,
    .max_values = 200'000,
    .max_bytes = 8u << 20,
    .refuse_control_characters = false,
    .plain_null_words = true,
    .second_document =
        "content after the end of the first YAML document (only one document is read; check the indentation)",
};

// Throws util::yaml::Failure with the field path in front of the description,
// e.g. "endpoints.blocking_calls[0]: missing field `pattern`". A section given
// in the file starts from its struct defaults, not from the built-in section.
class Mapper : public util::yaml::Fields<Mapper> {
 public:
  using Fields::Fields;

  FastapiScalingPolicy policy(std::optional<uint32_t> root) {
    if (!root) throw util::yaml::Failure{"empty document, expected struct FastapiScalingPolicy", {}};
    FastapiScalingPolicy p;
    fields(*root, "struct FastapiScalingPolicy", {}, required("version", p.version), key("enabled", p.enabled),
           key("endpoints", p.endpoints), key("dependencies", p.dependencies), key("routers", p.routers),
           key("lifespan", p.lifespan), key("middleware", p.middleware), key("background_tasks", p.background_tasks),
           key("models", p.models), key("external_calls", p.external_calls), key("db_query_calls", p.db_query_calls),
           key("env_call_patterns", p.env_call_patterns));
    return p;
  }

 private:
  friend class util::yaml::Fields<Mapper>;

  // A null leaves an optional empty.
  void get(std::optional<std::string>& out, uint32_t v, std::string_view path) {
    if (!is_null(v)) out = text(v, path);
  }

  void get(std::optional<uint64_t>& out, uint32_t v, std::string_view path) {
    spend(v, path);
    if (is_null(v)) return;
    out = plain_unsigned(v, path, false);
    if (out) return;
    const Node& n = node(v);
    if (n.kind == Node::Scalar && n.plain && n.text.size() > 1 && n.text.front() == '-' &&
        n.text.find_first_not_of("0123456789", 1) == std::string::npos)
      fail(v, path, fmt::format("invalid value: integer `{}`, expected a non-negative integer", n.text));
    fail(v, path, fmt::format("invalid type: {}, expected a non-negative integer", describe(v)));
  }

  void get(ScalingSeverity& out, uint32_t v, std::string_view path) {
    static const std::pair<std::string_view, ScalingSeverity> words[] = {{"Critical", ScalingSeverity::Critical},
                                                                         {"High", ScalingSeverity::High},
                                                                         {"Medium", ScalingSeverity::Medium},
                                                                         {"Low", ScalingSeverity::Low}};
    out = word(v, path, words);
  }

  void get(ScopeKind& out, uint32_t v, std::string_view path) {
    static const std::pair<std::string_view, ScopeKind> words[] = {{"endpoint", ScopeKind::Endpoint},
                                                                   {"dependency", ScopeKind::Dependency},
                                                                   {"lifespan", ScopeKind::Lifespan},
                                                                   {"middleware", ScopeKind::Middleware},
                                                                   {"background_task", ScopeKind::BackgroundTask}};
    out = word(v, path, words);
  }

  void get(CallPattern& out, uint32_t v, std::string_view path) {
    fields(v, "struct CallPattern", path, required("pattern", out.pattern), key("category", out.category),
           key("severity", out.severity), key("suggestion", out.suggestion),
           key("is_prefix_match", out.is_prefix_match), key("allowed_scopes", out.allowed_scopes),
           key("forbidden_scopes", out.forbidden_scopes));
  }

  void get(EndpointThresholds& out, uint32_t v, std::string_view path) {
    fields(v, "struct EndpointThresholds", path, key("max_sync_endpoints", out.max_sync_endpoints),
           key("max_endpoints_per_module", out.max_endpoints_per_module),
           key("max_endpoints_per_router", out.max_endpoints_per_router));
  }

  void get(EndpointRules& out, uint32_t v, std::string_view path) {
    fields(v, "struct EndpointRules", path, key("enabled", out.enabled),
           key("warn_on_sync_handlers", out.warn_on_sync_handlers),
           key("sync_handler_severity", out.sync_handler_severity), key("blocking_calls", out.blocking_calls),
           key("cpu_bound_calls", out.cpu_bound_calls), key("thresholds", out.thresholds));
  }

  void get(ResourceKindRule& out, uint32_t v, std::string_view path) {
    fields(v, "struct ResourceKindRule", path, required("kind", out.kind),
           key("create_call_patterns", out.create_call_patterns), key("module_prefixes", out.module_prefixes),
           key("allowed_scopes", out.allowed_scopes), key("severity_outside_allowed", out.severity_outside_allowed));
  }

  void get(DependencyRules& out, uint32_t v, std::string_view path) {
    fields(v, "struct DependencyRules", path, key("enabled", out.enabled), key("resources", out.resources),
           key("require_yield_for_kinds", out.require_yield_for_kinds),
           key("forbid_inline_resources_in_endpoints", out.forbid_inline_resources_in_endpoints));
  }

  void get(RouterThresholds& out, uint32_t v, std::string_view path) {
    fields(v, "struct RouterThresholds", path, key("max_endpoints_per_module", out.max_endpoints_per_module),
           key("max_endpoints_per_router", out.max_endpoints_per_router));
  }

  void get(RouterRules& out, uint32_t v, std::string_view path) {
    fields(v, "struct RouterRules", path, key("enabled", out.enabled),
           key("warn_on_direct_app_routes", out.warn_on_direct_app_routes),
           key("direct_app_route_severity", out.direct_app_route_severity),
           key("allowed_direct_route_modules", out.allowed_direct_route_modules), key("thresholds", out.thresholds));
  }

  void get(LifespanRules& out, uint32_t v, std::string_view path) {
    fields(v, "struct LifespanRules", path, key("enabled", out.enabled),
           key("require_lifespan_for_kinds", out.require_lifespan_for_kinds),
           key("ignore_modules", out.ignore_modules));
  }

  void get(MiddlewareRules& out, uint32_t v, std::string_view path) {
    fields(v, "struct MiddlewareRules", path, key("enabled", out.enabled),
           key("warn_on_base_http_middleware", out.warn_on_base_http_middleware),
           key("base_http_middleware_severity", out.base_http_middleware_severity),
           key("max_middleware_layers", out.max_middleware_layers), key("blocking_calls", out.blocking_calls));
  }

  void get(JobQueuePattern& out, uint32_t v, std::string_view path) {
    fields(v, "struct JobQueuePattern", path, required("name", out.name), required("package", out.package),
           key("enqueue_functions", out.enqueue_functions));
  }

  void get(BackgroundTaskRules& out, uint32_t v, std::string_view path) {
    fields(v, "struct BackgroundTaskRules", path, key("enabled", out.enabled),
           key("heavy_call_patterns", out.heavy_call_patterns), key("job_queues", out.job_queues),
           key("prefer_job_queues_for_heavy_tasks", out.prefer_job_queues_for_heavy_tasks));
  }

  void get(ModelThresholds& out, uint32_t v, std::string_view path) {
    fields(v, "struct ModelThresholds", path, key("max_fields_per_model", out.max_fields_per_model),
           key("max_nested_model_depth", out.max_nested_model_depth),
           key("max_validators_per_model", out.max_validators_per_model));
  }

  void get(ModelRules& out, uint32_t v, std::string_view path) {
    fields(v, "struct ModelRules", path, key("enabled", out.enabled), key("allowlist", out.allowlist),
           key("thresholds", out.thresholds));
  }
};

}  // namespace

std::expected<FastapiScalingPolicy, std::string> parse_scaling_policy(std::string_view yaml_text) {
  FastapiScalingPolicy policy;
  auto read = util::yaml::read(yaml_text, kPolicyYaml, [&](const util::yaml::Document& doc) {
    policy = Mapper(doc, kPolicyYaml).policy(doc.root);
  });
  if (!read) return std::unexpected(std::move(read.error()));
  return policy;
}

std::filesystem::path scaling_policy_path(const std::filesystem::path& root) {
  return root / ".norvo" / "fastapi_scaling.yaml";
}

Result<FastapiScalingPolicy> load_scaling_policy(const std::filesystem::path& root) {
  std::filesystem::path path = scaling_policy_path(root);
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return builtin_scaling_policy();
  auto text = util::read_utf8_file(path.native(), kPolicyYaml.max_bytes);
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
