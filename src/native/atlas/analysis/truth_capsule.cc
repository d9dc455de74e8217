// Truth capsules: endpoint selection, name resolution, the evidence groups.
#include "atlas/analysis/truth_capsule.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <set>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include <fmt/format.h>

#include "atlas/atlas.h"
#include "atlas/staleness.h"
#include "core/logging.h"

namespace norvo::atlas::analysis {

using json = nlohmann::json;

namespace {

AtlasError request_error(std::string message) { return AtlasError::unavailable(std::move(message), false); }

bool has_tag(const Artifact& a, std::string_view tag) {
  return std::find(a.tags.begin(), a.tags.end(), tag) != a.tags.end();
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::vector<std::string_view> split_nonempty(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  size_t start = 0;
  while (start <= s.size()) {
    size_t cut = s.find(sep, start);
    if (cut == std::string_view::npos) cut = s.size();
    if (cut > start) out.push_back(s.substr(start, cut - start));
    start = cut + 1;
  }
  return out;
}

std::string_view strip_slashes(std::string_view s) {
  while (!s.empty() && s.front() == '/') s.remove_prefix(1);
  while (!s.empty() && s.back() == '/') s.remove_suffix(1);
  return s;
}

// A typed path parameter such as {id:int} never counts as a literal match.
bool is_converter_segment(std::string_view seg) {
  return seg.size() >= 2 && seg.front() == '{' && seg.back() == '}' && seg.find(':') != std::string_view::npos;
}

uint64_t route_score(std::string_view route, std::string_view requested) {
  std::string_view a = strip_slashes(route), b = strip_slashes(requested);
  uint64_t score = a == b ? 100 : 0;
  auto ra = split_nonempty(a, '/'), rb = split_nonempty(b, '/');
  if (ra.size() == rb.size()) score += 50;
  for (size_t i = 0; i < std::min(ra.size(), rb.size()); ++i)
    if (ra[i] == rb[i] && !is_converter_segment(ra[i])) score += 10;
  return score;
}

// A router prefix and a route path as one path.
std::string joined_path(std::string_view prefix, std::string_view route) {
  std::string out = "/" + std::string(strip_slashes(prefix));
  std::string_view rest = strip_slashes(route);
  if (!rest.empty()) out += "/" + std::string(rest);
  return out;
}

// Leading dot-separated components two module paths share.
size_t shared_components(std::string_view a, std::string_view b) {
  auto pa = split_nonempty(a, '.'), pb = split_nonempty(b, '.');
  size_t n = 0;
  while (n < pa.size() && n < pb.size() && pa[n] == pb[n]) ++n;
  return n;
}

float ratio(float top, uint64_t divisor) { return top / static_cast<float>(divisor); }

class Capsule {
 public:
  Capsule(const CapsuleRequest& req, const std::vector<Artifact>& artifacts, const std::vector<storage::CallEdge>& calls)
      : req_(req), arts_(artifacts) {
    for (size_t i = 0; i < arts_.size(); ++i) {
      by_qn_[arts_[i].qualified_name].push_back(i);
      by_simple_[arts_[i].symbol_name].push_back(i);
    }
    for (const auto& e : calls) edges_[caller_key(e)].push_back(&e);
  }

  Result<json> build() {
    auto start = std::chrono::steady_clock::now();
    if (req_.mode != "static")
      return fail(request_error(fmt::format("Unsupported Truth Capsule mode '{}'; only 'static' is implemented", req_.mode)));
    std::vector<const Artifact*> endpoints;
    for (const auto& a : arts_)
      if (a.kind == ArtifactKind::Endpoint) endpoints.push_back(&a);
    if (endpoints.empty()) return fail(request_error("No FastAPI endpoint artifacts found in Atlas index"));

    std::string resolved_by;
    if (req_.handler_qualified_name) {
      for (const auto* e : endpoints)
        if (e->qualified_name == *req_.handler_qualified_name) {
          ep_ = e;
          break;
        }
      if (!ep_)
        return fail(request_error(fmt::format("Handler qualified name '{}' did not resolve to a FastAPI endpoint",
                                              *req_.handler_qualified_name)));
      resolved_by = "handler_qualified_name";
    } else {
      if (!req_.method || !req_.path)
        return fail(request_error("Truth Capsule request must provide either handler_qualified_name or (method, path)"));
      ep_ = NORVO_TRY(select_by_route(endpoints));
      resolved_by = "method_path";
    }

    handler();
    if (req_.max_dependency_depth > 0) dependencies();
    schemas();
    middleware();
    if (req_.max_call_depth > 0 && req_.max_call_nodes > 0) {
      exceptions();
      call_slice();
    }

    size_t structural = 0;
    for (const auto& [kind, detail] : unresolved_)
      if (kind == "dependency_edge" || kind == "schema_edge" || kind == "router_origin") ++structural;
    if (req_.strict && structural > 0)
      return fail(request_error(fmt::format("Truth Capsule strict mode failed: {} unresolved structural edges "
                                            "(dependencies/schemas/router). Use strict=false for a partial capsule.",
                                            structural)));

    std::optional<std::string> method;
    if (ep_->http_method) method = upper(*ep_->http_method);
    json unresolved = json::array();
    for (const auto& [kind, detail] : unresolved_)
      unresolved.push_back(json{{"kind", kind}, {"detail", detail}, {"location", nullptr}});
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    return json{
        {"capsule_id", fmt::format("fastapi_capsule:{}:{}:{}", method.value_or(""), ep_->route_path.value_or(""),
                                   ep_->qualified_name)},
        {"resolved_by", resolved_by},
        {"mode", req_.mode},
        {"strict", req_.strict},
        {"is_partial", !unresolved_.empty()},
        {"endpoint",
         {{"method", method ? json(*method) : json(nullptr)},
          {"path_template", ep_->route_path ? json(*ep_->route_path) : json(nullptr)},
          {"operation_id", nullptr},
          {"handler_qualified_name", ep_->qualified_name}}},
        {"groups",
         {{"route_wiring", json::array()},
          {"handler", groups_[0]},
          {"dependencies", groups_[1]},
          {"schemas", groups_[2]},
          {"middleware", groups_[3]},
          {"exceptions", groups_[4]},
          {"call_slice", groups_[5]},
          {"tests", json::array()}}},
        {"unresolved", unresolved},
        {"stats",
         {{"elapsed_ms", static_cast<uint64_t>(elapsed.count())},
          {"db_queries", 0},
          {"files_read", 0},
          {"files_parsed", 0},
          {"cache_hit", false}}},
    };
  }

 private:
  enum Group { kHandler, kDependencies, kSchemas, kMiddleware, kExceptions, kCallSlice };

  // Caller "M.Class.method" (M the caller file's module) is filed under
  // "M.method", the name its artifact carries.
  static std::string caller_key(const storage::CallEdge& e) {
    std::string module = module_path_of(e.caller_file);
    const std::string& caller = e.caller_qualified_name;
    if (module.empty() || caller.size() <= module.size() + 1 || !caller.starts_with(module) ||
        caller[module.size()] != '.')
      return caller;
    std::string_view scope = std::string_view(caller).substr(module.size() + 1);
    if (auto dot = scope.rfind('.'); dot != std::string_view::npos) scope = scope.substr(dot + 1);
    return module + "." + std::string(scope);
  }

  const std::vector<const storage::CallEdge*>& edges_of(const std::string& node) const {
    static const std::vector<const storage::CallEdge*> none;
    auto it = edges_.find(node);
    return it == edges_.end() ? none : it->second;
  }

  Result<const Artifact*> select_by_route(const std::vector<const Artifact*>& endpoints) const {
    const std::string& method = *req_.method;
    const std::string& path = *req_.path;
    uint64_t best = 0;
    std::vector<const Artifact*> top;
    for (const auto* e : endpoints) {
      if (!e->http_method || !e->route_path) continue;
      if (lower(*e->http_method) != lower(method)) continue;
      uint64_t score = route_score(*e->route_path, path);
      if (e->router_prefix && !e->router_prefix->empty())
        score = std::max(score, route_score(joined_path(*e->router_prefix, *e->route_path), path));
      if (score == 0) continue;
      if (score > best) best = score, top.clear();
      if (score == best) top.push_back(e);
    }
    if (top.empty())
      return fail(request_error(fmt::format("No FastAPI endpoint matched method='{}' and path='{}'", method, path)));
    if (best < 10)
      return fail(request_error(
          fmt::format("Best route score {} below threshold for method='{}', path='{}'", best, method, path)));
    std::stable_sort(top.begin(), top.end(), [](const Artifact* a, const Artifact* b) {
      return std::tie(a->file_path, a->line_start) < std::tie(b->file_path, b->line_start);
    });
    if (top.size() > 1 && req_.strict)
      return fail(request_error(fmt::format("Ambiguous route for method='{}', path='{}'. Multiple endpoints share the "
                                            "best score; use handler_qualified_name.",
                                            method, path)));
    return top.front();
  }

  // Exact qualified name; else, for a dotted name, the artifacts named like
  // its last part whose qualified name ends with it; else by simple name.
  // Several candidates: the one closest to the endpoint's module, then the
  // smallest qualified name.
  const Artifact* resolve(std::string_view name, bool models_only) const {
    auto eligible = [&](size_t i) { return !models_only || arts_[i].kind == ArtifactKind::Model; };
    std::vector<size_t> cands;
    if (auto it = by_qn_.find(std::string(name)); it != by_qn_.end())
      for (size_t i : it->second)
        if (eligible(i)) cands.push_back(i);
    if (cands.empty()) {
      auto dot = name.rfind('.');
      std::string simple(dot == std::string_view::npos ? name : name.substr(dot + 1));
      if (auto it = by_simple_.find(simple); it != by_simple_.end())
        for (size_t i : it->second)
          if (eligible(i) && (dot == std::string_view::npos || arts_[i].qualified_name.ends_with(name)))
            cands.push_back(i);
    }
    if (cands.empty()) return nullptr;
    const Artifact* best = &arts_[cands.front()];
    size_t best_shared = shared_components(best->module_path, ep_->module_path);
    for (size_t k = 1; k < cands.size(); ++k) {
      const Artifact* a = &arts_[cands[k]];
      size_t shared = shared_components(a->module_path, ep_->module_path);
      if (shared > best_shared || (shared == best_shared && a->qualified_name < best->qualified_name))
        best = a, best_shared = shared;
    }
    return best;
  }

  void emit(Group group, const Artifact& a, std::string_view kind, std::string_view evidence, float score) {
    auto key = std::make_tuple(a.file_path, std::string(kind), a.line_start, a.line_end, a.qualified_name);
    if (!emitted_.insert(key).second) return;
    groups_[group].push_back(json{{"span",
                                   {{"file_path", a.file_path},
                                    {"start_line", a.line_start},
                                    {"end_line", a.line_end},
                                    {"kind", std::string(kind)},
                                    {"symbol", a.qualified_name},
                                    {"hash", a.hash ? json(*a.hash) : json(nullptr)},
                                    {"snippet", nullptr}}},
                                  {"evidence", json::array({std::string(evidence)})},
                                  {"score", static_cast<double>(score)}});
  }

  void unresolved(std::string kind, std::string detail) {
    std::pair<std::string, std::string> entry{std::move(kind), std::move(detail)};
    if (std::find(unresolved_.begin(), unresolved_.end(), entry) == unresolved_.end())
      unresolved_.push_back(std::move(entry));
  }

  void handler() { emit(kHandler, *ep_, "handler", "ast:def", 1.0f); }

  void dependencies() {
    uint64_t k = 0;
    for (const auto& name : ep_->dependency_chain) {
      if (k == req_.max_dependency_depth) break;
      ++k;
      if (const Artifact* a = resolve(name, false))
        emit(kDependencies, *a, "dependency", "ast:depends", ratio(0.9f, k));
      else
        unresolved("dependency_edge", name);
    }
  }

  // The model names a type text such as list[OrderOut] or Optional[schemas.User]
  // mentions, in order.
  static std::vector<std::string> mentioned_names(std::string_view text) {
    std::vector<std::string> out;
    size_t i = 0;
    auto ident = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' || static_cast<unsigned char>(c) >= 0x80; };
    while (i < text.size()) {
      if (!ident(text[i])) {
        ++i;
        continue;
      }
      size_t j = i;
      while (j < text.size() && ident(text[j])) ++j;
      std::string_view tok = text.substr(i, j - i);
      while (!tok.empty() && tok.back() == '.') tok.remove_suffix(1);
      while (!tok.empty() && tok.front() == '.') tok.remove_prefix(1);
      if (!tok.empty() && !(tok.front() >= '0' && tok.front() <= '9')) out.emplace_back(tok);
      i = j;
    }
    return out;
  }

  void schemas() {
    std::vector<std::string> names;
    for (const auto* list : {&ep_->request_models, &ep_->response_models})
      for (const auto& n : *list)
        if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
    uint64_t k = 0;
    for (const auto& name : names) {
      ++k;
      float score = ratio(0.8f, k);
      if (const Artifact* a = resolve(name, true)) {
        emit(kSchemas, *a, "model", "ast:def", score);
        continue;
      }
      // A wrapped model (list[Item], Item | None) is evidence of the model.
      bool any = false;
      if (name.find_first_of("[|,") != std::string::npos)
        for (const auto& inner : mentioned_names(name))
          if (const Artifact* a = resolve(inner, true)) {
            emit(kSchemas, *a, "model", "ast:def", score);
            any = true;
          }
      if (!any) unresolved("schema_edge", name);
    }
  }

  void middleware() {
    for (const auto& a : arts_)
      if (has_tag(a, "fastapi_middleware")) emit(kMiddleware, a, "middleware", "ast:middleware", 0.6f);
  }

  void exceptions() {
    std::unordered_set<std::string> met{ep_->qualified_name};
    std::deque<std::pair<std::string, uint64_t>> queue{{ep_->qualified_name, 0}};
    uint64_t counted = 0;
    while (!queue.empty()) {
      auto [node, depth] = std::move(queue.front());
      queue.pop_front();
      if (depth >= req_.max_call_depth) continue;
      for (const auto* e : edges_of(node)) {
        const std::string& callee = e->callee_qualified_name;
        if (!met.insert(callee).second) continue;
        ++counted;
        const Artifact* a = resolve(callee, false);
        if (lower(callee).find("exception_handler") != std::string::npos) {
          if (a) {
            emit(kExceptions, *a, "exception", "graph:calls", ratio(0.7f, depth + 1));
            queue.emplace_back(a->qualified_name, depth + 1);
          } else {
            unresolved("exception_edge", callee);
          }
        } else {
          queue.emplace_back(a ? a->qualified_name : callee, depth + 1);
        }
        if (counted >= req_.max_call_nodes) return;
      }
    }
  }

  void call_slice() {
    std::unordered_set<std::string> met{ep_->qualified_name};
    std::deque<std::pair<std::string, uint64_t>> queue{{ep_->qualified_name, 0}};
    uint64_t taken = 0;
    while (!queue.empty()) {
      auto [node, depth] = std::move(queue.front());
      queue.pop_front();
      if (depth >= req_.max_call_depth) continue;
      for (const auto* e : edges_of(node)) {
        const Artifact* a = resolve(e->callee_qualified_name, false);
        if (!a) {
          unresolved("call_edge", e->callee_qualified_name);
          continue;
        }
        if (met.contains(a->qualified_name)) continue;
        if (taken >= req_.max_call_nodes) return;
        met.insert(a->qualified_name);
        ++taken;
        emit(kCallSlice, *a, "call_slice", "graph:calls", ratio(0.75f, depth + 1));
        queue.emplace_back(a->qualified_name, depth + 1);
      }
    }
  }

  const CapsuleRequest& req_;
  const std::vector<Artifact>& arts_;
  std::unordered_map<std::string, std::vector<size_t>> by_qn_, by_simple_;
  std::unordered_map<std::string, std::vector<const storage::CallEdge*>> edges_;
  const Artifact* ep_ = nullptr;
  json groups_[6] = {json::array(), json::array(), json::array(), json::array(), json::array(), json::array()};
  std::set<std::tuple<std::string, std::string, uint64_t, uint64_t, std::string>> emitted_;
  std::vector<std::pair<std::string, std::string>> unresolved_;
};

}  // namespace

Result<json> build_truth_capsule(const CapsuleRequest& request, const std::vector<Artifact>& artifacts,
                                 const std::vector<storage::CallEdge>& calls) {
  return Capsule(request, artifacts, calls).build();
}

Result<json> fastapi_truth_capsule(Atlas& atlas, const CapsuleRequest& request) {
  log::Span span("fastapi_truth_capsule");
  auto run = [&]() -> Result<json> {
    NORVO_TRY(ensure_indexed(atlas));
    auto artifacts = NORVO_TRY(storage::all_artifacts(atlas.db()));
    auto calls = NORVO_TRY(storage::all_calls(atlas.db()));
    return build_truth_capsule(request, artifacts, calls);
  };
  auto result = run();
  if (!result) NLOG_ERROR("norvo_atlas", "", {"error", result.error().to_string()});
  return result;
}

}  // namespace norvo::atlas::analysis
