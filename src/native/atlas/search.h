// Symbol search over the index: the ranked name search and the feature/kind
// listing. Both check freshness first (which may scan) and drop artifacts in
// files the security policy refuses.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "atlas/artifact.h"
#include "core/result.h"

namespace norvo::atlas {

class Atlas;

inline constexpr uint64_t kDefaultSearchLimit = 100;

// At most `limit` rows ranked exact name, exact qualified name, name prefix,
// qualified prefix, other; the limit applies before the security filter.
Result<std::vector<Artifact>> search(Atlas& atlas, std::string_view query, uint64_t limit);

// Artifacts whose feature or kind equals `feature`, by file and line.
Result<std::vector<Artifact>> search_by_feature(Atlas& atlas, std::string_view feature);

}  // namespace norvo::atlas
