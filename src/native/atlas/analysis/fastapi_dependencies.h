// Linking FastAPI dependencies across the index: resolving dependency names to
// artifacts by module proximity, expanding each endpoint's dependency chain,
// and deriving the authentication tags of endpoints.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "atlas/artifact.h"

namespace norvo::atlas {

// "Name(id='x')" or "Name(id=\"x\")" -> "x"; any other text unchanged.
std::string normalize_dependency_name(std::string_view name);

class DependencyIndex {
 public:
  struct Entry {
    std::string qualified_name;
    std::string simple_name;
    std::string module_path;
    std::vector<std::string> dependencies;  // normalised direct dependencies
  };

  explicit DependencyIndex(const std::vector<Artifact>& artifacts);

  // The entry a (normalised) dependency name refers to, seen from an artifact
  // of module `from_module`; nullptr when unresolved. Several candidates: the
  // one sharing most leading module segments, then the smallest qualified name.
  const Entry* resolve(std::string_view name, std::string_view from_module) const;

 private:
  std::vector<Entry> entries_;
  std::unordered_map<std::string, size_t> by_qualified_;
  std::unordered_map<std::string, std::vector<size_t>> by_simple_;
};

inline constexpr size_t kMaxDependencyDepth = 25;

// Fills `dependency_chain` of every artifact with direct dependencies:
// depth-first from each direct dependency, cycles cut, names in first-visit order.
void link_dependency_chains(std::vector<Artifact>& artifacts);

// Adds "auth_enforced", "auth_security", "auth_http_exception" and
// "auth_enforced_by:<provider>" to endpoints whose chain reaches a function
// that raises HTTPException (a caller in `http_exception_callers`) or that
// have security dependencies. Tags already present are not repeated.
void add_auth_tags(std::vector<Artifact>& artifacts, const std::unordered_set<std::string>& http_exception_callers);

}  // namespace norvo::atlas
