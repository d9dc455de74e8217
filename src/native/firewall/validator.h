// ImportValidator: a Policy compiled for classifying import paths as allowed,
// blocked, typosquat or unknown, plus the policy-independent similarity check
// behind `check_typosquat` and the result texts shown to Python.
//
// Built once per Firewall and immutable afterwards; classification has no
// side effects, reads no files and never logs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "firewall/policy.h"

namespace norvo::firewall {

struct Allowed {};
struct Unknown {};
struct Blocked {
  FirewallError error;  // kind BlockedPattern: package, pattern, reason
};
struct Typosquat {
  std::string intended;
  uint64_t distance = 0;
};
using ValidationResult = std::variant<Allowed, Blocked, Typosquat, Unknown>;

// "allowed", "blocked", "typosquat", "unknown".
std::string_view status_word(const ValidationResult& r);
bool is_allowed(const ValidationResult& r);

// The reason texts of `check_import` and file-analysis violations:
// "Import is allowed", the block text, "Possible typosquat of 'x' (distance: n)",
// "Unknown package - not in allowed list".
std::string long_reason(const ValidationResult& r);
// The shorter texts of `check_imports`: no distance, "Unknown package".
std::string short_reason(const ValidationResult& r);

struct SimilarityResult {
  bool is_typosquat = false;
  std::string intended_package;
  double similarity = 0.0;
};

// Compares a lower-cased name against the popular package list in order; the
// first entry with 0.8 <= similarity < 1.0 wins, an exact match means "no".
SimilarityResult check_similarity(std::string_view package_name);

class ImportValidator {
 public:
  explicit ImportValidator(const Policy& policy);

  ValidationResult classify(std::string_view import_path) const;

  // Number of names in the typo index.
  size_t typo_index_size() const { return typo_nodes_.size(); }

 private:
  struct TrieNode {
    std::optional<uint32_t> pattern;  // index into patterns_
    bool prefix = false;
    std::vector<std::pair<char32_t, uint32_t>> children;  // few per node: linear scan
  };
  struct TypoNode {
    std::string name;
    std::u32string scalars;
    std::vector<std::pair<uint64_t, uint32_t>> children;  // sorted by distance key
  };

  void add_pattern(const BlockedPattern& p, uint32_t index);
  std::optional<uint32_t> match_pattern(std::string_view path) const;
  void insert_typo_name(const std::string& name);
  std::optional<Typosquat> search_typo(std::string_view top) const;
  const std::string& intended_for(const std::string& name) const;

  std::vector<std::string> internal_prefixes_;
  std::vector<BlockedPattern> patterns_;
  std::vector<TrieNode> trie_;  // trie_[0] is the root (the empty string)
  std::unordered_set<std::string> stdlib_;
  std::unordered_set<std::string> allowed_;
  std::unordered_map<std::string, std::string> typo_map_;
  std::vector<TypoNode> typo_nodes_;  // typo_nodes_[0] is the root when non-empty
  uint64_t max_edit_distance_ = 2;
  bool typo_enabled_ = true;
};

}  // namespace norvo::firewall
