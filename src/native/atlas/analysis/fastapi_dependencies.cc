#include "atlas/analysis/fastapi_dependencies.h"

#include <algorithm>

namespace norvo::atlas {

namespace {

size_t shared_leading_segments(std::string_view a, std::string_view b) {
  size_t shared = 0;
  while (true) {
    size_t da = a.find('.'), db = b.find('.');
    std::string_view sa = a.substr(0, da), sb = b.substr(0, db);
    if (sa != sb) return shared;
    ++shared;
    if (da == std::string_view::npos || db == std::string_view::npos) return shared;
    a.remove_prefix(da + 1);
    b.remove_prefix(db + 1);
  }
}

void add_tag_once(std::vector<std::string>& tags, std::string tag) {
  if (std::find(tags.begin(), tags.end(), tag) == tags.end()) tags.push_back(std::move(tag));
}

}  // namespace

std::string normalize_dependency_name(std::string_view name) {
  for (std::string_view open : {"Name(id='", "Name(id=\""}) {
    char quote = open.back();
    if (name.starts_with(open) && name.size() >= open.size() + 2 && name.back() == ')' &&
        name[name.size() - 2] == quote) {
      return std::string(name.substr(open.size(), name.size() - open.size() - 2));
    }
  }
  return std::string(name);
}

DependencyIndex::DependencyIndex(const std::vector<Artifact>& artifacts) {
  entries_.reserve(artifacts.size());
  for (const auto& a : artifacts) {
    Entry e{a.qualified_name, a.symbol_name, a.module_path, {}};
    for (const auto& d : a.direct_dependencies) e.dependencies.push_back(normalize_dependency_name(d));
    entries_.push_back(std::move(e));
  }
  for (size_t i = 0; i < entries_.size(); ++i) {
    by_qualified_[entries_[i].qualified_name] = i;  // a later duplicate replaces an earlier one
    by_simple_[entries_[i].simple_name].push_back(i);
  }
}

const DependencyIndex::Entry* DependencyIndex::resolve(std::string_view name, std::string_view from_module) const {
  std::vector<size_t> candidates;
  size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) {
    if (auto it = by_qualified_.find(std::string(name)); it != by_qualified_.end()) return &entries_[it->second];
    if (auto it = by_simple_.find(std::string(name.substr(dot + 1))); it != by_simple_.end()) {
      for (size_t i : it->second)
        if (std::string_view(entries_[i].qualified_name).ends_with(name)) candidates.push_back(i);
    }
  } else if (auto it = by_simple_.find(std::string(name)); it != by_simple_.end()) {
    candidates = it->second;
  }
  if (candidates.empty()) return nullptr;
  const Entry* best = nullptr;
  size_t best_shared = 0;
  for (size_t i : candidates) {
    const Entry& e = entries_[i];
    size_t shared = shared_leading_segments(e.module_path, from_module);
    if (!best || shared > best_shared || (shared == best_shared && e.qualified_name < best->qualified_name)) {
      best = &e;
      best_shared = shared;
    }
  }
  return best;
}

namespace {

struct ChainWalk {
  const DependencyIndex& index;
  std::string_view from_module;
  std::vector<std::string> chain;
  std::vector<std::string> path;  // qualified names (or names) on the current walk

  void visit(const std::string& raw, size_t depth) {
    if (depth >= kMaxDependencyDepth) return;
    std::string name = normalize_dependency_name(raw);
    const DependencyIndex::Entry* target = index.resolve(name, from_module);
    const std::string& key = target ? target->qualified_name : name;
    if (std::find(path.begin(), path.end(), key) != path.end()) return;  // a cycle
    if (std::find(chain.begin(), chain.end(), name) == chain.end()) chain.push_back(name);
    if (!target) return;
    path.push_back(key);
    for (const auto& dep : target->dependencies) visit(dep, depth + 1);
    path.pop_back();
  }
};

}  // namespace

void link_dependency_chains(std::vector<Artifact>& artifacts) {
  if (artifacts.empty()) return;
  DependencyIndex index(artifacts);
  for (auto& a : artifacts) {
    if (a.direct_dependencies.empty()) continue;
    ChainWalk walk{index, a.module_path, {}, {}};
    for (const auto& dep : a.direct_dependencies) walk.visit(dep, 0);
    a.dependency_chain = std::move(walk.chain);
  }
}

void add_auth_tags(std::vector<Artifact>& artifacts, const std::unordered_set<std::string>& http_exception_callers) {
  if (artifacts.empty()) return;
  DependencyIndex index(artifacts);
  for (auto& a : artifacts) {
    if (a.kind != ArtifactKind::Endpoint) continue;
    std::vector<std::string> providers;
    for (const auto& entry : a.dependency_chain) {
      std::string name = normalize_dependency_name(entry);
      const auto* target = index.resolve(name, a.module_path);
      if (target && http_exception_callers.contains(target->qualified_name)) providers.push_back(std::move(name));
    }
    if (providers.empty() && a.security_dependencies.empty()) continue;
    add_tag_once(a.tags, "auth_enforced");
    if (!a.security_dependencies.empty()) add_tag_once(a.tags, "auth_security");
    if (!providers.empty()) {
      add_tag_once(a.tags, "auth_http_exception");
      for (const auto& p : providers) add_tag_once(a.tags, "auth_enforced_by:" + p);
    }
  }
}

}  // namespace norvo::atlas
