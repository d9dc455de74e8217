// The FastAPI scaling policy: the rule records the scaling analysis judges a
// code base by, the built-in policy, and the loader of the optional project
// file .norvo/fastapi_scaling.yaml.
//
// Two sets of defaults exist on purpose. A struct's member initialisers are
// the values a key gets when a section is present in the file but the key is
// left out (flags false, lists empty); the *_builtin() functions give the
// section a file gets when it leaves the whole section out (every warn_on_*
// flag and prefer_job_queues_for_heavy_tasks true). The three call-pattern
// lists exist only in the built-in policy: a file that leaves them out gets
// empty lists.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/result.h"

namespace norvo::atlas::analysis {

// In this order; the order is used wherever severities are compared.
enum class ScalingSeverity : uint8_t { Critical, High, Medium, Low };
// "Critical", "High", "Medium", "Low".
std::string_view severity_text(ScalingSeverity s);

enum class ScopeKind : uint8_t { Endpoint, Dependency, Lifespan, Middleware, BackgroundTask };
// "endpoint", "dependency", "lifespan", "middleware", "background_task".
std::string_view scope_text(ScopeKind s);

struct CallPattern {
  std::string pattern;
  std::optional<std::string> category;
  ScalingSeverity severity = ScalingSeverity::High;
  std::optional<std::string> suggestion;
  bool is_prefix_match = false;
  std::vector<ScopeKind> allowed_scopes;
  std::vector<ScopeKind> forbidden_scopes;

  // Prefix or exact byte comparison of a callee name, per is_prefix_match.
  bool matches(std::string_view callee) const;
  // Whether a match at `scope` is a finding: the scope is forbidden, or an
  // allow-list exists and does not hold it. Both lists empty: never.
  bool counts_at(ScopeKind scope) const;
};

struct EndpointThresholds {
  std::optional<uint64_t> max_sync_endpoints;
  std::optional<uint64_t> max_endpoints_per_module;
  std::optional<uint64_t> max_endpoints_per_router;
};

struct EndpointRules {
  bool enabled = true;
  bool warn_on_sync_handlers = false;
  ScalingSeverity sync_handler_severity = ScalingSeverity::Medium;
  std::vector<CallPattern> blocking_calls;
  std::vector<CallPattern> cpu_bound_calls;
  EndpointThresholds thresholds;
};

struct ResourceKindRule {
  std::string kind;
  std::vector<CallPattern> create_call_patterns;
  std::vector<std::string> module_prefixes;
  std::vector<ScopeKind> allowed_scopes;
  ScalingSeverity severity_outside_allowed = ScalingSeverity::High;
};

struct DependencyRules {
  bool enabled = true;
  std::vector<ResourceKindRule> resources;
  std::vector<std::string> require_yield_for_kinds;
  std::vector<std::string> forbid_inline_resources_in_endpoints;
};

struct RouterThresholds {
  std::optional<uint64_t> max_endpoints_per_module;
  std::optional<uint64_t> max_endpoints_per_router;
};

struct RouterRules {
  bool enabled = true;
  bool warn_on_direct_app_routes = false;
  ScalingSeverity direct_app_route_severity = ScalingSeverity::Medium;
  RouterThresholds thresholds;
  std::vector<std::string> allowed_direct_route_modules;
};

struct LifespanRules {
  bool enabled = true;
  std::vector<std::string> require_lifespan_for_kinds;
  std::vector<std::string> ignore_modules;
};

struct MiddlewareRules {
  bool enabled = true;
  bool warn_on_base_http_middleware = false;
  ScalingSeverity base_http_middleware_severity = ScalingSeverity::Medium;
  std::optional<uint64_t> max_middleware_layers;
  std::vector<CallPattern> blocking_calls;
};

struct JobQueuePattern {
  std::string name;
  std::string package;
  std::vector<std::string> enqueue_functions;
};

struct BackgroundTaskRules {
  bool enabled = true;
  std::vector<CallPattern> heavy_call_patterns;
  std::vector<JobQueuePattern> job_queues;
  bool prefer_job_queues_for_heavy_tasks = false;
};

struct ModelThresholds {
  std::optional<uint64_t> max_fields_per_model;
  std::optional<uint64_t> max_nested_model_depth;
  std::optional<uint64_t> max_validators_per_model;
};

struct ModelRules {
  bool enabled = true;
  ModelThresholds thresholds;
  std::vector<std::string> allowlist;
};

// Sections the file leaves out entirely.
EndpointRules endpoint_rules_builtin();
RouterRules router_rules_builtin();
MiddlewareRules middleware_rules_builtin();
BackgroundTaskRules background_task_rules_builtin();

struct FastapiScalingPolicy {
  std::string version;
  bool enabled = true;
  EndpointRules endpoints = endpoint_rules_builtin();
  DependencyRules dependencies;
  RouterRules routers = router_rules_builtin();
  LifespanRules lifespan;
  MiddlewareRules middleware = middleware_rules_builtin();
  BackgroundTaskRules background_tasks = background_task_rules_builtin();
  ModelRules models;
  std::vector<CallPattern> external_calls;
  std::vector<CallPattern> db_query_calls;
  std::vector<CallPattern> env_call_patterns;
};

// The policy used when the project has no policy file: version "1.0", every
// section at its built-in default, and the 8 + 12 + 2 built-in call patterns.
FastapiScalingPolicy builtin_scaling_policy();

// Parses one YAML document into a policy. The error is the reader's
// description, e.g. "missing field `version`" or "endpoints.sync_handler_severity:
// unknown variant `medium`, expected one of `Critical`, `High`, `Medium`, `Low`
// at line 3 column 26". Hostile input (deep nesting, alias bombs, huge
// documents) is refused with a description, never a crash.
std::expected<FastapiScalingPolicy, std::string> parse_scaling_policy(std::string_view yaml_text);

// `root`/.norvo/fastapi_scaling.yaml.
std::filesystem::path scaling_policy_path(const std::filesystem::path& root);

// The effective policy of the project at `root` (the canonical root), read
// afresh on every call. No file (or a path that cannot be examined): the
// built-in policy. Unreadable, empty, malformed or wrongly typed file:
// AnalysisConfig naming the file's full path and the description.
Result<FastapiScalingPolicy> load_scaling_policy(const std::filesystem::path& root);

// The policy as a JSON tree with the file's key names (objects key-sorted).
nlohmann::json scaling_policy_json(const FastapiScalingPolicy& policy);
nlohmann::json call_pattern_json(const CallPattern& p);

}  // namespace norvo::atlas::analysis
