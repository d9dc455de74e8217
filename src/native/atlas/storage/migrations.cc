// Schema creation and migrations. Steps run statement by statement without an
// enclosing transaction, so a failed step leaves the last completed version.
#include "atlas/storage/migrations.h"

#include <charconv>
#include <string>

#include "core/logging.h"

namespace norvo::storage {

namespace {

constexpr const char* kTarget = "norvo_atlas::storage::migrations";

constexpr const char* kImportsTable = R"sql(
CREATE TABLE IF NOT EXISTS imports (
    source_file TEXT NOT NULL,
    target_file TEXT NOT NULL,
    import_name TEXT NOT NULL,
    import_type TEXT NOT NULL,
    line_number INTEGER NOT NULL,
    alias TEXT,
    is_wildcard INTEGER DEFAULT 0,
    created_at DATETIME DEFAULT CURRENT_TIMESTAMP,
    PRIMARY KEY (source_file, target_file, import_name, line_number)
);
CREATE INDEX IF NOT EXISTS idx_imports_source ON imports(source_file);
CREATE INDEX IF NOT EXISTS idx_imports_target ON imports(target_file);
CREATE INDEX IF NOT EXISTS idx_imports_name ON imports(import_name);
)sql";

constexpr const char* kCallsTable = R"sql(
CREATE TABLE IF NOT EXISTS calls (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    caller_qualified_name TEXT NOT NULL,
    callee_qualified_name TEXT NOT NULL,
    caller_file TEXT NOT NULL,
    line_number INTEGER NOT NULL,
    call_type TEXT NOT NULL,
    created_at DATETIME DEFAULT CURRENT_TIMESTAMP,
    UNIQUE (caller_qualified_name, callee_qualified_name, line_number)
);
CREATE INDEX IF NOT EXISTS idx_calls_caller ON calls(caller_qualified_name);
CREATE INDEX IF NOT EXISTS idx_calls_callee ON calls(callee_qualified_name);
CREATE INDEX IF NOT EXISTS idx_calls_file ON calls(caller_file);
)sql";

constexpr const char* kPatternsTable = R"sql(
CREATE TABLE IF NOT EXISTS patterns (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    pattern_type TEXT NOT NULL,
    name TEXT NOT NULL,
    file_path TEXT NOT NULL,
    confidence REAL NOT NULL,
    artifacts TEXT NOT NULL DEFAULT '[]',
    indicators TEXT NOT NULL DEFAULT '[]',
    explanation TEXT,
    created_at DATETIME DEFAULT CURRENT_TIMESTAMP,
    updated_at DATETIME DEFAULT CURRENT_TIMESTAMP
);
CREATE INDEX IF NOT EXISTS idx_patterns_type ON patterns(pattern_type);
CREATE INDEX IF NOT EXISTS idx_patterns_name ON patterns(name);
CREATE INDEX IF NOT EXISTS idx_patterns_confidence ON patterns(confidence);
)sql";

constexpr const char* kDomainsTable = R"sql(
CREATE TABLE IF NOT EXISTS domains (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    name TEXT NOT NULL UNIQUE,
    files TEXT NOT NULL DEFAULT '[]',
    keywords TEXT NOT NULL DEFAULT '[]',
    artifact_count INTEGER DEFAULT 0,
    created_at DATETIME DEFAULT CURRENT_TIMESTAMP,
    updated_at DATETIME DEFAULT CURRENT_TIMESTAMP
);
CREATE INDEX IF NOT EXISTS idx_domains_name ON domains(name);
)sql";

constexpr const char* kEmbeddingsTable = R"sql(
CREATE TABLE IF NOT EXISTS embeddings (
    artifact_id INTEGER PRIMARY KEY,
    embedding BLOB,
    embedding_model TEXT,
    embedding_dim INTEGER,
    created_at DATETIME DEFAULT CURRENT_TIMESTAMP,
    FOREIGN KEY (artifact_id) REFERENCES artifacts(id) ON DELETE CASCADE
);
CREATE INDEX IF NOT EXISTS idx_embeddings_model ON embeddings(embedding_model);
)sql";

const std::string& full_script() {
  static const std::string script = std::string(R"sql(
CREATE TABLE IF NOT EXISTS schema_version (
    version INTEGER PRIMARY KEY
);
INSERT INTO schema_version (version) SELECT 9 WHERE NOT EXISTS (SELECT 1 FROM schema_version);

CREATE TABLE IF NOT EXISTS artifacts (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    symbol_name TEXT NOT NULL,
    qualified_name TEXT NOT NULL UNIQUE,
    kind TEXT NOT NULL,
    file_path TEXT NOT NULL,
    module_path TEXT NOT NULL,
    signature TEXT,
    docstring TEXT,
    feature TEXT,
    tags TEXT NOT NULL DEFAULT '[]',
    text_blob TEXT,
    hash TEXT,
    http_method TEXT,
    route_path TEXT,
    router_prefix TEXT,
    direct_dependencies TEXT NOT NULL DEFAULT '[]',
    dependency_chain TEXT NOT NULL DEFAULT '[]',
    security_dependencies TEXT NOT NULL DEFAULT '[]',
    request_models TEXT NOT NULL DEFAULT '[]',
    response_models TEXT NOT NULL DEFAULT '[]',
    pydantic_fields_summary TEXT,
    pydantic_validators_summary TEXT,
    line_start INTEGER NOT NULL,
    line_end INTEGER NOT NULL,
    created_at DATETIME DEFAULT CURRENT_TIMESTAMP,
    updated_at DATETIME DEFAULT CURRENT_TIMESTAMP
);
CREATE INDEX IF NOT EXISTS idx_artifacts_symbol_name ON artifacts(symbol_name);
CREATE INDEX IF NOT EXISTS idx_artifacts_qualified_name ON artifacts(qualified_name);
CREATE INDEX IF NOT EXISTS idx_artifacts_feature ON artifacts(feature);
CREATE INDEX IF NOT EXISTS idx_artifacts_kind ON artifacts(kind);
CREATE INDEX IF NOT EXISTS idx_artifacts_file_path ON artifacts(file_path);

CREATE TABLE IF NOT EXISTS files (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    path TEXT NOT NULL UNIQUE,
    hash TEXT NOT NULL,
    last_modified INTEGER NOT NULL,
    parse_status TEXT NOT NULL DEFAULT 'success',
    error_message TEXT,
    line_count INTEGER NOT NULL DEFAULT 0,
    artifact_count INTEGER NOT NULL DEFAULT 0,
    last_scanned DATETIME DEFAULT CURRENT_TIMESTAMP
);
CREATE INDEX IF NOT EXISTS idx_files_path ON files(path);
CREATE INDEX IF NOT EXISTS idx_files_hash ON files(hash);

CREATE TABLE IF NOT EXISTS scan_runs (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    started_at DATETIME DEFAULT CURRENT_TIMESTAMP,
    completed_at DATETIME,
    status TEXT NOT NULL DEFAULT 'running',
    artifacts_found INTEGER DEFAULT 0,
    files_scanned INTEGER DEFAULT 0,
    files_failed INTEGER DEFAULT 0,
    duration_ms INTEGER,
    git_commit TEXT,
    git_branch TEXT
);
)sql") + kImportsTable + R"sql(
CREATE TABLE IF NOT EXISTS metadata (
    key TEXT PRIMARY KEY,
    value TEXT NOT NULL,
    updated_at DATETIME DEFAULT CURRENT_TIMESTAMP
);
INSERT OR IGNORE INTO metadata (key, value) VALUES ('schema_version', '9');
INSERT OR IGNORE INTO metadata (key, value) VALUES ('created_at', datetime('now'));
INSERT OR IGNORE INTO metadata (key, value) VALUES ('last_git_commit', '');
INSERT OR IGNORE INTO metadata (key, value) VALUES ('imports_count', '0');
INSERT OR IGNORE INTO metadata (key, value) VALUES ('last_known_latest_mtime', '0');
)sql" + kCallsTable + kPatternsTable + kDomainsTable + kEmbeddingsTable;
  return script;
}

Result<bool> table_exists(sqlite::Db& db, std::string_view name, std::string_view op) {
  auto stmt = NORVO_TRY(db.prepare(
      "SELECT COUNT(*) > 0 FROM sqlite_master WHERE type='table' AND name=?1", op));
  stmt.bind(1, name);
  bool row = NORVO_TRY(stmt.step(op));
  return row && stmt.column_int(0) != 0;
}

std::optional<uint32_t> parse_u32(std::string_view s) {
  uint32_t v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size() || s.empty()) return std::nullopt;
  return v;
}

Result<uint32_t> read_table_version(sqlite::Db& db) {
  auto stmt = NORVO_TRY(db.prepare("SELECT COALESCE(MAX(version), 0) FROM schema_version", "get_version"));
  bool row = NORVO_TRY(stmt.step("get_version"));
  if (!row) return 0u;
  return static_cast<uint32_t>(stmt.column_int(0));
}

// Runs one statement of a step; its failure becomes MigrationFailed(to-1 -> to).
Status step_exec(sqlite::Db& db, uint32_t to, std::string_view sql, std::string_view failure_text) {
  auto r = db.exec(sql, "migration");
  if (!r) return fail(AtlasError::migration_failed(to - 1, to, std::string(failure_text) + r.error().message));
  return {};
}

// Every column step checks first: a database whose two version records
// disagree would otherwise fail on an existing column at every open, forever.
Status add_column_if_missing(sqlite::Db& db, uint32_t to, std::string_view table, std::string_view column,
                             std::string_view type) {
  bool exists = NORVO_TRY(column_exists(db, table, column));
  if (exists) return {};
  std::string sql = "ALTER TABLE " + std::string(table) + " ADD COLUMN " + std::string(column) + " " + std::string(type);
  return step_exec(db, to, sql, "Failed to add " + std::string(column) + " column: ");
}

Status apply_step(sqlite::Db& db, uint32_t t) {
  switch (t) {
    case 1: return {};
    case 2:
      NORVO_TRY(add_column_if_missing(db, t, "scan_runs", "git_commit", "TEXT"));
      NORVO_TRY(add_column_if_missing(db, t, "scan_runs", "git_branch", "TEXT"));
      NORVO_TRY(step_exec(db, t, "INSERT OR IGNORE INTO metadata (key, value) VALUES ('last_git_commit', '')",
                          "Failed to add metadata: "));
      NLOG_INFO(kTarget, "Migration v2 complete: Added git commit tracking");
      return {};
    case 3:
      NORVO_TRY(step_exec(db, t, kImportsTable, "Failed to create imports table: "));
      NORVO_TRY(step_exec(db, t, "INSERT OR IGNORE INTO metadata (key, value) VALUES ('imports_count', '0')",
                          "Failed to add metadata: "));
      NLOG_INFO(kTarget, "Migration v3 complete: Added imports table (ADR Option A)");
      return {};
    case 4:
      NORVO_TRY(add_column_if_missing(db, t, "artifacts", "text_blob", "TEXT"));
      NLOG_INFO(kTarget, "Migration v4 complete: Added text_blob for semantic search");
      return {};
    case 5:
      NORVO_TRY(step_exec(db, t, "INSERT OR IGNORE INTO metadata (key, value) VALUES ('last_known_latest_mtime', '0')",
                          "Failed to add last_known_latest_mtime: "));
      NLOG_INFO(kTarget, "Migration v5 complete: Added staleness metadata for zero-config auto-scan");
      return {};
    case 6:
      NORVO_TRY(step_exec(db, t, kCallsTable, "Failed to create calls table: "));
      NORVO_TRY(step_exec(db, t, kPatternsTable, "Failed to create patterns table: "));
      NORVO_TRY(step_exec(db, t, kDomainsTable, "Failed to create domains table: "));
      NORVO_TRY(step_exec(db, t, kEmbeddingsTable, "Failed to create embeddings table: "));
      NLOG_INFO(kTarget, "Migration v6 complete: Added analysis tables (calls, patterns, domains, embeddings)");
      return {};
    case 7:
      for (auto col : {"http_method", "route_path", "router_prefix"})
        NORVO_TRY(add_column_if_missing(db, t, "artifacts", col, "TEXT"));
      NLOG_INFO(kTarget, "Migration v7 complete: Added HTTP metadata columns to artifacts");
      return {};
    case 8:
      for (auto col : {"direct_dependencies", "dependency_chain", "security_dependencies"})
        NORVO_TRY(add_column_if_missing(db, t, "artifacts", col, "TEXT NOT NULL DEFAULT '[]'"));
      NLOG_INFO(kTarget, "Migration v8 complete: Added dependency columns to artifacts");
      return {};
    case 9:
      NORVO_TRY(add_column_if_missing(db, t, "artifacts", "request_models", "TEXT NOT NULL DEFAULT '[]'"));
      NORVO_TRY(add_column_if_missing(db, t, "artifacts", "response_models", "TEXT NOT NULL DEFAULT '[]'"));
      NORVO_TRY(add_column_if_missing(db, t, "artifacts", "pydantic_fields_summary", "TEXT"));
      NORVO_TRY(add_column_if_missing(db, t, "artifacts", "pydantic_validators_summary", "TEXT"));
      NLOG_INFO(kTarget, "Migration v9 complete: Added request/response schema columns to artifacts");
      return {};
    default:
      NLOG_WARN(kTarget, "Unknown migration version - skipping", {"version", t});
      return {};
  }
}

}  // namespace

std::string_view schema_script() { return full_script(); }

Result<uint32_t> get_version(sqlite::Db& db) {
  uint32_t table_version = 0;
  if (NORVO_TRY(table_exists(db, "schema_version", "get_version"))) {
    auto v = read_table_version(db);
    table_version = v ? *v : 0;  // an unreadable table counts as version 0
  }
  if (!NORVO_TRY(table_exists(db, "metadata", "get_version_metadata"))) return table_version;
  auto stmt = NORVO_TRY(db.prepare("SELECT value FROM metadata WHERE key = 'schema_version'", "get_version_metadata"));
  bool row = NORVO_TRY(stmt.step("get_version_metadata"));
  if (!row) return table_version;
  auto meta = parse_u32(stmt.column_text(0));
  if (meta && *meta != 0 && *meta != table_version) {
    NLOG_WARN(kTarget, "Schema version mismatch between metadata and schema_version table",
              {"metadata_version", *meta}, {"table_version", table_version});
    return std::min(*meta, table_version);
  }
  return table_version;
}

Status set_version(sqlite::Db& db, uint32_t v) {
  NORVO_TRY(db.exec("DELETE FROM schema_version", "set_version"));
  auto ins = NORVO_TRY(db.prepare("INSERT INTO schema_version (version) VALUES (?1)", "set_version"));
  NORVO_TRY(ins.bind(1, v).run("set_version"));
  auto meta = NORVO_TRY(db.prepare(
      "INSERT OR REPLACE INTO metadata (key, value, updated_at) VALUES ('schema_version', ?1, datetime('now'))",
      "set_metadata"));
  NORVO_TRY(meta.bind(1, std::to_string(v)).run("set_metadata"));
  return {};
}

Result<bool> column_exists(sqlite::Db& db, std::string_view table, std::string_view column) {
  auto stmt = NORVO_TRY(db.prepare("PRAGMA table_info(" + std::string(table) + ")", "pragma_table_info"));
  while (NORVO_TRY(stmt.step("pragma_table_info_next"))) {
    if (stmt.column_text(1) == column) return true;
  }
  return false;
}

Status migrate(sqlite::Db& db) {
  auto detected = get_version(db);
  if (!detected) {
    NLOG_ERROR(kTarget, "Database schema is corrupted. Run `norvo clean && norvo scan` to rebuild.");
    return fail(AtlasError::database("check_schema", "Schema version table is corrupted or missing"));
  }
  uint32_t v = *detected;
  if (v == 0 || v == kSchemaVersion) {
    NLOG_DEBUG(kTarget, "Schema is up to date", {"version", v});
    return {};
  }
  if (v > kSchemaVersion) {
    NLOG_WARN(kTarget,
              "Database was created by a newer version of Norvo. Some features may not work correctly. "
              "Consider upgrading.",
              {"db_version", v}, {"lib_version", kSchemaVersion});
    return {};
  }
  NLOG_INFO(kTarget, "Running schema migrations", {"from", v}, {"to", kSchemaVersion});
  uint32_t from = NORVO_TRY(get_version(db));
  for (uint32_t t = from + 1; t <= kSchemaVersion; ++t) {
    NLOG_DEBUG(kTarget, "Running migration", {"version", t});
    NORVO_TRY(apply_step(db, t));
    NORVO_TRY(set_version(db, t));
  }
  NLOG_INFO(kTarget, "Migrations complete", {"version", kSchemaVersion});
  return {};
}

}  // namespace norvo::storage
