// Repository statements. Reads map columns by position; the artifact column
// list below is shared by every artifact read.
#include "atlas/storage/repository.h"

#include <sqlite3.h>

#include <array>
#include <charconv>
#include <limits>

#include "core/logging.h"

namespace norvo::storage {

namespace {

constexpr const char* kTarget = "norvo_atlas::storage::repository";

constexpr const char* kArtifactColumns =
    "SELECT symbol_name, qualified_name, kind, file_path, module_path, signature, docstring, feature, tags, hash, "
    "line_start, line_end, http_method, route_path, router_prefix, direct_dependencies, dependency_chain, "
    "security_dependencies, request_models, response_models, pydantic_fields_summary, "
    "pydantic_validators_summary FROM artifacts";

constexpr const char* kUpsertArtifact = R"sql(
INSERT INTO artifacts (
    symbol_name, qualified_name, kind, file_path, module_path, signature, docstring, feature, tags, text_blob,
    hash, http_method, route_path, router_prefix, direct_dependencies, dependency_chain, security_dependencies,
    request_models, response_models, pydantic_fields_summary, pydantic_validators_summary, line_start, line_end,
    updated_at)
VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22, ?23,
        CURRENT_TIMESTAMP)
ON CONFLICT(qualified_name) DO UPDATE SET
    symbol_name = excluded.symbol_name,
    kind = excluded.kind,
    file_path = excluded.file_path,
    module_path = excluded.module_path,
    signature = excluded.signature,
    docstring = excluded.docstring,
    feature = excluded.feature,
    tags = excluded.tags,
    text_blob = excluded.text_blob,
    hash = excluded.hash,
    http_method = excluded.http_method,
    route_path = excluded.route_path,
    router_prefix = excluded.router_prefix,
    direct_dependencies = excluded.direct_dependencies,
    dependency_chain = excluded.dependency_chain,
    security_dependencies = excluded.security_dependencies,
    request_models = excluded.request_models,
    response_models = excluded.response_models,
    pydantic_fields_summary = excluded.pydantic_fields_summary,
    pydantic_validators_summary = excluded.pydantic_validators_summary,
    line_start = excluded.line_start,
    line_end = excluded.line_end,
    updated_at = CURRENT_TIMESTAMP
)sql";

// Column reads of one result row. A value of the wrong type marks the row bad
// (reported as read_row); decoding problems of list columns never do.
class Row {
 public:
  explicit Row(const sqlite::Stmt& s) : s_(s) {}

  std::string text(int col) {
    if (s_.is_null(col)) bad(col);
    return s_.column_text(col);
  }
  std::optional<std::string> opt_text(int col) const { return s_.column_opt_text(col); }
  std::vector<std::string> list(int col) const {
    return s_.is_null(col) ? std::vector<std::string>{} : atlas::decode_list(s_.column_text(col));
  }
  int64_t integer(int col) {
    if (type(col) != SQLITE_INTEGER) bad(col);
    return s_.column_int(col);
  }
  uint64_t unsigned_integer(int col) {
    int64_t v = integer(col);
    if (v < 0) bad(col);
    return static_cast<uint64_t>(v);
  }
  double real(int col) {
    int t = type(col);
    if (t != SQLITE_FLOAT && t != SQLITE_INTEGER) bad(col);
    return s_.column_double(col);
  }

  // Empty when every read succeeded.
  const std::string& error() const { return error_; }

 private:
  int type(int col) const { return sqlite3_column_type(s_.raw(), col); }
  void bad(int col) {
    if (!error_.empty()) return;
    const char* name = sqlite3_column_name(s_.raw(), col);
    error_ = "Invalid column type at index " + std::to_string(col) + ", name: " + (name ? name : "?");
  }

  const sqlite::Stmt& s_;
  std::string error_;
};

Artifact read_artifact(Row& r) {
  Artifact a;
  a.symbol_name = r.text(0);
  a.qualified_name = r.text(1);
  a.kind = atlas::kind_from_text(r.text(2));
  a.file_path = r.text(3);
  a.module_path = r.text(4);
  a.signature = r.opt_text(5);
  a.docstring = r.opt_text(6);
  a.feature = r.opt_text(7);
  a.tags = r.list(8);
  a.hash = r.opt_text(9);
  a.line_start = r.unsigned_integer(10);
  a.line_end = r.unsigned_integer(11);
  a.http_method = r.opt_text(12);
  a.route_path = r.opt_text(13);
  a.router_prefix = r.opt_text(14);
  a.direct_dependencies = r.list(15);
  a.dependency_chain = r.list(16);
  a.security_dependencies = r.list(17);
  a.request_models = r.list(18);
  a.response_models = r.list(19);
  a.pydantic_fields_summary = r.opt_text(20);
  a.pydantic_validators_summary = r.opt_text(21);
  return a;
}

// Steps `stmt` to the end, reading each row with `read` (operation query for
// stepping, read_row for a value of the wrong type).
template <class T, class Read>
Result<std::vector<T>> collect(sqlite::Stmt& stmt, Read read) {
  std::vector<T> out;
  while (NORVO_TRY(stmt.step("query"))) {
    Row row(stmt);
    T value = read(row);
    if (!row.error().empty()) return fail(AtlasError::database("read_row", row.error()));
    out.push_back(std::move(value));
  }
  return out;
}

Result<std::vector<Artifact>> read_artifacts(sqlite::Stmt& stmt) { return collect<Artifact>(stmt, read_artifact); }

int64_t clamp_to_i64(uint64_t v) {
  return v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                         : static_cast<int64_t>(v);
}

}  // namespace

// ---- artifacts ---------------------------------------------------------------

namespace {
Status bind_and_run_upsert(sqlite::Stmt& stmt, const Artifact& a) {
  stmt.bind(1, a.symbol_name)
      .bind(2, a.qualified_name)
      .bind(3, atlas::kind_text(a.kind))
      .bind(4, a.file_path)
      .bind(5, a.module_path)
      .bind(6, a.signature)
      .bind(7, a.docstring)
      .bind(8, a.feature)
      .bind(9, atlas::encode_list(a.tags))
      .bind(10, atlas::text_blob(a))
      .bind(11, a.hash)
      .bind(12, a.http_method)
      .bind(13, a.route_path)
      .bind(14, a.router_prefix)
      .bind(15, atlas::encode_list(a.direct_dependencies))
      .bind(16, atlas::encode_list(a.dependency_chain))
      .bind(17, atlas::encode_list(a.security_dependencies))
      .bind(18, atlas::encode_list(a.request_models))
      .bind(19, atlas::encode_list(a.response_models))
      .bind(20, a.pydantic_fields_summary)
      .bind(21, a.pydantic_validators_summary)
      .bind(22, clamp_to_i64(a.line_start))
      .bind(23, clamp_to_i64(a.line_end));
  return stmt.run("upsert_artifact");
}
}  // namespace

Status upsert_artifact(sqlite::Db& db, const Artifact& a) {
  auto stmt = NORVO_TRY(db.prepare(kUpsertArtifact, "upsert_artifact"));
  return bind_and_run_upsert(stmt, a);
}

Status store_artifacts(sqlite::Db& db, std::span<const Artifact> artifacts) {
  auto tx = NORVO_TRY(sqlite::Transaction::begin(db));
  // One statement reused for the whole batch: preparing tens of thousands of
  // copies of the same SQL was a visible share of a scan.
  auto stmt = NORVO_TRY(db.prepare(kUpsertArtifact, "upsert_artifact"));
  for (const auto& a : artifacts) {
    NORVO_TRY(bind_and_run_upsert(stmt, a));
    stmt.reset();
  }
  NORVO_TRY(tx.commit());
  NLOG_DEBUG(kTarget, "Stored artifacts", {"count", static_cast<uint64_t>(artifacts.size())});
  return {};
}

Result<uint64_t> count(sqlite::Db& db) {
  auto stmt = NORVO_TRY(db.prepare("SELECT COUNT(*) FROM artifacts", "count"));
  if (!NORVO_TRY(stmt.step("count"))) return 0u;
  return static_cast<uint64_t>(stmt.column_int(0));
}

Result<std::vector<Artifact>> search(sqlite::Db& db, std::string_view query, uint64_t limit) {
  const std::string sql = std::string(kArtifactColumns) +
                          " WHERE symbol_name LIKE ?1 OR qualified_name LIKE ?1 OR module_path LIKE ?1"
                          " OR file_path LIKE ?1"
                          " ORDER BY CASE"
                          " WHEN symbol_name = ?3 THEN 1"
                          " WHEN qualified_name = ?3 THEN 2"
                          " WHEN symbol_name LIKE ?3 || '%' THEN 3"
                          " WHEN qualified_name LIKE ?3 || '%' THEN 4"
                          " ELSE 5 END, symbol_name"
                          " LIMIT ?2";
  auto stmt = NORVO_TRY(db.prepare(sql, "prepare"));
  stmt.bind(1, "%" + std::string(query) + "%").bind(2, clamp_to_i64(limit)).bind(3, query);
  auto rows = NORVO_TRY(read_artifacts(stmt));
  NLOG_DEBUG(kTarget, "Search results", {"query", query}, {"count", static_cast<uint64_t>(rows.size())});
  return rows;
}

Result<std::vector<Artifact>> all_artifacts(sqlite::Db& db) {
  auto stmt = NORVO_TRY(db.prepare(std::string(kArtifactColumns) + " ORDER BY file_path, line_start", "prepare"));
  return read_artifacts(stmt);
}

Result<std::vector<Artifact>> artifacts_by_feature(sqlite::Db& db, std::string_view feature) {
  auto stmt = NORVO_TRY(db.prepare(
      std::string(kArtifactColumns) + " WHERE feature = ?1 OR kind = ?1 ORDER BY file_path, line_start", "prepare"));
  stmt.bind(1, feature);
  return read_artifacts(stmt);
}

// ---- edges -------------------------------------------------------------------

namespace {

// Runs one prepared INSERT per row, each failing as `op`; the caller owns the
// transaction around the batch.
template <class T, class Bind>
Status insert_rows(sqlite::Db& db, std::string_view sql, std::string_view op, std::span<const T> rows, Bind bind) {
  auto stmt = NORVO_TRY(db.prepare(sql, op));
  for (const T& row : rows) {
    stmt.reset();
    bind(stmt, row);
    NORVO_TRY(stmt.run(op));
  }
  return {};
}

}  // namespace

Status insert_imports(sqlite::Db& db, std::span<const ImportEdge> edges) {
  auto tx = NORVO_TRY(sqlite::Transaction::begin(db));
  NORVO_TRY(insert_rows(
      db,
      "INSERT OR REPLACE INTO imports (source_file, target_file, import_name, import_type, line_number, alias, "
      "is_wildcard) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
      "insert_import", edges,
      [](sqlite::Stmt& stmt, const ImportEdge& e) {
        stmt.bind(1, e.source_file)
            .bind(2, e.target_file)
            .bind(3, e.import_name)
            .bind(4, import_type_text(e.import_type))
            .bind(5, e.line_number)
            .bind(6, e.alias)
            .bind(7, e.is_wildcard ? 1 : 0);
      }));
  NORVO_TRY(tx.commit());
  NLOG_DEBUG(kTarget, "Stored imports", {"count", static_cast<uint64_t>(edges.size())});
  return {};
}

Status insert_calls(sqlite::Db& db, std::span<const CallEdge> edges) {
  auto tx = NORVO_TRY(sqlite::Transaction::begin(db));
  NORVO_TRY(insert_rows(
      db,
      "INSERT OR REPLACE INTO calls (caller_qualified_name, callee_qualified_name, caller_file, line_number, "
      "call_type) VALUES (?1, ?2, ?3, ?4, ?5)",
      "insert_call_edge", edges,
      [](sqlite::Stmt& stmt, const CallEdge& e) {
        stmt.bind(1, e.caller_qualified_name)
            .bind(2, e.callee_qualified_name)
            .bind(3, e.caller_file)
            .bind(4, e.line_number)
            .bind(5, call_type_text(e.call_type));
      }));
  NORVO_TRY(tx.commit());
  NLOG_DEBUG(kTarget, "Stored call edges", {"count", static_cast<uint64_t>(edges.size())});
  return {};
}

Result<std::vector<ImportEdge>> all_imports(sqlite::Db& db) {
  auto stmt = NORVO_TRY(db.prepare(
      "SELECT source_file, target_file, import_name, import_type, line_number, alias, is_wildcard FROM imports "
      "ORDER BY source_file, line_number",
      "prepare"));
  return collect<ImportEdge>(stmt, [](Row& r) {
    ImportEdge e;
    e.source_file = r.text(0);
    e.target_file = r.text(1);
    e.import_name = r.text(2);
    e.import_type = import_type_from_text(r.text(3));
    e.line_number = r.integer(4);
    e.alias = r.opt_text(5);
    e.is_wildcard = r.integer(6) != 0;
    return e;
  });
}

Result<std::vector<CallEdge>> all_calls(sqlite::Db& db) {
  auto stmt = NORVO_TRY(db.prepare(
      "SELECT caller_qualified_name, callee_qualified_name, caller_file, line_number, call_type FROM calls "
      "ORDER BY caller_qualified_name, line_number",
      "prepare"));
  return collect<CallEdge>(stmt, [](Row& r) {
    CallEdge e;
    e.caller_qualified_name = r.text(0);
    e.callee_qualified_name = r.text(1);
    e.caller_file = r.text(2);
    e.line_number = r.integer(3);
    e.call_type = call_type_from_text(r.text(4));
    return e;
  });
}

// ---- scan runs and metadata ----------------------------------------------------

Result<int64_t> record_scan_run(sqlite::Db& db, uint64_t artifacts_found, uint64_t files_scanned,
                                uint64_t files_failed, uint64_t duration_ms,
                                const std::optional<std::string>& git_commit,
                                const std::optional<std::string>& git_branch) {
  constexpr std::string_view op = "record_scan_run";
  auto stmt = NORVO_TRY(db.prepare(
      "INSERT INTO scan_runs (started_at, completed_at, status, artifacts_found, files_scanned, files_failed, "
      "duration_ms, git_commit, git_branch) VALUES (datetime('now', '-' || ?1 || ' seconds'), CURRENT_TIMESTAMP, "
      "'completed', ?2, ?3, ?4, ?5, ?6, ?7)",
      op));
  stmt.bind(1, clamp_to_i64(duration_ms / 1000))
      .bind(2, clamp_to_i64(artifacts_found))
      .bind(3, clamp_to_i64(files_scanned))
      .bind(4, clamp_to_i64(files_failed))
      .bind(5, clamp_to_i64(duration_ms))
      .bind(6, git_commit)
      .bind(7, git_branch);
  NORVO_TRY(stmt.run(op));
  int64_t id = db.last_insert_rowid();
  NLOG_DEBUG(kTarget, "Recorded scan run", {"scan_id", id});
  return id;
}

Result<std::optional<int64_t>> last_scan(sqlite::Db& db) {
  constexpr std::string_view op = "last_scan";
  auto stmt = NORVO_TRY(db.prepare(
      "SELECT strftime('%s', completed_at) FROM scan_runs WHERE completed_at IS NOT NULL ORDER BY id DESC LIMIT 1",
      op));
  if (!NORVO_TRY(stmt.step(op)) || stmt.is_null(0)) return std::optional<int64_t>();
  std::string text = stmt.column_text(0);
  int64_t seconds = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::optional<int64_t>();
  return std::optional<int64_t>(seconds);
}

Result<std::optional<std::string>> get_metadata(sqlite::Db& db, std::string_view key) {
  constexpr std::string_view op = "get_metadata";
  auto stmt = NORVO_TRY(db.prepare("SELECT value FROM metadata WHERE key = ?1", op));
  stmt.bind(1, key);
  if (!NORVO_TRY(stmt.step(op))) return std::optional<std::string>();
  return std::optional<std::string>(stmt.column_text(0));
}

Status set_metadata(sqlite::Db& db, std::string_view key, std::string_view value) {
  constexpr std::string_view op = "set_metadata";
  auto stmt = NORVO_TRY(
      db.prepare("INSERT OR REPLACE INTO metadata (key, value, updated_at) VALUES (?1, ?2, CURRENT_TIMESTAMP)", op));
  stmt.bind(1, key).bind(2, value);
  return stmt.run(op);
}

// ---- patterns ------------------------------------------------------------------

Status store_patterns(sqlite::Db& db, std::span<const PatternRow> patterns) {
  auto tx = NORVO_TRY(sqlite::Transaction::begin(db));
  NORVO_TRY(db.exec("DELETE FROM patterns", "clear_patterns"));
  NORVO_TRY(insert_rows(
      db,
      "INSERT INTO patterns (pattern_type, name, file_path, confidence, artifacts, indicators, explanation) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
      "insert_pattern", patterns,
      [](sqlite::Stmt& stmt, const PatternRow& p) {
        stmt.bind(1, p.pattern_type)
            .bind(2, p.name)
            .bind(3, p.file_path)
            .bind(4, p.confidence)
            .bind(5, atlas::encode_list(p.artifacts))
            .bind(6, atlas::encode_list(p.indicators))
            .bind(7, p.explanation);
      }));
  NORVO_TRY(tx.commit());
  NLOG_DEBUG(kTarget, "Stored patterns", {"count", static_cast<uint64_t>(patterns.size())});
  return {};
}

Result<std::vector<PatternRow>> all_patterns(sqlite::Db& db) {
  auto stmt = NORVO_TRY(db.prepare(
      "SELECT pattern_type, name, file_path, confidence, artifacts, indicators, explanation FROM patterns "
      "ORDER BY confidence DESC, name",
      "prepare"));
  return collect<PatternRow>(stmt, [](Row& r) {
    PatternRow p;
    p.pattern_type = r.text(0);
    p.name = r.text(1);
    p.file_path = r.text(2);
    p.confidence = r.real(3);
    p.artifacts = r.list(4);
    p.indicators = r.list(5);
    p.explanation = r.opt_text(6);
    return p;
  });
}

}  // namespace norvo::storage
