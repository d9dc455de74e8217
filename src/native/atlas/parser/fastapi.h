// FastAPI and pydantic metadata carried on definitions: the parameter record,
// the roles of a handler, the per-file lookup tables the module walk builds
// before extracting definitions, and the artifact dependency fields derived
// from parameters.
//
// The extraction (fastapi.cc) plugs into the module walk through the hooks
// declared in walkers.h: four pre-passes over module-level statements fill
// FastapiTables, then each function gets its params, response models, roles
// and router prefix, each class its roles and, for pydantic models, the
// fields and validators summaries; a last pass over the finished list sets
// the request models of route handlers. Everything is read from one file's
// syntax; the scan links dependencies across files afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace norvo::atlas::parser {

enum class ParamKind : uint8_t { Positional, KeywordOnly, Star, DoubleStar };

// One parameter of a function or method, in declaration order.
struct ParamInfo {
  std::string name;                       // the parameter's `arg`
  ParamKind kind = ParamKind::Positional;  // positional covers posonlyargs and args
  std::optional<std::string> annotation;   // host repr() of the annotation node
  std::optional<std::string> default_value;  // host repr() of the default node
  std::vector<std::string> type_names;     // names the annotation mentions, pre-order
  std::optional<std::string> dependency;   // dependency callable's name
  bool is_dependency = false;
  bool is_security = false;
  bool is_background_tasks = false;
  bool is_body = false;
  std::optional<bool> body_embed;
};

// Roles derived from tags, always listed in this order.
enum class FastapiRole : uint8_t { RouteHandler, Middleware, LifespanStartup, LifespanShutdown };

// "route_handler", "middleware", "lifespan_startup", "lifespan_shutdown".
std::string_view fastapi_role_text(FastapiRole role);

// Per-file lookup tables built by the pre-passes over module-level statements.
// Never stored; they only steer the extraction of one file.
struct FastapiTables {
  struct Alias {
    std::string dependency;
    bool is_security = false;
  };
  std::unordered_map<std::string, std::string> router_prefix_map;  // router variable -> URL prefix
  std::unordered_map<std::string, Alias> dependency_alias_map;      // alias name -> dependency
  std::unordered_set<std::string> security_scheme_vars;             // OAuth2 password-bearer variables
};

// Artifact dependency fields: the `dependency` names of parameters with
// `is_dependency` set, each once, in first-occurrence order; and the subset
// of those that are also `is_security`.
std::vector<std::string> direct_dependencies(const std::vector<ParamInfo>& params);
std::vector<std::string> security_dependencies(const std::vector<ParamInfo>& params);

}  // namespace norvo::atlas::parser
