// The index repository: the only code that runs SQL against an opened index.
// Artifacts, import and call edges, scan runs, metadata and patterns are
// written and read here, every value bound as a numbered parameter.
//
// Every failure is an AtlasError of kind Database whose `operation` names the
// failing step (upsert_artifact, insert_import, commit, prepare, query, ...)
// and whose message is SQLite's text. Nothing is retried. Stored data that
// does not decode (unknown kinds or edge types, non-JSON list columns) is not
// a failure: it reads back as the documented default.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "atlas/artifact.h"
#include "atlas/edges.h"
#include "atlas/storage/sqlite.h"
#include "core/result.h"

namespace norvo::storage {

using atlas::Artifact;

// ---- edge rows -------------------------------------------------------------

using atlas::CallEdge;
using atlas::CallType;
using atlas::ImportEdge;
using atlas::ImportType;
using atlas::call_type_from_text;
using atlas::call_type_text;
using atlas::import_type_from_text;
using atlas::import_type_text;

// One row of `patterns`. The pattern type is kept as its stored text; the
// pattern detector owns the mapping to its enumeration.
struct PatternRow {
  std::string pattern_type;
  std::string name;
  std::string file_path;
  double confidence = 0.0;
  std::vector<std::string> artifacts;   // qualified names
  std::vector<std::string> indicators;
  std::optional<std::string> explanation;

  bool operator==(const PatternRow&) const = default;
};

// ---- artifacts ---------------------------------------------------------------

// Inserts or replaces the row of `a.qualified_name` (operation
// upsert_artifact); an existing row keeps its id and created_at. Writes the
// text_blob and updated_at. Runs inside the caller's transaction, if any.
[[nodiscard]] Status upsert_artifact(sqlite::Db& db, const Artifact& a);

// Upserts every artifact in order inside one transaction (begin: transaction,
// end: commit); either all are written or none. Logs DEBUG "Stored artifacts".
[[nodiscard]] Status store_artifacts(sqlite::Db& db, std::span<const Artifact> artifacts);

// Number of rows in `artifacts` (operation count).
[[nodiscard]] Result<uint64_t> count(sqlite::Db& db);

// Rows whose symbol name, qualified name, module path or file path contain
// `query` (SQLite LIKE: ASCII case-insensitive, % and _ are wildcards), best
// first: exact symbol name, exact qualified name, symbol-name prefix,
// qualified-name prefix, the rest; ties by symbol name. At most `limit` rows.
// Logs DEBUG "Search results".
[[nodiscard]] Result<std::vector<Artifact>> search(sqlite::Db& db, std::string_view query, uint64_t limit);

// Every row, ordered by file_path, then line_start.
[[nodiscard]] Result<std::vector<Artifact>> all_artifacts(sqlite::Db& db);

// Rows whose feature or kind text equals `feature`, ordered by file_path,
// then line_start.
[[nodiscard]] Result<std::vector<Artifact>> artifacts_by_feature(sqlite::Db& db, std::string_view feature);

// ---- edges -------------------------------------------------------------------

// Insert-or-replace every edge inside one transaction (begin: transaction,
// each row: insert_import, end: commit); a failure rolls the whole batch back.
// Logs DEBUG "Stored imports".
[[nodiscard]] Status insert_imports(sqlite::Db& db, std::span<const ImportEdge> edges);

// As insert_imports for `calls` (each row: insert_call_edge). Logs DEBUG
// "Stored call edges".
[[nodiscard]] Status insert_calls(sqlite::Db& db, std::span<const CallEdge> edges);

// Every import edge, ordered by source_file, then line_number.
[[nodiscard]] Result<std::vector<ImportEdge>> all_imports(sqlite::Db& db);

// Every call edge, ordered by caller_qualified_name, then line_number.
[[nodiscard]] Result<std::vector<CallEdge>> all_calls(sqlite::Db& db);

// ---- scan runs and metadata ----------------------------------------------------

// Records a completed scan (operation record_scan_run); started_at is
// completed_at minus the whole seconds of `duration_ms`. Returns the row id and
// logs DEBUG "Recorded scan run".
[[nodiscard]] Result<int64_t> record_scan_run(sqlite::Db& db, uint64_t artifacts_found, uint64_t files_scanned,
                                              uint64_t files_failed, uint64_t duration_ms,
                                              const std::optional<std::string>& git_commit,
                                              const std::optional<std::string>& git_branch);

// Unix seconds of the most recent completed scan run (operation last_scan);
// absent when there is none or its time does not parse.
[[nodiscard]] Result<std::optional<int64_t>> last_scan(sqlite::Db& db);

// The value of `key` (operation get_metadata); absent when there is no row.
[[nodiscard]] Result<std::optional<std::string>> get_metadata(sqlite::Db& db, std::string_view key);

// Inserts or replaces `key` (operation set_metadata).
[[nodiscard]] Status set_metadata(sqlite::Db& db, std::string_view key, std::string_view value);

// ---- patterns ------------------------------------------------------------------

// Replaces the whole `patterns` table with `patterns`, in order, inside one
// transaction (transaction, clear_patterns, insert_pattern, commit). Logs
// DEBUG "Stored patterns".
[[nodiscard]] Status store_patterns(sqlite::Db& db, std::span<const PatternRow> patterns);

// Every stored pattern, ordered by confidence descending, then name.
[[nodiscard]] Result<std::vector<PatternRow>> all_patterns(sqlite::Db& db);

}  // namespace norvo::storage
