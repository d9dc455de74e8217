// The FastAPI scaling analysis: re-parses the project's admitted Python
// files, takes the call edges from the index, and judges the definitions
// against the scaling policy (fastapi_policy.h) in eleven passes, producing
// violations and evidence lists. Never writes to the index.
//
// Also home of the analysis records shared with the router topology: one
// freshly parsed definition with its file and module.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "atlas/analysis/fastapi_policy.h"
#include "atlas/parser/definitions.h"
#include "atlas/storage/repository.h"
#include "core/result.h"

namespace norvo::atlas {
class Atlas;
}

namespace norvo::atlas::analysis {

struct AnalysisRecord {
  parser::Definition def;
  std::string file_path;       // relative to the project root, '/' separators
  std::string module;          // dotted module name of the file
  std::string qualified_name;  // module + "." + name, or name when module is empty

  bool has_role(parser::FastapiRole role) const;
  // The route-handler role or the tag "fastapi_route".
  bool is_endpoint() const;
  // endpoint, else middleware, else lifespan, else dependency.
  ScopeKind scope() const;
  // The text after "router_" of the first tag that starts with it and is
  // longer than 7 characters.
  std::optional<std::string> router_name() const;
};

// Router variable names that carry endpoints under two or more different
// router prefixes ("app" never counts). These are different routers that
// share a name - the usual `router = APIRouter(prefix=...)` of every module -
// and are told apart by their module.
std::set<std::string> shared_router_names(const std::vector<AnalysisRecord>& records);

// The router a record's endpoints belong to: its router name, or module + "."
// + name when that name is in `shared`; none without a router tag.
std::optional<std::string> router_of(const AnalysisRecord& r, const std::set<std::string>& shared);

// The log texts of one analysis for a file refused by the security policy
// (DEBUG) and for a file that does not parse (WARN), both target norvo_atlas.
struct RecordLogTexts {
  std::string_view denied;
  std::string_view parse_failed;
};

// Creates a parser, discovers the project's Python files (ignore rules and
// size limit), skips the files the security policy refuses and the ones that
// fail to parse (logging each), and returns one record per definition in
// discovery order, then definition order. Errors of parser creation and
// discovery end the call.
Result<std::vector<AnalysisRecord>> collect_analysis_records(Atlas& atlas, const RecordLogTexts& texts);

// The report of analyze_fastapi_scaling over already collected inputs.
// `calls` is the call-edge list ordered by caller, then line.
nlohmann::json scaling_report(const FastapiScalingPolicy& policy, const std::vector<AnalysisRecord>& records,
                              const std::vector<storage::CallEdge>& calls);

// The whole method: freshness check (may scan), policy, records, call edges,
// report. Runs in the "analyze_fastapi_scaling" span; a failure is logged at
// ERROR with its text before it is returned.
Result<nlohmann::json> analyze_fastapi_scaling(Atlas& atlas);

}  // namespace norvo::atlas::analysis
