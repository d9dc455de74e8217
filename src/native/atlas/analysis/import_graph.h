// The file-level import graph of the index (dependents, dependencies and
// import cycles), and NameGraph, the interned directed graph it shares with
// the call graph of impact analysis.
//
// Graphs are rebuilt from the stored edges on every call; nothing is cached.
// Neighbours are kept sorted by name, so every walk over the same index gives
// the same result in the same order.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "atlas/storage/repository.h"
#include "core/result.h"

namespace norvo::atlas {

class Atlas;

// Every transitive walk stops expanding at this many steps from its start.
inline constexpr uint32_t kMaxWalkDepth = 10;

// A directed graph over interned names. Ids follow ascending byte order of the
// names, and each adjacency list is sorted by id without repeats, so several
// edges between the same two names are one edge.
class NameGraph {
 public:
  enum class Direction : uint8_t { Out, In };

  // Builds the graph of `edges` (from, to). The views are read during the
  // build only; the graph owns copies of the names. When `edge_ids` is given
  // it receives the (from, to) ids of every input edge, in input order.
  static NameGraph build(std::span<const std::pair<std::string_view, std::string_view>> edges,
                         std::vector<std::pair<uint32_t, uint32_t>>* edge_ids = nullptr);

  size_t size() const { return names_.size(); }
  std::optional<uint32_t> id(std::string_view name) const;
  const std::string& name(uint32_t id) const { return names_[id]; }

  // Targets of edges leaving `id` (Out) or sources of edges entering it (In).
  std::span<const uint32_t> neighbours(uint32_t id, Direction dir) const;

  // Breadth-first walk from `start`: every node at most `max_depth` steps away
  // in direction `dir`, nearer nodes first, each once, never `start` itself.
  // Nodes at `max_depth` are listed but not expanded. Stops early once
  // `stop_after` nodes have been listed.
  std::vector<uint32_t> walk(uint32_t start, Direction dir, uint32_t max_depth,
                             size_t stop_after = std::numeric_limits<size_t>::max()) const;

  // As `walk`, by name; empty when the name is not in the graph.
  std::vector<std::string> walk_names(std::string_view start, Direction dir, uint32_t max_depth) const;

 private:
  struct Adjacency {
    std::vector<uint32_t> offsets;  // size() + 1 entries
    std::vector<uint32_t> targets;
  };
  std::vector<std::string> names_;
  std::unordered_map<std::string_view, uint32_t> index_;  // views into names_
  Adjacency out_, in_;
};

// `forward` (source file -> imported files) and `reverse` (file -> importing
// files) over the stored `imports` rows. Nodes are the stored path texts,
// including invented targets of unresolved imports such as os.py.
class ImportGraph {
 public:
  static ImportGraph build(const std::vector<storage::ImportEdge>& edges);
  // Reads every row of `imports` (Database errors: prepare, query, read_row).
  static Result<ImportGraph> load(sqlite::Db& db);

  const NameGraph& graph() const { return graph_; }

  // Files importing `file` directly, sorted; empty when none or unknown.
  std::vector<std::string> direct_importers(std::string_view file) const;
  // Files importing `file` directly or through up to 10 import steps.
  std::vector<std::string> dependents(std::string_view file) const;
  // Files (or invented targets) `file` imports, up to 10 steps away.
  std::vector<std::string> dependencies(std::string_view file) const;

  // Depth-first cycle search over `forward`, starting nodes and neighbours
  // in name order. Each cycle is the path slice from the node an edge closes
  // on to the node that closes it. Uses an explicit stack: a chain of any
  // length is safe.
  std::vector<std::vector<std::string>> cycles() const;

 private:
  NameGraph graph_;
};

// Atlas operations; none of them checks freshness or scans.
Result<std::vector<std::string>> get_dependents(Atlas& atlas, std::string_view file_path);
Result<std::vector<std::string>> get_dependencies(Atlas& atlas, std::string_view file_path);
Result<std::vector<std::vector<std::string>>> detect_cycles(Atlas& atlas);

}  // namespace norvo::atlas
