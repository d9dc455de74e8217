// Truth capsules: a bundle of evidence about one FastAPI endpoint, assembled
// from the index alone — the handler's span, its dependency functions, its
// pydantic models, the project's middleware, exception handlers and callees
// reachable through the call graph, and what could not be resolved. Nothing
// is parsed and nothing is written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "atlas/artifact.h"
#include "atlas/storage/repository.h"
#include "core/result.h"

namespace norvo::atlas {
class Atlas;
}

namespace norvo::atlas::analysis {

struct CapsuleRequest {
  std::optional<std::string> method;
  std::optional<std::string> path;
  std::optional<std::string> operation_id;  // accepted, not used yet
  std::optional<std::string> handler_qualified_name;
  std::string mode = "static";
  bool strict = false;
  uint64_t max_spans = 1024;  // accepted, not used yet
  uint64_t max_dependency_depth = 8;
  uint64_t max_call_depth = 6;
  uint64_t max_call_nodes = 256;
  bool include_snippets = false;   // accepted, not used yet
  uint64_t snippet_max_lines = 0;  // accepted, not used yet
};

// The capsule over already read index contents: `artifacts` ordered by file
// path then start line, `calls` by caller then line. Request errors are
// AtlasUnavailable (recoverable false) with the request's message. The
// capsule's elapsed_ms counts from the start of this call.
//
// Beyond the literal route path, an endpoint is also scored against its
// router prefix joined with the route path (the better score counts), so a
// request for /orders/{id} finds the handler declared as "/{id}" on a router
// with prefix /orders. Call edges are keyed by their caller with the class
// part of the scope dropped (module + "." + function name), which is how
// artifacts are named, so the call walks also continue through methods.
// A schema name that is a wrapped type text (list[Item], Item | None) that
// does not resolve as a whole gives the models it mentions. Unresolved
// entries are listed once per (kind, detail).
Result<nlohmann::json> build_truth_capsule(const CapsuleRequest& request, const std::vector<Artifact>& artifacts,
                                           const std::vector<storage::CallEdge>& calls);

// The whole method: freshness check (may scan), index reads, capsule. Runs
// in the "fastapi_truth_capsule" span; a failure is logged at ERROR with its
// text before it is returned.
Result<nlohmann::json> fastapi_truth_capsule(Atlas& atlas, const CapsuleRequest& request);

}  // namespace norvo::atlas::analysis
