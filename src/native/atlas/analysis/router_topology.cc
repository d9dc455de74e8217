// Router topology: the router table, include inference, JSON output.
#include "atlas/analysis/router_topology.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "atlas/atlas.h"
#include "atlas/staleness.h"
#include "core/logging.h"

namespace norvo::atlas::analysis {

using json = nlohmann::json;

namespace {

struct EndpointEntry {
  std::string qualified_name;
  json value;
};

struct Router {
  std::optional<std::string> prefix;
  std::set<std::string> modules;
  std::set<std::string> includes;
  std::vector<EndpointEntry> endpoints;
  bool is_app = false;
};

json opt(const std::optional<std::string>& v) { return v ? json(*v) : json(nullptr); }

EndpointEntry endpoint_entry(const AnalysisRecord& r) {
  std::vector<std::string> methods;
  for (const auto& t : r.def.tags)
    if (t.starts_with("http_")) methods.push_back(t.substr(5));
  std::sort(methods.begin(), methods.end());
  return {r.qualified_name, json{{"qualified_name", r.qualified_name},
                                 {"file_path", r.file_path},
                                 {"http_methods", methods},
                                 {"route_path", opt(r.def.route_path)},
                                 {"router_prefix", opt(r.def.router_prefix)}}};
}

Router& ensure_router(std::map<std::string, Router>& table, const std::string& name) {
  auto [it, added] = table.try_emplace(name);
  if (added) it->second.is_app = name == "app";
  return it->second;
}

// The parent of router `name`, creating a parent named after the first
// prefix segment when no existing router's prefix covers this one.
std::optional<std::string> find_parent(std::map<std::string, Router>& table, const std::string& name) {
  const Router& r = table.at(name);
  if (r.prefix) {
    const std::string& p = *r.prefix;
    std::optional<std::string> best;
    size_t best_len = 0;
    // Ascending name order, strictly longer wins: ties go to the first name.
    for (const auto& [other, q] : table) {
      if (other == name || !q.prefix || q.prefix->empty() || q.prefix->size() > p.size()) continue;
      if (!p.starts_with(*q.prefix)) continue;
      if (!best || q.prefix->size() > best_len) best = other, best_len = q.prefix->size();
    }
    if (best) return best;
    std::vector<std::string> segments;
    for (size_t start = 0; start <= p.size();) {
      size_t slash = p.find('/', start);
      if (slash == std::string::npos) slash = p.size();
      if (slash > start) segments.push_back(p.substr(start, slash - start));
      start = slash + 1;
    }
    if (segments.size() >= 2) {
      Router& parent = ensure_router(table, segments.front());
      if (!parent.prefix) {
        std::string prefix;
        for (size_t i = 0; i + 1 < segments.size(); ++i) prefix += "/" + segments[i];
        parent.prefix = prefix;
      }
      return segments.front();
    }
  }
  if (name != "app" && table.contains("app")) return "app";
  return std::nullopt;
}

}  // namespace

json router_topology(const std::vector<AnalysisRecord>& records) {
  std::vector<const AnalysisRecord*> endpoints;
  for (const auto& r : records)
    if (r.is_endpoint()) endpoints.push_back(&r);
  const std::set<std::string> shared = shared_router_names(records);

  std::map<std::string, Router> table;
  std::vector<EndpointEntry> direct;
  for (const auto* r : endpoints) {
    EndpointEntry entry = endpoint_entry(*r);
    std::string name = router_of(*r, shared).value_or("unscoped");
    Router& router = ensure_router(table, name);
    if (!router.prefix && r->def.router_prefix) router.prefix = r->def.router_prefix;
    router.modules.insert(r->module);
    if (name == "app") direct.push_back(entry);
    router.endpoints.push_back(std::move(entry));
  }

  std::vector<std::string> names;
  for (const auto& [name, _] : table) names.push_back(name);
  for (const auto& name : names)
    if (auto parent = find_parent(table, name)) table.at(*parent).includes.insert(name);

  auto by_name = [](const EndpointEntry& a, const EndpointEntry& b) { return a.qualified_name < b.qualified_name; };
  json routers = json::array();
  for (auto& [name, r] : table) {
    std::stable_sort(r.endpoints.begin(), r.endpoints.end(), by_name);
    json eps = json::array();
    for (auto& e : r.endpoints) eps.push_back(std::move(e.value));
    routers.push_back(json{{"name", name},
                           {"prefix", opt(r.prefix)},
                           {"modules", std::vector<std::string>(r.modules.begin(), r.modules.end())},
                           {"includes", std::vector<std::string>(r.includes.begin(), r.includes.end())},
                           {"endpoints", std::move(eps)},
                           {"is_app", r.is_app}});
  }
  std::stable_sort(direct.begin(), direct.end(), by_name);
  json direct_json = json::array();
  for (auto& e : direct) direct_json.push_back(std::move(e.value));
  return json{{"direct_app_routes", std::move(direct_json)}, {"routers", std::move(routers)}};
}

Result<json> analyze_fastapi_router_topology(Atlas& atlas) {
  log::Span span("analyze_fastapi_router_topology");
  auto run = [&]() -> Result<json> {
    NORVO_TRY(ensure_indexed(atlas));
    auto records = NORVO_TRY(collect_analysis_records(
        atlas, {"Skipping file denied by security configuration during router topology analysis",
                "Failed to parse file during FastAPI router topology analysis"}));
    return router_topology(records);
  };
  auto result = run();
  if (!result) NLOG_ERROR("norvo_atlas", "", {"error", result.error().to_string()});
  return result;
}

}  // namespace norvo::atlas::analysis
