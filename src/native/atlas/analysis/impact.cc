// Call graph, function and file impact reports, risk and summary.
#include "atlas/analysis/impact.h"

#include <fmt/format.h>

#include <limits>
#include <unordered_set>

#include "atlas/atlas.h"
#include "core/logging.h"

namespace norvo::atlas {

namespace {

constexpr uint32_t kNoRow = std::numeric_limits<uint32_t>::max();

RiskLevel risk_of(uint64_t callers, uint64_t importers, uint64_t api_endpoints) {
  if (api_endpoints > 0) return RiskLevel::Critical;
  if (callers >= 10 || importers >= 10) return RiskLevel::High;
  if (callers > 2 || importers > 2) return RiskLevel::Medium;
  if (callers > 0 || importers > 0) return RiskLevel::Low;
  return RiskLevel::None;
}

struct Part {
  uint64_t count;
  const char* what;
};

std::string summary_of(std::string_view target, RiskLevel risk, std::initializer_list<Part> parts) {
  std::string joined;
  for (const auto& p : parts) {
    if (p.count == 0) continue;
    if (!joined.empty()) joined += ", ";
    joined += fmt::format("{} {}", p.count, p.what);
  }
  if (joined.empty()) return fmt::format("Change to '{}' has no detected impact ({})", target, risk_level_text(risk));
  return fmt::format("Change to '{}' affects: {} [Risk: {}]", target, joined, risk_level_text(risk));
}

}  // namespace

// ---- call graph ------------------------------------------------------------------

CallGraph CallGraph::build(std::vector<storage::CallEdge> rows) {
  CallGraph g;
  g.rows_ = std::move(rows);
  std::vector<std::pair<std::string_view, std::string_view>> pairs;
  pairs.reserve(g.rows_.size());
  for (const auto& r : g.rows_) pairs.emplace_back(r.caller_qualified_name, r.callee_qualified_name);
  std::vector<std::pair<uint32_t, uint32_t>> ids;
  g.graph_ = NameGraph::build(pairs, &ids);
  // A row where the name is the caller says where that code lives; a row where
  // it is only called says where its caller lives, so it counts only for
  // names that never call anything.
  g.first_row_.assign(g.graph_.size(), kNoRow);
  std::vector<uint32_t> first_as_callee(g.graph_.size(), kNoRow);
  for (uint32_t i = 0; i < g.rows_.size(); ++i) {
    auto [caller, callee] = ids[i];
    if (g.first_row_[caller] == kNoRow) g.first_row_[caller] = i;
    if (first_as_callee[callee] == kNoRow) first_as_callee[callee] = i;
  }
  for (size_t id = 0; id < g.first_row_.size(); ++id) {
    if (g.first_row_[id] == kNoRow) g.first_row_[id] = first_as_callee[id];
  }
  return g;
}

Result<CallGraph> CallGraph::load(sqlite::Db& db) {
  auto rows = NORVO_TRY(storage::all_calls(db));
  return build(std::move(rows));
}

size_t CallGraph::direct_caller_count(std::string_view name) const {
  auto id = graph_.id(name);
  return id ? graph_.neighbours(*id, NameGraph::Direction::In).size() : 0;
}

size_t CallGraph::transitive_caller_count(std::string_view name, uint32_t max_depth, size_t stop_after) const {
  auto id = graph_.id(name);
  return id ? graph_.walk(*id, NameGraph::Direction::In, max_depth, stop_after).size() : 0;
}

const std::string* CallGraph::first_file_of(std::string_view name) const {
  auto id = graph_.id(name);
  if (!id || first_row_[*id] == kNoRow) return nullptr;
  return &rows_[first_row_[*id]].caller_file;
}

// ---- texts -----------------------------------------------------------------------

std::string_view impact_type_text(ImpactType t) {
  switch (t) {
    case ImpactType::DirectCaller: return "direct_caller";
    case ImpactType::TransitiveCaller: return "transitive_caller";
    case ImpactType::DirectImporter: return "direct_importer";
    case ImpactType::TransitiveImporter: return "transitive_importer";
    case ImpactType::TestCoverage: return "test_coverage";
    case ImpactType::ApiExposure: return "api_exposure";
  }
  return "direct_caller";
}

std::string_view risk_level_text(RiskLevel r) {
  switch (r) {
    case RiskLevel::None: return "none";
    case RiskLevel::Low: return "low";
    case RiskLevel::Medium: return "medium";
    case RiskLevel::High: return "high";
    case RiskLevel::Critical: return "critical";
  }
  return "none";
}

bool is_test_file(std::string_view path) {
  return path.find("test_") != std::string_view::npos || path.find("_test.py") != std::string_view::npos;
}

// ---- reports ---------------------------------------------------------------------

ImpactReport function_impact(std::string_view target, const CallGraph& calls, const std::vector<Artifact>& artifacts) {
  ImpactReport r;
  r.target = std::string(target);
  const NameGraph& g = calls.graph();

  // A caller's file: the call rows first, then the artifacts (only reached for
  // names no row mentions, which no caller produced by the walks can be).
  auto file_of = [&](const std::string& name) -> std::string {
    if (const std::string* f = calls.first_file_of(name)) return *f;
    for (const auto& a : artifacts) {
      if (a.qualified_name == name) return a.file_path;
    }
    return {};
  };

  if (auto t = g.id(target)) {
    auto direct = g.neighbours(*t, NameGraph::Direction::In);
    std::vector<bool> is_direct(g.size(), false);
    for (uint32_t c : direct) {
      is_direct[c] = true;
      r.affected_items.push_back({g.name(c), file_of(g.name(c)), 1, ImpactType::DirectCaller, std::nullopt});
      ++r.direct_callers;
    }
    auto reached = g.walk(*t, NameGraph::Direction::In, kMaxWalkDepth);
    std::vector<bool> in_walk(g.size(), false);
    for (uint32_t c : reached) {
      in_walk[c] = true;
      if (is_direct[c]) continue;
      r.affected_items.push_back({g.name(c), file_of(g.name(c)), 2, ImpactType::TransitiveCaller, std::nullopt});
      ++r.transitive_callers;
    }
    for (const auto& item : r.affected_items) {
      if (is_test_file(item.file_path)) ++r.test_files;
    }
    // An endpoint exposes the target when the target lies within 10 call steps
    // below it, i.e. exactly when the endpoint is among the target's callers
    // reached within 10 steps: one reverse walk answers for every endpoint.
    for (const auto& a : artifacts) {
      if (a.kind != ArtifactKind::Endpoint) continue;
      auto e = g.id(a.qualified_name);
      if (!e || !in_walk[*e]) continue;
      r.affected_items.push_back({a.qualified_name, a.file_path, 0, ImpactType::ApiExposure, std::nullopt});
      ++r.api_endpoints;
    }
  }

  r.risk_level = risk_of(r.direct_callers + r.transitive_callers, 0, r.api_endpoints);
  r.summary = summary_of(target, r.risk_level,
                         {{r.direct_callers, "direct caller(s)"},
                          {r.transitive_callers, "transitive caller(s)"},
                          {r.test_files, "test file(s)"},
                          {r.api_endpoints, "API endpoint(s)"}});
  return r;
}

ImpactReport file_impact(std::string_view target, const ImportGraph& imports) {
  ImpactReport r;
  r.target = std::string(target);
  auto direct = imports.direct_importers(target);
  for (auto& path : direct) {
    if (is_test_file(path)) ++r.test_files;
    r.affected_items.push_back({path, path, 1, ImpactType::DirectImporter, std::nullopt});
    ++r.direct_importers;
  }
  std::unordered_set<std::string_view> is_direct(direct.begin(), direct.end());
  for (auto& path : imports.dependents(target)) {
    if (is_direct.contains(path)) continue;
    if (is_test_file(path)) ++r.test_files;
    r.affected_items.push_back({path, path, 2, ImpactType::TransitiveImporter, std::nullopt});
    ++r.transitive_importers;
  }
  r.risk_level = risk_of(0, r.direct_importers + r.transitive_importers, 0);
  r.summary = summary_of(target, r.risk_level,
                         {{r.direct_importers, "direct importer(s)"},
                          {r.transitive_importers, "transitive importer(s)"},
                          {r.test_files, "test file(s)"}});
  return r;
}

// ---- Atlas operations ------------------------------------------------------------

Result<ImpactReport> analyze_function_impact(Atlas& atlas, std::string_view qualified_name) {
  log::Span span("analyze_function_impact", {{"qualified_name", qualified_name}});
  auto calls = NORVO_TRY(CallGraph::load(atlas.db()));
  // The import graph plays no part in a function's report, but a failing
  // read of it still fails the call.
  NORVO_TRY(storage::all_imports(atlas.db()));
  auto artifacts = NORVO_TRY(storage::all_artifacts(atlas.db()));
  return function_impact(qualified_name, calls, artifacts);
}

Result<ImpactReport> analyze_file_impact(Atlas& atlas, std::string_view file_path) {
  log::Span span("analyze_file_impact", {{"file_path", file_path}});
  // The call graph plays no part in a file's report; its read is kept so that
  // both reports fail alike on a broken index.
  NORVO_TRY(storage::all_calls(atlas.db()));
  auto imports = NORVO_TRY(ImportGraph::load(atlas.db()));
  return file_impact(file_path, imports);
}

}  // namespace norvo::atlas
