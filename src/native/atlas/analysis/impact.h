// Impact analysis: the call graph of the index and the reports that predict
// what a change to a function or to a file affects (callers, importers,
// tests, API endpoints) with a risk level and a one-line summary.
//
// Names are matched as stored: callers as module path plus scope, callees as
// written at the call site. Nothing is resolved, cached or written, and no
// operation here checks freshness or scans.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "atlas/analysis/import_graph.h"
#include "atlas/storage/repository.h"
#include "core/result.h"

namespace norvo::atlas {

class Atlas;

// Every stored call edge, with caller and callee maps over the exact texts.
class CallGraph {
 public:
  // `rows` in their loaded order (caller, then line).
  static CallGraph build(std::vector<storage::CallEdge> rows);
  // Reads every row of `calls` (Database errors: prepare, query, read_row).
  static Result<CallGraph> load(sqlite::Db& db);

  const std::vector<storage::CallEdge>& rows() const { return rows_; }
  // In: callers_of; Out: callees_of.
  const NameGraph& graph() const { return graph_; }

  // Number of distinct callers of `name` (0 when it is never a callee).
  size_t direct_caller_count(std::string_view name) const;

  // Distinct names calling `name` within `max_depth` steps, nearest first;
  // counting stops at `stop_after`.
  size_t transitive_caller_count(std::string_view name, uint32_t max_depth, size_t stop_after) const;

  // The file of `name`: the caller_file of the first row (in loaded order)
  // whose caller is `name`, else of the first row whose callee is `name`;
  // absent when no row mentions it.
  const std::string* first_file_of(std::string_view name) const;

 private:
  std::vector<storage::CallEdge> rows_;
  NameGraph graph_;
  std::vector<uint32_t> first_row_;  // per name id: index of the first row mentioning it
};

enum class ImpactType : uint8_t {
  DirectCaller,
  TransitiveCaller,
  DirectImporter,
  TransitiveImporter,
  TestCoverage,  // never produced
  ApiExposure,
};
std::string_view impact_type_text(ImpactType t);

enum class RiskLevel : uint8_t { None, Low, Medium, High, Critical };
std::string_view risk_level_text(RiskLevel r);

struct AffectedItem {
  std::string qualified_name;  // caller name, importer path or endpoint name
  std::string file_path;       // "" when unknown
  uint32_t distance = 0;       // 1 direct, 2 transitive (any depth), 0 exposure
  ImpactType impact_type = ImpactType::DirectCaller;
  std::optional<uint64_t> line_number;  // never set
};

struct ImpactReport {
  std::string target;
  uint64_t direct_callers = 0;
  uint64_t transitive_callers = 0;
  uint64_t direct_importers = 0;
  uint64_t transitive_importers = 0;
  uint64_t test_files = 0;
  uint64_t api_endpoints = 0;
  std::vector<AffectedItem> affected_items;
  RiskLevel risk_level = RiskLevel::None;
  std::string summary;
};

// A path is a test file when it contains "test_" or "_test.py" anywhere.
bool is_test_file(std::string_view path);

// Pure report builders over loaded data. Items taken from one set come in name
// order; transitive items in walk order.
ImpactReport function_impact(std::string_view target, const CallGraph& calls,
                             const std::vector<Artifact>& artifacts);
ImpactReport file_impact(std::string_view target, const ImportGraph& imports);

// Atlas operations: load calls, imports (and, for functions, artifacts), then
// build the report. Run in the "analyze_function_impact" and
// "analyze_file_impact" spans. A load failure is returned; no partial report.
Result<ImpactReport> analyze_function_impact(Atlas& atlas, std::string_view qualified_name);
Result<ImpactReport> analyze_file_impact(Atlas& atlas, std::string_view file_path);

}  // namespace norvo::atlas
