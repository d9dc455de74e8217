// The pattern detector: two groupings of the artifacts, six passes over them,
// then the minimum-confidence filter.
#include "atlas/analysis/patterns.h"

#include "util/text.h"

#include <algorithm>
#include <array>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "atlas/atlas.h"
#include "atlas/storage/repository.h"
#include "core/logging.h"

namespace norvo::atlas {

namespace {

constexpr std::array<std::string_view, 10> kTypeTexts = {
    "crud", "repository", "factory", "service_layer", "singleton",
    "strategy", "observer", "decorator", "adapter", "facade"};

constexpr std::array<std::string_view, 8> kCrudVerbs = {"create", "read", "get", "update",
                                                        "delete", "remove", "list", "find"};
constexpr std::array<std::string_view, 4> kRepositoryClassHints = {"repository", "repo", "dao", "store"};
constexpr std::array<std::string_view, 7> kRepositoryMethodHints = {"find",   "save",  "delete", "get_by",
                                                                    "find_by", "query", "fetch"};
constexpr std::array<std::string_view, 3> kFactoryClassHints = {"factory", "builder", "creator"};
constexpr std::array<std::string_view, 6> kFactoryMethodPrefixes = {"create", "make",         "build",
                                                                    "new",    "get_instance", "produce"};
constexpr std::array<std::string_view, 4> kServiceSuffixes = {"service", "manager", "handler", "controller"};
// Matched against lowered names, so the camel-case hint is tested lowered too.
constexpr std::array<std::string_view, 4> kSingletonHints = {"get_instance", "instance", "_instance", "getinstance"};


bool contains(std::string_view hay, std::string_view needle) { return hay.find(needle) != std::string_view::npos; }

template <size_t N>
bool contains_any(std::string_view hay, const std::array<std::string_view, N>& words) {
  return std::any_of(words.begin(), words.end(), [&](std::string_view w) { return contains(hay, w); });
}

// A group of artifacts under one key, in input order. Groups are kept in the
// order their keys first appear, which makes every run over the same index
// produce the same list.
struct Group {
  std::string key;
  std::vector<const Artifact*> members;
};

class Grouping {
 public:
  void add(std::string key, const Artifact* a) {
    auto [it, inserted] = index_.try_emplace(key, groups_.size());
    if (inserted) groups_.push_back(Group{std::move(key), {}});
    groups_[it->second].members.push_back(a);
  }
  const std::vector<Group>& groups() const { return groups_; }

 private:
  std::unordered_map<std::string, size_t> index_;
  std::vector<Group> groups_;
};

// Classes under their own name, methods under the last segment of their
// module path (the qualified name of a method does not hold its class).
Grouping class_grouping(const std::vector<Artifact>& artifacts) {
  Grouping g;
  for (const auto& a : artifacts) {
    if (a.kind != ArtifactKind::Class && a.kind != ArtifactKind::Method) continue;
    std::string_view q = a.qualified_name;
    size_t last = q.rfind('.');
    if (last == std::string_view::npos) continue;  // fewer than two parts
    if (a.kind == ArtifactKind::Class) {
      g.add(std::string(q.substr(last + 1)), &a);
    } else {
      size_t before = last == 0 ? std::string_view::npos : q.rfind('.', last - 1);
      size_t start = before == std::string_view::npos ? 0 : before + 1;
      g.add(std::string(q.substr(start, last - start)), &a);
    }
  }
  return g;
}

Grouping module_grouping(const std::vector<Artifact>& artifacts) {
  Grouping g;
  for (const auto& a : artifacts) {
    if (a.kind == ArtifactKind::Function || a.kind == ArtifactKind::AsyncFunction ||
        a.kind == ArtifactKind::Endpoint) {
      g.add(a.file_path, &a);
    }
  }
  return g;
}

std::vector<std::string> member_names(const Group& g) {
  std::vector<std::string> names;
  names.reserve(g.members.size());
  for (const Artifact* a : g.members) names.push_back(util::lower_full(a->symbol_name));
  return names;
}

// Distinct lowered member names, in first-appearance order.
std::vector<std::string> distinct_member_names(const Group& g) {
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  for (const Artifact* a : g.members) {
    std::string n = util::lower_full(a->symbol_name);
    if (seen.insert(n).second) names.push_back(std::move(n));
  }
  return names;
}

std::string joined(const std::vector<std::string>& items, std::string_view sep) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += sep;
    out += items[i];
  }
  return out;
}

// The CRUD verbs (table order) contained in at least one name.
std::vector<std::string> crud_verbs(const std::vector<std::string>& names) {
  std::vector<std::string> verbs;
  for (std::string_view verb : kCrudVerbs) {
    if (std::any_of(names.begin(), names.end(), [&](const std::string& n) { return contains(n, verb); })) {
      verbs.emplace_back(verb);
    }
  }
  return verbs;
}

// Fills type, artifacts, indicators and confidence of a CRUD pattern when the
// group has at least three verbs.
bool crud_pattern(const Group& g, DetectedPattern& p) {
  std::vector<std::string> verbs = crud_verbs(member_names(g));
  if (verbs.size() < 3) return false;
  p.pattern_type = PatternType::Crud;
  for (const Artifact* a : g.members) p.artifacts.push_back(a->qualified_name);
  p.confidence = std::min(static_cast<double>(verbs.size()) / 4.0, 1.0);
  p.indicators = std::move(verbs);
  return true;
}

DetectedPattern class_pattern(PatternType type, const Group& g, double confidence, std::string explanation) {
  DetectedPattern p;
  p.pattern_type = type;
  p.name = g.key;
  p.file_path = g.members.front()->file_path;
  p.confidence = confidence;
  p.explanation = std::move(explanation);
  return p;
}

void class_crud_pass(const Grouping& classes, std::vector<DetectedPattern>& out) {
  for (const Group& g : classes.groups()) {
    DetectedPattern p;
    if (!crud_pattern(g, p)) continue;
    p.name = g.key;
    p.file_path = g.members.front()->file_path;
    p.explanation = "Class '" + g.key + "' implements CRUD operations: " + joined(p.indicators, ", ");
    out.push_back(std::move(p));
  }
}

void module_crud_pass(const Grouping& modules, std::vector<DetectedPattern>& out) {
  for (const Group& g : modules.groups()) {
    if (g.members.size() < 3) continue;
    DetectedPattern p;
    if (!crud_pattern(g, p)) continue;
    p.name = file_stem_text(g.key);
    p.file_path = g.key;
    p.explanation = "Module '" + p.name + "' implements CRUD operations: " + joined(p.indicators, ", ");
    out.push_back(std::move(p));
  }
}

void repository_pass(const Grouping& classes, std::vector<DetectedPattern>& out) {
  for (const Group& g : classes.groups()) {
    double base = contains_any(util::lower_full(g.key), kRepositoryClassHints) ? 0.4 : 0.0;
    std::vector<std::string> names = distinct_member_names(g);
    int hits = 0;
    for (std::string_view hint : kRepositoryMethodHints) {
      if (std::any_of(names.begin(), names.end(), [&](const std::string& n) { return contains(n, hint); })) ++hits;
    }
    double confidence = std::min(base + static_cast<double>(hits) / 7.0 * 0.6, 1.0);
    if (confidence < 0.5) continue;
    out.push_back(class_pattern(PatternType::Repository, g, confidence,
                                "Class '" + g.key + "' follows Repository pattern (data access abstraction)"));
  }
}

void factory_pass(const Grouping& classes, std::vector<DetectedPattern>& out) {
  for (const Group& g : classes.groups()) {
    double base = contains_any(util::lower_full(g.key), kFactoryClassHints) ? 0.5 : 0.0;
    std::vector<std::string> names = distinct_member_names(g);
    int hits = 0;
    for (std::string_view prefix : kFactoryMethodPrefixes) {
      if (std::any_of(names.begin(), names.end(), [&](const std::string& n) { return n.starts_with(prefix); })) {
        ++hits;
      }
    }
    double confidence = std::min(base + std::min(static_cast<double>(hits) / 3.0, 0.5), 1.0);
    if (confidence < 0.5) continue;
    out.push_back(class_pattern(PatternType::Factory, g, confidence,
                                "Class '" + g.key + "' follows Factory pattern (object creation)"));
  }
}

void service_layer_pass(const Grouping& classes, std::vector<DetectedPattern>& out) {
  for (const Group& g : classes.groups()) {
    std::string key = util::lower_full(g.key);
    bool suffixed = std::any_of(kServiceSuffixes.begin(), kServiceSuffixes.end(),
                                [&](std::string_view s) { return key.ends_with(s); });
    size_t n = g.members.size();
    if (!suffixed || n < 2) continue;
    double confidence = std::min(std::min(static_cast<double>(n) / 10.0, 0.4) + 0.6, 1.0);
    out.push_back(class_pattern(PatternType::ServiceLayer, g, confidence,
                                "Class '" + g.key + "' is a service layer component (" + std::to_string(n) +
                                    " methods)"));
  }
}

void singleton_pass(const Grouping& classes, std::vector<DetectedPattern>& out) {
  for (const Group& g : classes.groups()) {
    std::vector<std::string> names = distinct_member_names(g);
    bool found = false;
    for (std::string_view hint : kSingletonHints) {
      found = std::any_of(names.begin(), names.end(), [&](const std::string& n) { return contains(n, hint); });
      if (found) break;
    }
    if (!found) continue;
    out.push_back(class_pattern(PatternType::Singleton, g, 0.7,
                                "Class '" + g.key + "' appears to implement Singleton pattern"));
  }
}

}  // namespace

std::string_view pattern_type_text(PatternType type) { return kTypeTexts[static_cast<size_t>(type)]; }

PatternType pattern_type_from_text(std::string_view text) {
  for (size_t i = 0; i < kTypeTexts.size(); ++i) {
    if (kTypeTexts[i] == text) return static_cast<PatternType>(i);
  }
  if (text == "service") return PatternType::ServiceLayer;
  return PatternType::Crud;
}

std::string file_stem_text(std::string_view path) {
  // The last normal component, ignoring empty and "." components the way a
  // path's component walk does; ".." or nothing left means no file name.
  std::string_view last;
  bool have = false;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string_view::npos) slash = path.size();
    std::string_view part = path.substr(pos, slash - pos);
    if (!part.empty() && part != ".") {
      last = part;
      have = true;
    }
    pos = slash + 1;
  }
  if (!have || last == "..") return std::string(path);
  size_t dot = last.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::string(last);
  return std::string(last.substr(0, dot));
}

std::vector<DetectedPattern> detect_patterns_in(const std::vector<Artifact>& artifacts, double min_confidence) {
  std::vector<DetectedPattern> out;
  Grouping classes = class_grouping(artifacts);
  class_crud_pass(classes, out);
  module_crud_pass(module_grouping(artifacts), out);
  repository_pass(classes, out);
  factory_pass(classes, out);
  service_layer_pass(classes, out);
  singleton_pass(classes, out);
  std::erase_if(out, [&](const DetectedPattern& p) { return p.confidence < min_confidence; });
  return out;
}

Result<std::vector<DetectedPattern>> detect_patterns(Atlas& atlas) {
  log::Span span("detect_patterns");
  std::vector<Artifact> artifacts = NORVO_TRY(storage::all_artifacts(atlas.db()));
  if (artifacts.empty()) {
    // An empty index says nothing new, so earlier results stay stored.
    NLOG_INFO("norvo_atlas", "No artifacts found, skipping pattern detection");
    return std::vector<DetectedPattern>{};
  }
  NLOG_DEBUG("norvo_atlas", "Retrieved artifacts for pattern detection",
             {"artifact_count", static_cast<uint64_t>(artifacts.size())});
  std::vector<DetectedPattern> patterns = detect_patterns_in(artifacts, 0.5);
  NLOG_INFO("norvo_atlas", "Detected patterns", {"pattern_count", static_cast<uint64_t>(patterns.size())});

  std::vector<storage::PatternRow> rows;
  rows.reserve(patterns.size());
  for (const auto& p : patterns) {
    rows.push_back(storage::PatternRow{std::string(pattern_type_text(p.pattern_type)), p.name, p.file_path,
                                       p.confidence, p.artifacts, p.indicators, p.explanation});
  }
  NORVO_TRY(storage::store_patterns(atlas.db(), rows));
  return patterns;
}

Result<std::vector<DetectedPattern>> get_patterns(Atlas& atlas) {
  std::vector<storage::PatternRow> rows = NORVO_TRY(storage::all_patterns(atlas.db()));
  std::vector<DetectedPattern> out;
  out.reserve(rows.size());
  for (auto& r : rows) {
    DetectedPattern p;
    p.pattern_type = pattern_type_from_text(r.pattern_type);
    p.name = std::move(r.name);
    p.file_path = std::move(r.file_path);
    p.confidence = r.confidence;
    p.artifacts = std::move(r.artifacts);
    p.indicators = std::move(r.indicators);
    // The detector always writes an explanation; a NULL one (written by
    // someone else) reads as empty text so the field stays a str.
    p.explanation = r.explanation.value_or("");
    out.push_back(std::move(p));
  }
  return out;
}

}  // namespace norvo::atlas
