// Scaling analysis: record collection, the eleven passes, the JSON report.
#include "atlas/analysis/fastapi_scaling.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <fmt/format.h>

#include "atlas/artifact.h"
#include "atlas/atlas.h"
#include "atlas/parser/python_ast.h"
#include "atlas/scanner/filter.h"
#include "atlas/scanner/security.h"
#include "atlas/staleness.h"
#include "core/logging.h"
#include "util/text.h"

namespace norvo::atlas::analysis {

using json = nlohmann::json;
using parser::FastapiRole;

// ---- records -----------------------------------------------------------------

namespace {

bool has_tag(const parser::Definition& d, std::string_view tag) {
  return std::find(d.tags.begin(), d.tags.end(), tag) != d.tags.end();
}

// Roles are derived from tags; reading both keeps records right whether or
// not the parser filled the role list.
std::string_view role_tag(FastapiRole role) {
  switch (role) {
    case FastapiRole::RouteHandler: return "fastapi_route";
    case FastapiRole::Middleware: return "fastapi_middleware";
    case FastapiRole::LifespanStartup: return "fastapi_lifespan_startup";
    case FastapiRole::LifespanShutdown: return "fastapi_lifespan_shutdown";
  }
  return "";
}

}  // namespace

bool AnalysisRecord::has_role(FastapiRole role) const {
  if (std::find(def.fastapi_roles.begin(), def.fastapi_roles.end(), role) != def.fastapi_roles.end()) return true;
  return has_tag(def, role_tag(role));
}

bool AnalysisRecord::is_endpoint() const { return has_role(FastapiRole::RouteHandler); }

ScopeKind AnalysisRecord::scope() const {
  if (has_role(FastapiRole::RouteHandler)) return ScopeKind::Endpoint;
  if (has_role(FastapiRole::Middleware)) return ScopeKind::Middleware;
  if (has_role(FastapiRole::LifespanStartup) || has_role(FastapiRole::LifespanShutdown)) return ScopeKind::Lifespan;
  return ScopeKind::Dependency;
}

std::optional<std::string> AnalysisRecord::router_name() const {
  for (const auto& t : def.tags)
    if (t.size() > 7 && t.starts_with("router_")) return t.substr(7);
  return std::nullopt;
}

std::set<std::string> shared_router_names(const std::vector<AnalysisRecord>& records) {
  std::map<std::string, std::set<std::string>> prefixes;
  for (const auto& r : records) {
    if (!r.is_endpoint() || !r.def.router_prefix || r.def.router_prefix->empty()) continue;
    if (auto name = r.router_name(); name && *name != "app") prefixes[*name].insert(*r.def.router_prefix);
  }
  std::set<std::string> out;
  for (const auto& [name, set] : prefixes)
    if (set.size() > 1) out.insert(name);
  return out;
}

std::optional<std::string> router_of(const AnalysisRecord& r, const std::set<std::string>& shared) {
  auto name = r.router_name();
  if (name && shared.contains(*name) && !r.module.empty()) return r.module + "." + *name;
  return name;
}

Result<std::vector<AnalysisRecord>> collect_analysis_records(Atlas& atlas, const RecordLogTexts& texts) {
  auto ast = NORVO_TRY(parser::PythonAstParser::create());
  const ProjectConfig& config = atlas.config();
  auto filter = scanner::IgnoreFilter::build(atlas.root(), config.atlas.ignore_patterns);
  auto files = NORVO_TRY(scanner::discover(atlas.root(), filter, config.atlas.max_file_size));
  scanner::SecurityPolicy security(atlas.root(), config.security);

  std::vector<AnalysisRecord> records;
  for (const auto& file : files) {
    if (!security.is_path_allowed(file)) {
      NLOG_DEBUG("norvo_atlas", texts.denied, {"file", util::path_text(file)});
      continue;
    }
    auto parsed = ast.parse_file(file);
    if (!parsed) {
      NLOG_WARN("norvo_atlas", texts.parse_failed, {"file", util::path_text(file)},
                {"error", parsed.error().to_string()});
      continue;
    }
    std::string rel = relative_file_text(atlas.root(), file);
    std::string module = module_path_of(rel);
    for (auto& def : parsed->definitions) {
      AnalysisRecord r;
      r.qualified_name = module.empty() ? def.name : module + "." + def.name;
      r.def = std::move(def);
      r.file_path = rel;
      r.module = module;
      records.push_back(std::move(r));
    }
  }
  return records;
}

// ---- the passes ----------------------------------------------------------------

namespace {

bool contains(const std::vector<std::string>& v, std::string_view s) { return std::find(v.begin(), v.end(), s) != v.end(); }

bool contains(const std::vector<ScopeKind>& v, ScopeKind s) { return std::find(v.begin(), v.end(), s) != v.end(); }

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

json opt(const std::optional<std::string>& v) { return v ? json(*v) : json(nullptr); }

std::string sev(ScalingSeverity s) { return std::string(severity_text(s)); }

// One pass over the records; holds the outputs in the order they are produced.
class Analysis {
 public:
  Analysis(const FastapiScalingPolicy& policy, const std::vector<AnalysisRecord>& records,
           const std::vector<storage::CallEdge>& calls)
      : p_(policy), records_(records), edges_(calls) {
    for (const auto& e : edges_) calls_by_caller_[e.caller_qualified_name].push_back(&e);
  }

  json run() {
    if (p_.enabled) {
      endpoints();
      resources();
      lifespan();
      routers();
      models();
      endpoint_calls();
      middleware();
      background_tasks();
      auth_wiring();
      call_findings();
      test_links();
    }
    return json{{"policy_version", p_.version},
                {"stats",
                 {{"total_definitions", records_.size()},
                  {"total_endpoints", total_endpoints_},
                  {"async_endpoints", async_endpoints_},
                  {"sync_endpoints", sync_endpoints_},
                  {"modules_with_endpoints", modules_with_endpoints_}}},
                {"violations", violations_},
                {"background_insights", background_insights_},
                {"middleware_stack", middleware_stack_},
                {"external_calls", external_calls_},
                {"db_queries", db_queries_},
                {"env_links", env_links_},
                {"db_patterns", db_patterns_},
                {"side_effects", side_effects_},
                {"config_env_links", config_env_links_},
                {"auth_wiring", auth_wiring_},
                {"lifespan_map", lifespan_map_},
                {"test_links", test_links_}};
  }

 private:
  const std::vector<const storage::CallEdge*>& calls_of(const AnalysisRecord& r) const {
    static const std::vector<const storage::CallEdge*> none;
    auto it = calls_by_caller_.find(r.qualified_name);
    return it == calls_by_caller_.end() ? none : it->second;
  }

  void violation(std::string message, ScalingSeverity severity, ScopeKind scope, std::optional<std::string> category,
                 std::optional<std::string> suggestion, const AnalysisRecord* at) {
    violations_.push_back(json{{"message", std::move(message)},
                               {"severity", sev(severity)},
                               {"scope", std::string(scope_text(scope))},
                               {"category", opt(category)},
                               {"suggestion", opt(suggestion)},
                               {"file_path", at ? json(at->file_path) : json(nullptr)},
                               {"qualified_name", at ? json(at->qualified_name) : json(nullptr)}});
  }

  // Pass 1.
  void endpoints() {
    const auto& rules = p_.endpoints;
    if (!rules.enabled) return;
    // Sorted maps: the threshold violations come out in name order.
    std::map<std::string, uint64_t> per_module, per_router;
    const std::set<std::string> shared = shared_router_names(records_);
    for (const auto& r : records_) {
      if (!r.is_endpoint()) continue;
      ++total_endpoints_;
      if (r.def.is_async) {
        ++async_endpoints_;
      } else {
        ++sync_endpoints_;
        if (rules.warn_on_sync_handlers)
          violation(fmt::format("Endpoint '{}' is synchronous; convert to async to improve scalability", r.qualified_name),
                    rules.sync_handler_severity, ScopeKind::Endpoint, "sync_handler",
                    "Use async HTTP handlers or move blocking work into background tasks", &r);
      }
      ++per_module[r.module];
      if (auto router = router_of(r, shared)) ++per_router[*router];
    }
    modules_with_endpoints_ = per_module.size();
    const auto& t = rules.thresholds;
    if (t.max_sync_endpoints && sync_endpoints_ > *t.max_sync_endpoints)
      violation(fmt::format("Project has {} synchronous endpoints (max allowed: {})", sync_endpoints_,
                            *t.max_sync_endpoints),
                ScalingSeverity::High, ScopeKind::Endpoint, "threshold_sync_endpoints",
                "Convert synchronous handlers to async or delegate blocking work", nullptr);
    if (t.max_endpoints_per_module)
      for (const auto& [module, n] : per_module)
        if (n > *t.max_endpoints_per_module)
          violation(fmt::format("Module '{}' defines {} endpoints (max allowed per module: {})", module, n,
                                *t.max_endpoints_per_module),
                    ScalingSeverity::Medium, ScopeKind::Endpoint, "threshold_module_endpoints",
                    "Consider splitting endpoints into feature-focused modules or routers", nullptr);
    if (t.max_endpoints_per_router)
      for (const auto& [router, n] : per_router)
        if (n > *t.max_endpoints_per_router)
          violation(fmt::format("Router '{}' exposes {} endpoints (max allowed per router: {})", router, n,
                                *t.max_endpoints_per_router),
                    ScalingSeverity::Medium, ScopeKind::Endpoint, "threshold_router_endpoints",
                    "Break routers into smaller sub-routers to keep routing tables efficient", nullptr);
  }

  // Pass 2. Creation patterns are matched by name only: the rule's own
  // allowed_scopes decides where creating the resource is fine.
  void resources() {
    const auto& rules = p_.dependencies;
    if (!rules.enabled) return;
    if (rules.resources.empty() && rules.require_yield_for_kinds.empty() &&
        rules.forbid_inline_resources_in_endpoints.empty())
      return;
    for (const auto& r : records_) {
      ScopeKind scope = r.scope();
      for (const auto& rule : rules.resources) {
        if (!rule.module_prefixes.empty() &&
            std::none_of(rule.module_prefixes.begin(), rule.module_prefixes.end(),
                         [&](const std::string& prefix) { return r.module.starts_with(prefix); }))
          continue;
        bool created = false;
        for (const auto* call : calls_of(r)) {
          const std::string& callee = call->callee_qualified_name;
          for (const auto& pattern : rule.create_call_patterns) {
            if (!pattern.matches(callee)) continue;
            created = true;
            first_usage_.try_emplace({rule.kind, r.module}, &r);
            if (!rule.allowed_scopes.empty() && !contains(rule.allowed_scopes, scope))
              violation(fmt::format("Function '{}' (scope {}) creates resource kind '{}' via call '{}' which is outside "
                                    "allowed_scopes",
                                    r.qualified_name, scope_text(scope), rule.kind, callee),
                        rule.severity_outside_allowed, scope, "resource_scope", std::nullopt, &r);
            if (scope == ScopeKind::Endpoint && contains(rules.forbid_inline_resources_in_endpoints, rule.kind))
              violation(fmt::format("Endpoint '{}' creates resource kind '{}' inline via call '{}' (consider moving "
                                    "creation into a dependency or background task)",
                                    r.qualified_name, rule.kind, callee),
                        rule.severity_outside_allowed, ScopeKind::Endpoint, "inline_resource_in_endpoint",
                        std::nullopt, &r);
          }
        }
        if (scope == ScopeKind::Dependency && created && contains(rules.require_yield_for_kinds, rule.kind) &&
            !r.def.has_yield)
          violation(fmt::format("Function '{}' manages resource kind '{}' but does not use a yield-based pattern "
                                "(consider FastAPI's yield dependencies)",
                                r.qualified_name, rule.kind),
                    rule.severity_outside_allowed, ScopeKind::Dependency, "resource_missing_yield", std::nullopt, &r);
      }
    }
  }

  // Pass 3.
  void lifespan() {
    const auto& rules = p_.lifespan;
    if (!rules.enabled || rules.require_lifespan_for_kinds.empty()) return;
    std::unordered_set<std::string> with_handler;
    for (const auto& r : records_)
      if (r.has_role(FastapiRole::LifespanStartup) || r.has_role(FastapiRole::LifespanShutdown))
        with_handler.insert(r.module);
    for (const auto& kind : rules.require_lifespan_for_kinds) {
      for (auto it = first_usage_.lower_bound({kind, ""}); it != first_usage_.end() && it->first.first == kind; ++it) {
        const std::string& module = it->first.second;
        const AnalysisRecord& first = *it->second;
        if (contains(rules.ignore_modules, module)) continue;
        bool has = with_handler.contains(module);
        lifespan_map_.push_back(json{{"resource_kind", kind},
                                     {"module", module},
                                     {"first_usage", first.qualified_name},
                                     {"has_lifespan_handler", has},
                                     {"qualified_name", first.qualified_name},
                                     {"file_path", first.file_path}});
        if (!has)
          violation(fmt::format("Module '{}' uses resource kind '{}' (first seen in '{}') but defines no FastAPI "
                                "lifespan handlers (startup/shutdown)",
                                module, kind, first.qualified_name),
                    ScalingSeverity::High, ScopeKind::Lifespan, "missing_lifespan_for_resource", std::nullopt, &first);
      }
    }
  }

  // Pass 4.
  void routers() {
    const auto& rules = p_.routers;
    if (!rules.enabled || !rules.warn_on_direct_app_routes) return;
    for (const auto& r : records_) {
      if (!r.is_endpoint() || r.router_name() != "app") continue;
      if (contains(rules.allowed_direct_route_modules, r.module)) continue;
      violation(fmt::format("Endpoint '{}' uses direct app routes in module '{}' (prefer APIRouter instances for "
                            "scalable routing)",
                            r.qualified_name, r.module),
                rules.direct_app_route_severity, ScopeKind::Endpoint, "direct_app_route",
                "Move this endpoint to an APIRouter or explicitly allow this module in "
                "RouterRules.allowed_direct_route_modules",
                &r);
    }
  }

  // Pass 5.
  void models() {
    const auto& rules = p_.models;
    if (!rules.enabled) return;
    const auto& t = rules.thresholds;
    for (const auto& r : records_) {
      if (!has_tag(r.def, "pydantic_model")) continue;
      if (t.max_fields_per_model && r.def.field_count && *r.def.field_count > *t.max_fields_per_model)
        violation(fmt::format("Pydantic model '{}' has {} fields (max allowed: {})", r.qualified_name,
                              *r.def.field_count, *t.max_fields_per_model),
                  ScalingSeverity::Medium, ScopeKind::Dependency, "model_max_fields",
                  "Consider splitting the model into smaller sub-models or simplifying its schema", &r);
      if (t.max_validators_per_model && r.def.validator_count && *r.def.validator_count > *t.max_validators_per_model)
        violation(fmt::format("Pydantic model '{}' defines {} validators (max allowed: {})", r.qualified_name,
                              *r.def.validator_count, *t.max_validators_per_model),
                  ScalingSeverity::Medium, ScopeKind::Dependency, "model_max_validators",
                  "Reduce validator count by consolidating logic or moving heavy checks into services", &r);
    }
  }

  // Pass 6.
  void endpoint_calls() {
    const auto& rules = p_.endpoints;
    if (!rules.enabled || (rules.blocking_calls.empty() && rules.cpu_bound_calls.empty())) return;
    for (const auto& r : records_) {
      if (!r.is_endpoint()) continue;
      for (const auto* call : calls_of(r)) {
        const std::string& callee = call->callee_qualified_name;
        for (const auto& pattern : rules.blocking_calls)
          if (pattern.matches(callee) && pattern.counts_at(ScopeKind::Endpoint))
            violation(fmt::format("Endpoint '{}' calls '{}' which matches a configured blocking_calls pattern",
                                  r.qualified_name, callee),
                      pattern.severity, ScopeKind::Endpoint, pattern.category, pattern.suggestion, &r);
        for (const auto& pattern : rules.cpu_bound_calls)
          if (pattern.matches(callee) && pattern.counts_at(ScopeKind::Endpoint))
            violation(fmt::format("Endpoint '{}' calls '{}' which matches a configured cpu_bound_calls pattern",
                                  r.qualified_name, callee),
                      pattern.severity, ScopeKind::Endpoint, pattern.category, pattern.suggestion, &r);
      }
    }
  }

  // Pass 7.
  void middleware() {
    const auto& rules = p_.middleware;
    if (!rules.enabled) return;
    if (rules.warn_on_base_http_middleware)
      for (const auto& r : records_)
        if (contains(r.def.bases, "BaseHTTPMiddleware"))
          violation(fmt::format("Class '{}' extends BaseHTTPMiddleware; prefer simpler function-based middleware or "
                                "lighter wrappers for scalability",
                                r.qualified_name),
                    rules.base_http_middleware_severity, ScopeKind::Middleware, "base_http_middleware", std::nullopt,
                    &r);
    std::vector<const AnalysisRecord*> layers;
    for (const auto& r : records_)
      if (r.has_role(FastapiRole::Middleware)) layers.push_back(&r);
    if (rules.max_middleware_layers && layers.size() > *rules.max_middleware_layers)
      violation(fmt::format("Project defines {} FastAPI middleware layers (max allowed: {})", layers.size(),
                            *rules.max_middleware_layers),
                ScalingSeverity::Medium, ScopeKind::Middleware, "max_middleware_layers", std::nullopt, nullptr);
    for (const auto* r : layers)
      for (const auto* call : calls_of(*r))
        for (const auto& pattern : rules.blocking_calls)
          if (pattern.matches(call->callee_qualified_name) && pattern.counts_at(ScopeKind::Middleware))
            violation(fmt::format("Middleware '{}' calls '{}' which matches a configured blocking_calls pattern",
                                  r->qualified_name, call->callee_qualified_name),
                      pattern.severity, ScopeKind::Middleware, pattern.category, pattern.suggestion, r);

    std::stable_sort(layers.begin(), layers.end(), [](const AnalysisRecord* a, const AnalysisRecord* b) {
      return std::tie(a->file_path, a->def.line_start, a->qualified_name) <
             std::tie(b->file_path, b->def.line_start, b->qualified_name);
    });
    for (const auto* r : layers) {
      json blocking = json::array();
      for (const auto* call : calls_of(*r))
        for (const auto& pattern : rules.blocking_calls)
          if (pattern.matches(call->callee_qualified_name) && pattern.counts_at(ScopeKind::Middleware))
            blocking.push_back(json{{"call", call->callee_qualified_name},
                                    {"pattern", pattern.pattern},
                                    {"category", opt(pattern.category)},
                                    {"severity", sev(pattern.severity)}});
      middleware_stack_.push_back(json{{"qualified_name", r->qualified_name},
                                       {"file_path", r->file_path},
                                       {"router_name", opt(r->router_name())},
                                       {"is_async", r->def.is_async},
                                       {"line_start", r->def.line_start},
                                       {"line_end", r->def.line_end},
                                       {"blocking_calls", std::move(blocking)}});
    }
  }

  // Pass 8. Heavy-call patterns are matched by name: every heavy call of an
  // endpoint is an insight, whatever the pattern's scope lists say.
  void background_tasks() {
    const auto& rules = p_.background_tasks;
    if (!rules.enabled || rules.heavy_call_patterns.empty()) return;
    for (const auto& r : records_) {
      if (!r.is_endpoint()) continue;
      const auto& calls = calls_of(r);
      bool enqueues = std::any_of(calls.begin(), calls.end(), [&](const storage::CallEdge* call) {
        const std::string& callee = call->callee_qualified_name;
        for (const auto& queue : rules.job_queues)
          for (const auto& fn : queue.enqueue_functions)
            if (callee == fn || callee == queue.package + "." + fn) return true;
        return false;
      });
      for (const auto* call : calls) {
        const std::string& callee = call->callee_qualified_name;
        for (const auto& pattern : rules.heavy_call_patterns) {
          if (!pattern.matches(callee)) continue;
          background_insights_.push_back(json{{"qualified_name", r.qualified_name},
                                              {"file_path", r.file_path},
                                              {"heavy_call", callee},
                                              {"matched_pattern", pattern.pattern},
                                              {"enqueued_via_job_queue", enqueues},
                                              {"is_inline_heavy_call", !enqueues}});
          if (rules.prefer_job_queues_for_heavy_tasks && !enqueues)
            violation(fmt::format("Endpoint '{}' calls '{}' which matches a heavy_call_patterns entry but does not "
                                  "enqueue any configured job queue task",
                                  r.qualified_name, callee),
                      pattern.severity, ScopeKind::BackgroundTask, pattern.category, pattern.suggestion, &r);
        }
      }
    }
  }

  // The first record named `name` (the part after the last "." of a dotted
  // dependency name), in record order.
  const AnalysisRecord* record_named(std::string_view name) const {
    if (auto dot = name.rfind('.'); dot != std::string_view::npos) name = name.substr(dot + 1);
    for (const auto& r : records_)
      if (r.def.kind != parser::DefinitionKind::Constant && r.def.name == name) return &r;
    return nullptr;
  }

  // Pass 9.
  void auth_wiring() {
    auto any_of_words = [](std::string_view text, std::initializer_list<std::string_view> words) {
      std::string l = lower(text);
      return std::any_of(words.begin(), words.end(), [&](std::string_view w) { return l.find(w) != std::string::npos; });
    };
    auto add_once = [](std::vector<std::string>& v, const std::string& s) {
      if (!contains(v, s)) v.push_back(s);
    };
    for (const auto& r : records_) {
      if (!r.is_endpoint()) continue;
      std::set<std::string> security;
      std::vector<std::string> jwt, permissions;
      bool oauth2 = false, custom_handler = false, http_exception = false;

      // The endpoint's dependency parameters, then those of the dependency
      // functions they reach, breadth first, each function once.
      std::vector<const AnalysisRecord*> queue{&r};
      std::unordered_set<const AnalysisRecord*> seen{&r};
      for (size_t i = 0; i < queue.size(); ++i) {
        for (const auto& param : queue[i]->def.params) {
          if (!param.is_dependency || !param.dependency) continue;
          const std::string& dep = *param.dependency;
          if (param.is_security || any_of_words(dep, {"oauth2", "security", "auth"})) security.insert(dep);
          if (any_of_words(dep, {"permission", "authorize", "scope"})) add_once(permissions, dep);
          const AnalysisRecord* target = record_named(dep);
          if (target && seen.insert(target).second) queue.push_back(target);
        }
      }
      for (const auto* call : calls_of(r)) {
        const std::string& callee = call->callee_qualified_name;
        if (any_of_words(callee, {"oauth2", "security", "auth", "token"})) security.insert(callee);
        if (any_of_words(callee, {"jwt"})) add_once(jwt, callee);
        if (any_of_words(callee, {"permission", "authorize", "scope"})) add_once(permissions, callee);
        if (any_of_words(callee, {"oauth2passwordbearer"})) oauth2 = true;
        if (any_of_words(callee, {"exception_handler"})) custom_handler = true;
        if (callee == "HTTPException" || callee.ends_with(".HTTPException")) http_exception = true;
      }
      auth_wiring_.push_back(json{{"qualified_name", r.qualified_name},
                                  {"file_path", r.file_path},
                                  {"has_security_dependency", !security.empty()},
                                  {"security_dependency_count", security.size()},
                                  {"security_dependencies", std::vector<std::string>(security.begin(), security.end())},
                                  {"has_oauth2_provider", oauth2},
                                  {"has_jwt", !jwt.empty()},
                                  {"jwt_calls", jwt},
                                  {"has_permission_checks", !permissions.empty()},
                                  {"permission_dependencies", permissions},
                                  {"has_custom_exception_handler", custom_handler},
                                  {"has_http_exception", http_exception}});
    }
  }

  static json finding(const AnalysisRecord& r, const std::string& callee, const CallPattern& p) {
    return json{{"qualified_name", r.qualified_name}, {"file_path", r.file_path}, {"callee", callee},
                {"pattern", p.pattern},               {"category", opt(p.category)}, {"severity", sev(p.severity)}};
  }

  // Pass 10.
  void call_findings() {
    for (const auto& r : records_) {
      if (!r.is_endpoint()) continue;
      for (const auto* call : calls_of(r)) {
        const std::string& callee = call->callee_qualified_name;
        for (const auto& p : p_.external_calls)
          if (p.matches(callee) && p.counts_at(ScopeKind::Endpoint)) external_calls_.push_back(finding(r, callee, p));
        for (const auto& p : p_.db_query_calls)
          if (p.matches(callee) && p.counts_at(ScopeKind::Endpoint)) db_queries_.push_back(finding(r, callee, p));
        for (const auto& p : p_.env_call_patterns)
          if (p.matches(callee) && p.counts_at(ScopeKind::Endpoint)) env_links_.push_back(finding(r, callee, p));
      }
    }
    for (const auto& r : records_) {
      if (!r.is_endpoint()) continue;
      for (const auto* call : calls_of(r))
        if (call->callee_qualified_name == "session.commit" || call->callee_qualified_name == "Session.commit")
          side_effects_.push_back(json{{"qualified_name", r.qualified_name},
                                       {"file_path", r.file_path},
                                       {"callee", call->callee_qualified_name},
                                       {"category", "commit"}});
    }
    db_patterns();
    config_env_links();
  }

  void db_patterns() {
    for (const auto& r : records_) {
      if (!r.is_endpoint()) continue;
      std::string dotted_name = "." + r.def.name;
      for (const auto& e : edges_) {
        if (!r.file_path.empty() && e.caller_file.find(r.file_path) == std::string::npos) continue;
        if (e.caller_qualified_name != r.qualified_name && !e.caller_qualified_name.ends_with(dotted_name)) continue;
        std::string_view stripped = e.callee_qualified_name;
        while (stripped.ends_with("()")) stripped.remove_suffix(2);
        for (const auto& p : p_.db_query_calls)
          if (stripped.find(p.pattern) != std::string_view::npos)
            db_patterns_.push_back(json{{"qualified_name", r.qualified_name},
                                        {"file_path", r.file_path},
                                        {"callee", e.callee_qualified_name},
                                        {"category", p.category.value_or("db_query")},
                                        {"severity", sev(p.severity)}});
      }
    }
  }

  // Only the class's own methods (those within its lines) count, so that two
  // settings classes of one module are not credited with each other's lookups.
  void config_env_links() {
    for (const auto& settings : records_) {
      if (!contains(settings.def.bases, "BaseSettings")) continue;
      std::set<std::string> suffixes{"." + settings.def.name};
      for (const auto& r : records_)
        if (r.module == settings.module && r.def.kind == parser::DefinitionKind::Method &&
            r.file_path == settings.file_path && r.def.line_start >= settings.def.line_start &&
            r.def.line_end <= settings.def.line_end)
          suffixes.insert("." + r.def.name);
      json hits = json::array();
      for (const auto& e : edges_) {
        if (e.caller_file != settings.file_path || !e.caller_qualified_name.starts_with(settings.module)) continue;
        if (std::none_of(suffixes.begin(), suffixes.end(),
                         [&](const std::string& s) { return e.caller_qualified_name.ends_with(s); }))
          continue;
        for (const auto& p : p_.env_call_patterns)
          if (p.matches(e.callee_qualified_name))
            hits.push_back(
                json{{"call", e.callee_qualified_name}, {"category", opt(p.category)}, {"severity", sev(p.severity)}});
      }
      if (!hits.empty())
        config_env_links_.push_back(
            json{{"settings_name", settings.qualified_name}, {"file_path", settings.file_path}, {"env_hits", hits}});
    }
  }

  static bool is_test_file(std::string_view file) {
    std::string l = lower(file);
    if (l.find("/tests/") != std::string::npos || l.find("\\tests\\") != std::string::npos) return true;
    std::string_view name = l;
    if (auto cut = name.find_last_of("/\\"); cut != std::string_view::npos) name = name.substr(cut + 1);
    return name.starts_with("test_") || name.ends_with("_test.py");
  }

  // Pass 11.
  void test_links() {
    for (const auto& r : records_) {
      if (!r.is_endpoint()) continue;
      std::set<std::pair<std::string, std::string>> linked;
      for (const std::string* target : {&r.qualified_name, &r.def.name}) {
        for (const auto& e : edges_) {
          if (e.callee_qualified_name != *target || !is_test_file(e.caller_file)) continue;
          if (!linked.insert({e.caller_qualified_name, e.caller_file}).second) continue;
          test_links_.push_back(json{{"test_caller", e.caller_qualified_name},
                                     {"test_file", e.caller_file},
                                     {"call_line", e.line_number},
                                     {"endpoint", r.qualified_name},
                                     {"endpoint_file", r.file_path}});
        }
      }
    }
  }

  const FastapiScalingPolicy& p_;
  const std::vector<AnalysisRecord>& records_;
  const std::vector<storage::CallEdge>& edges_;
  std::unordered_map<std::string, std::vector<const storage::CallEdge*>> calls_by_caller_;
  // (kind, module) -> first record creating it; sorted for a fixed output order.
  std::map<std::pair<std::string, std::string>, const AnalysisRecord*> first_usage_;

  uint64_t total_endpoints_ = 0, async_endpoints_ = 0, sync_endpoints_ = 0, modules_with_endpoints_ = 0;
  json violations_ = json::array(), background_insights_ = json::array(), middleware_stack_ = json::array(),
       external_calls_ = json::array(), db_queries_ = json::array(), env_links_ = json::array(),
       db_patterns_ = json::array(), side_effects_ = json::array(), config_env_links_ = json::array(),
       auth_wiring_ = json::array(), lifespan_map_ = json::array(), test_links_ = json::array();
};

}  // namespace

json scaling_report(const FastapiScalingPolicy& policy, const std::vector<AnalysisRecord>& records,
                    const std::vector<storage::CallEdge>& calls) {
  return Analysis(policy, records, calls).run();
}

Result<json> analyze_fastapi_scaling(Atlas& atlas) {
  log::Span span("analyze_fastapi_scaling");
  auto run = [&]() -> Result<json> {
    NORVO_TRY(ensure_indexed(atlas));
    auto policy = NORVO_TRY(load_scaling_policy(atlas.root()));
    auto records = NORVO_TRY(collect_analysis_records(
        atlas, {"Skipping file denied by security configuration during FastAPI scaling analysis",
                "Failed to parse file during FastAPI scaling analysis"}));
    auto calls = NORVO_TRY(storage::all_calls(atlas.db()));
    return scaling_report(policy, records, calls);
  };
  auto result = run();
  if (!result) NLOG_ERROR("norvo_atlas", "", {"error", result.error().to_string()});
  return result;
}

}  // namespace norvo::atlas::analysis
