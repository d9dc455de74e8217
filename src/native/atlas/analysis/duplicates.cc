// Signature-shape grouping and bounded pairwise comparison.
#include "atlas/analysis/duplicates.h"

#include <algorithm>
#include <array>
#include <unordered_map>

#include "atlas/atlas.h"
#include "atlas/storage/repository.h"
#include "core/logging.h"
#include "util/text.h"

namespace norvo::atlas {

namespace {

constexpr std::string_view kTarget = "norvo_atlas::analysis::duplicates";

constexpr std::array<std::string_view, 4> kMatchTypeTexts = {"exact_duplicate", "similar_signature",
                                                             "similar_structure", "similar_naming"};

// Signatures that say nothing about what a function does.
constexpr std::array<std::string_view, 7> kTrivialSignatures = {
    "()", "(self)", "(cls)", "(self) -> None", "(self) -> Self", "(*args, **kwargs)", "(self, *args, **kwargs)"};

bool is_trivial(std::string_view s) {
  return std::find(kTrivialSignatures.begin(), kTrivialSignatures.end(), s) != kTrivialSignatures.end();
}

// The shape of a signature worth grouping, or "" when the artifact is left out.
std::string groupable_shape(const Artifact& a) {
  if (!a.signature) return {};
  std::string_view s = util::trim(*a.signature);
  if (s.size() <= 4) return {};
  std::string_view p = util::trim(s.substr(0, s.find("->")));
  if (is_trivial(p) || is_trivial(s)) return {};
  if (std::count(p.begin(), p.end(), ':') < 2) return {};  // fewer than two annotated parameters
  std::string shape = signature_shape(*a.signature);
  if (shape.size() < 10) return {};
  return shape;
}

// Path components as a path comparison sees them: separators collapse,
// "." components drop out except a leading one, a trailing "/" is ignored.
std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> out;
  if (path.starts_with('/')) out.push_back("/");
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string_view::npos) slash = path.size();
    std::string_view part = path.substr(pos, slash - pos);
    if (!part.empty() && (part != "." || (pos == 0 && out.empty()))) out.push_back(part);
    pos = slash + 1;
  }
  return out;
}

bool same_path(std::string_view a, std::string_view b) { return a == b || components(a) == components(b); }

bool nearby_in_same_file(const Artifact& a, const Artifact& b) {
  if (!same_path(a.file_path, b.file_path)) return false;
  uint64_t d = a.line_start > b.line_start ? a.line_start - b.line_start : b.line_start - a.line_start;
  return d < kNearbyDistance;
}

DuplicateMatch make_match(const Artifact& a, const Artifact& b) {
  DuplicateMatch m;
  m.artifact_a = a.qualified_name;
  m.artifact_b = b.qualified_name;
  m.file_a = a.file_path;
  m.file_b = b.file_path;
  m.suggestion =
      "Consider creating a generic function to replace '" + a.symbol_name + "' and '" + b.symbol_name + "'";
  m.lines_a = {a.line_start, a.line_end};
  m.lines_b = {b.line_start, b.line_end};
  m.similarity = 0.95;  // members of one group have equal shapes
  m.match_type = MatchType::SimilarSignature;
  return m;
}

struct ShapeGroup {
  std::string shape;
  std::vector<const Artifact*> members;
};

// Groups in the order their shapes first appear, so the budget always cuts
// the same pairs for the same index.
std::vector<ShapeGroup> shape_groups(const std::vector<Artifact>& artifacts) {
  std::vector<ShapeGroup> groups;
  std::unordered_map<std::string, size_t> index;
  for (const auto& a : artifacts) {
    std::string shape = groupable_shape(a);
    if (shape.empty()) continue;
    auto [it, inserted] = index.try_emplace(shape, groups.size());
    if (inserted) groups.push_back(ShapeGroup{std::move(shape), {}});
    groups[it->second].members.push_back(&a);
  }
  return groups;
}

// All members of a small group; every step-th member (at most 100) of a large one.
std::vector<const Artifact*> selection(const std::vector<const Artifact*>& members) {
  size_t n = members.size();
  if (n <= kMaxGroupSize) return members;
  size_t step = n / kMaxGroupSize;
  std::vector<const Artifact*> out;
  for (size_t i = 0; i < n && out.size() < kMaxGroupSize; i += step) out.push_back(members[i]);
  return out;
}

}  // namespace

std::string_view match_type_text(MatchType type) { return kMatchTypeTexts[static_cast<size_t>(type)]; }

std::string signature_shape(std::string_view signature) {
  // Byte-wise is enough: every character acted on is ASCII, and the bytes of
  // other characters are kept or dropped together with the annotation flag.
  std::string out;
  bool in_annotation = false;
  for (char c : signature) {
    if (c == ')' || c == ',') {
      out += c;
      in_annotation = false;
    } else if (c == ':') {
      in_annotation = true;
    } else if (in_annotation || c == ' ' || c == '(' || c == '-' || c == '>') {
      out += c;
    }
  }
  std::erase(out, ' ');
  return out;
}

std::vector<DuplicateMatch> find_duplicates_in(const std::vector<Artifact>& artifacts) {
  uint64_t groups_processed = 0, groups_sampled = 0, total_comparisons = 0, matches_found = 0;
  std::vector<DuplicateMatch> matches;
  bool stopped = false;

  for (const ShapeGroup& g : shape_groups(artifacts)) {
    size_t n = g.members.size();
    if (n == 1) continue;
    ++groups_processed;
    if (n > kMaxGroupSize) {
      ++groups_sampled;
      NLOG_WARN(kTarget, "Large signature group detected, sampling subset for comparison", {"signature", g.shape},
                {"group_size", static_cast<uint64_t>(n)}, {"max_size", static_cast<uint64_t>(kMaxGroupSize)});
    }
    std::vector<const Artifact*> sel = selection(g.members);
    for (size_t i = 0; i < sel.size() && !stopped; ++i) {
      for (size_t j = i + 1; j < sel.size(); ++j) {
        if (total_comparisons >= kMaxComparisons) {
          NLOG_WARN(kTarget, "Hit maximum comparison limit, stopping early", {"max_comparisons", kMaxComparisons});
          stopped = true;
          break;
        }
        ++total_comparisons;
        if (nearby_in_same_file(*sel[i], *sel[j])) continue;
        matches.push_back(make_match(*sel[i], *sel[j]));
        ++matches_found;
      }
    }
    if (stopped) break;
  }

  if (!stopped) {
    NLOG_DEBUG(kTarget, "Duplicate detection completed", {"groups_processed", groups_processed},
               {"groups_sampled", groups_sampled}, {"total_comparisons", total_comparisons},
               {"matches_found", matches_found});
  }
  std::stable_sort(matches.begin(), matches.end(),
                   [](const DuplicateMatch& a, const DuplicateMatch& b) { return a.similarity > b.similarity; });
  return matches;
}

Result<std::vector<DuplicateMatch>> find_duplicates(Atlas& atlas) {
  std::vector<Artifact> artifacts = NORVO_TRY(storage::all_artifacts(atlas.db()));
  return find_duplicates_in(artifacts);
}

}  // namespace norvo::atlas
