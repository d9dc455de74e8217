// Duplicate detection by signature shape: functions and methods whose
// parameter annotations (names removed) are identical are reported pairwise,
// within a bounded amount of work. Reads the stored artifacts only; stores
// nothing and does not check the index for freshness.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "atlas/artifact.h"
#include "core/result.h"

namespace norvo::atlas {

class Atlas;

// Only SimilarSignature is produced; the others exist in the vocabulary.
enum class MatchType : uint8_t { ExactDuplicate, SimilarSignature, SimilarStructure, SimilarNaming };

// "exact_duplicate", "similar_signature", "similar_structure", "similar_naming".
std::string_view match_type_text(MatchType type);

struct DuplicateMatch {
  std::string artifact_a, artifact_b;  // qualified names
  std::string file_a, file_b;
  std::string suggestion;
  std::pair<uint64_t, uint64_t> lines_a, lines_b;  // (line_start, line_end)
  double similarity = 0.0;
  MatchType match_type = MatchType::SimilarSignature;
};

// The limits that keep the work bounded on large projects.
inline constexpr size_t kMaxGroupSize = 100;         // larger groups are sampled
inline constexpr uint64_t kMaxComparisons = 10000;   // pair comparisons per call
inline constexpr uint64_t kNearbyDistance = 20;      // same-file start lines closer than this are skipped

// The shape of a signature: parameter names, the function name and the return
// annotation dropped, each annotation kept up to the next "," or ")", and
// spaces removed. process(data: list[int], limit: int) -> dict gives
// (list[int],int)->.
std::string signature_shape(std::string_view signature);

// Pairs of artifacts with equal signature shapes, in the order found (groups
// by first appearance of their shape, pairs i<j within a group). Logs the
// sampling and budget WARN records and the DEBUG completion record.
std::vector<DuplicateMatch> find_duplicates_in(const std::vector<Artifact>& artifacts);

// find_duplicates_in over every stored artifact.
Result<std::vector<DuplicateMatch>> find_duplicates(Atlas& atlas);

}  // namespace norvo::atlas
