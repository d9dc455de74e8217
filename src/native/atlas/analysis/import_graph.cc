// NameGraph construction and walks; the import graph queries.
#include "atlas/analysis/import_graph.h"

#include <algorithm>
#include <numeric>

#include "atlas/atlas.h"

namespace norvo::atlas {

namespace {

using Edge = std::pair<uint32_t, uint32_t>;

}  // namespace

NameGraph NameGraph::build(std::span<const std::pair<std::string_view, std::string_view>> edges,
                           std::vector<Edge>* edge_ids) {
  // Intern in first-seen order, then renumber by name so that id order is
  // name order and sorted adjacency lists come out in name order too.
  std::unordered_map<std::string_view, uint32_t> seen;
  seen.reserve(edges.size());
  std::vector<std::string_view> first_seen;
  std::vector<Edge> raw;
  raw.reserve(edges.size());
  auto intern = [&](std::string_view s) {
    auto [it, fresh] = seen.try_emplace(s, static_cast<uint32_t>(first_seen.size()));
    if (fresh) first_seen.push_back(s);
    return it->second;
  };
  // Stored edges come sorted by source, so runs of one source are common.
  std::string_view last_from;
  uint32_t last_id = 0;
  for (const auto& [from, to] : edges) {
    if (raw.empty() || from != last_from) last_from = from, last_id = intern(from);
    raw.emplace_back(last_id, intern(to));
  }

  std::vector<uint32_t> order(first_seen.size());
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) { return first_seen[x] < first_seen[y]; });
  std::vector<uint32_t> rank(order.size());
  for (uint32_t i = 0; i < order.size(); ++i) rank[order[i]] = i;

  NameGraph g;
  g.names_.reserve(order.size());
  for (uint32_t old : order) g.names_.emplace_back(first_seen[old]);
  g.index_.reserve(g.names_.size());
  for (uint32_t i = 0; i < g.names_.size(); ++i) g.index_.emplace(g.names_[i], i);

  for (auto& [a, b] : raw) a = rank[a], b = rank[b];
  if (edge_ids) *edge_ids = raw;

  auto fill = [n = g.names_.size()](std::vector<Edge>& pairs, Adjacency& adj) {
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    adj.offsets.assign(n + 1, 0);
    for (const auto& [from, to] : pairs) ++adj.offsets[from + 1];
    std::partial_sum(adj.offsets.begin(), adj.offsets.end(), adj.offsets.begin());
    adj.targets.resize(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i) adj.targets[i] = pairs[i].second;
  };
  std::vector<Edge> reversed(raw.size());
  std::transform(raw.begin(), raw.end(), reversed.begin(), [](const Edge& e) { return Edge{e.second, e.first}; });
  fill(raw, g.out_);
  fill(reversed, g.in_);
  return g;
}

std::optional<uint32_t> NameGraph::id(std::string_view name) const {
  auto it = index_.find(name);
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

std::span<const uint32_t> NameGraph::neighbours(uint32_t id, Direction dir) const {
  const Adjacency& adj = dir == Direction::Out ? out_ : in_;
  return std::span<const uint32_t>(adj.targets).subspan(adj.offsets[id], adj.offsets[id + 1] - adj.offsets[id]);
}

std::vector<uint32_t> NameGraph::walk(uint32_t start, Direction dir, uint32_t max_depth, size_t stop_after) const {
  std::vector<uint32_t> result;
  if (stop_after == 0) return result;
  // Level by level, which visits nodes in the order of a FIFO queue of
  // (node, depth) entries while keeping the depth implicit.
  std::vector<bool> visited(names_.size(), false);
  visited[start] = true;
  std::vector<uint32_t> frontier{start};
  for (uint32_t depth = 0; depth < max_depth && !frontier.empty(); ++depth) {
    std::vector<uint32_t> next;
    for (uint32_t node : frontier) {
      for (uint32_t n : neighbours(node, dir)) {
        if (visited[n]) continue;
        visited[n] = true;
        result.push_back(n);
        if (result.size() >= stop_after) return result;
        next.push_back(n);
      }
    }
    frontier = std::move(next);
  }
  return result;
}

std::vector<std::string> NameGraph::walk_names(std::string_view start, Direction dir, uint32_t max_depth) const {
  std::vector<std::string> out;
  auto s = id(start);
  if (!s) return out;
  for (uint32_t n : walk(*s, dir, max_depth)) out.push_back(names_[n]);
  return out;
}

// ---- import graph ----------------------------------------------------------------

ImportGraph ImportGraph::build(const std::vector<storage::ImportEdge>& edges) {
  std::vector<std::pair<std::string_view, std::string_view>> pairs;
  pairs.reserve(edges.size());
  for (const auto& e : edges) pairs.emplace_back(e.source_file, e.target_file);
  ImportGraph g;
  g.graph_ = NameGraph::build(pairs);
  return g;
}

Result<ImportGraph> ImportGraph::load(sqlite::Db& db) {
  auto edges = NORVO_TRY(storage::all_imports(db));
  return build(edges);
}

std::vector<std::string> ImportGraph::direct_importers(std::string_view file) const {
  std::vector<std::string> out;
  auto id = graph_.id(file);
  if (!id) return out;
  for (uint32_t n : graph_.neighbours(*id, NameGraph::Direction::In)) out.push_back(graph_.name(n));
  return out;
}

std::vector<std::string> ImportGraph::dependents(std::string_view file) const {
  return graph_.walk_names(file, NameGraph::Direction::In, kMaxWalkDepth);
}

std::vector<std::string> ImportGraph::dependencies(std::string_view file) const {
  return graph_.walk_names(file, NameGraph::Direction::Out, kMaxWalkDepth);
}

std::vector<std::vector<std::string>> ImportGraph::cycles() const {
  // The recursive search, unrolled: each frame is a node on the current path
  // and the index of its next target to look at.
  constexpr uint32_t kOffPath = std::numeric_limits<uint32_t>::max();
  const size_t n = graph_.size();
  std::vector<bool> visited(n, false);
  std::vector<uint32_t> path_pos(n, kOffPath);  // position on the path, or kOffPath
  std::vector<uint32_t> path;
  struct Frame {
    uint32_t node;
    uint32_t next;
  };
  std::vector<Frame> stack;
  std::vector<std::vector<std::string>> cycles;

  auto enter = [&](uint32_t node) {
    visited[node] = true;
    path_pos[node] = static_cast<uint32_t>(path.size());
    path.push_back(node);
    stack.push_back({node, 0});
  };

  for (uint32_t start = 0; start < n; ++start) {
    if (visited[start]) continue;
    enter(start);
    while (!stack.empty()) {
      Frame& f = stack.back();
      auto targets = graph_.neighbours(f.node, NameGraph::Direction::Out);
      if (f.next < targets.size()) {
        uint32_t t = targets[f.next++];
        if (!visited[t]) {
          enter(t);  // invalidates `f`
        } else if (path_pos[t] != kOffPath) {
          std::vector<std::string> cycle;
          cycle.reserve(path.size() - path_pos[t]);
          for (size_t i = path_pos[t]; i < path.size(); ++i) cycle.push_back(graph_.name(path[i]));
          cycles.push_back(std::move(cycle));
        }
        continue;
      }
      path_pos[f.node] = kOffPath;
      path.pop_back();
      stack.pop_back();
    }
  }
  return cycles;
}

// ---- Atlas operations ------------------------------------------------------------

Result<std::vector<std::string>> get_dependents(Atlas& atlas, std::string_view file_path) {
  auto graph = NORVO_TRY(ImportGraph::load(atlas.db()));
  return graph.dependents(file_path);
}

Result<std::vector<std::string>> get_dependencies(Atlas& atlas, std::string_view file_path) {
  auto graph = NORVO_TRY(ImportGraph::load(atlas.db()));
  return graph.dependencies(file_path);
}

Result<std::vector<std::vector<std::string>>> detect_cycles(Atlas& atlas) {
  auto graph = NORVO_TRY(ImportGraph::load(atlas.db()));
  return graph.cycles();
}

}  // namespace norvo::atlas
