#include "atlas/search.h"

#include <algorithm>

#include "atlas/atlas.h"
#include "atlas/scanner/security.h"
#include "atlas/staleness.h"
#include "atlas/storage/repository.h"
#include "core/logging.h"

namespace norvo::atlas {

namespace {
void drop_refused(const Atlas& atlas, std::vector<Artifact>& rows) {
  scanner::SecurityPolicy policy(atlas.root(), atlas.config().security);
  std::erase_if(rows, [&](const Artifact& a) { return !policy.is_path_allowed(atlas.root() / a.file_path); });
}
}  // namespace

Result<std::vector<Artifact>> search(Atlas& atlas, std::string_view query, uint64_t limit) {
  log::Span span("search", {{"query", query}, {"limit", limit}});
  NORVO_TRY(ensure_indexed(atlas));
  NLOG_DEBUG("norvo_atlas", "Searching artifacts", {"query", query}, {"limit", limit});
  auto rows = NORVO_TRY(storage::search(atlas.db(), query, limit));
  drop_refused(atlas, rows);
  return rows;
}

Result<std::vector<Artifact>> search_by_feature(Atlas& atlas, std::string_view feature) {
  log::Span span("search_by_feature", {{"feature", feature}});
  NORVO_TRY(ensure_indexed(atlas));
  NLOG_DEBUG("norvo_atlas", "Searching by feature", {"feature", feature});
  auto rows = NORVO_TRY(storage::artifacts_by_feature(atlas.db(), feature));
  drop_refused(atlas, rows);
  return rows;
}

}  // namespace norvo::atlas
