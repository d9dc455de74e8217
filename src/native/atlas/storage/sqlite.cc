// SQLite calls and the mapping of their failures to Database errors.
#include "atlas/storage/sqlite.h"

#include <sqlite3.h>

namespace norvo::sqlite {

namespace {
AtlasError db_error(sqlite3* db, std::string_view operation) {
  return AtlasError::database(std::string(operation), db ? sqlite3_errmsg(db) : "out of memory");
}
}  // namespace

Stmt& Stmt::operator=(Stmt&& o) noexcept {
  if (this != &o) {
    if (s_) sqlite3_finalize(s_);
    db_ = o.db_;
    s_ = o.s_;
    bind_rc_ = o.bind_rc_;
    o.s_ = nullptr;
  }
  return *this;
}

Stmt::~Stmt() {
  if (s_) sqlite3_finalize(s_);
}

static void keep_first(int& slot, int rc) {
  if (slot == SQLITE_OK && rc != SQLITE_OK) slot = rc;
}

Stmt& Stmt::bind(int idx, std::string_view text) {
  keep_first(bind_rc_, sqlite3_bind_text64(s_, idx, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
  return *this;
}
Stmt& Stmt::bind(int idx, const std::optional<std::string>& text) {
  return text ? bind(idx, std::string_view(*text)) : bind_null(idx);
}
Stmt& Stmt::bind(int idx, int64_t v) {
  keep_first(bind_rc_, sqlite3_bind_int64(s_, idx, v));
  return *this;
}
Stmt& Stmt::bind(int idx, double v) {
  keep_first(bind_rc_, sqlite3_bind_double(s_, idx, v));
  return *this;
}
Stmt& Stmt::bind_null(int idx) {
  keep_first(bind_rc_, sqlite3_bind_null(s_, idx));
  return *this;
}

Result<bool> Stmt::step(std::string_view operation) {
  if (bind_rc_ != SQLITE_OK) return fail(AtlasError::database(std::string(operation), sqlite3_errstr(bind_rc_)));
  int rc = sqlite3_step(s_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  return fail(db_error(db_, operation));
}

Status Stmt::run(std::string_view operation) {
  while (NORVO_TRY(step(operation))) {
  }
  return {};
}

void Stmt::reset() {
  sqlite3_reset(s_);
  sqlite3_clear_bindings(s_);
  bind_rc_ = SQLITE_OK;
}

bool Stmt::is_null(int col) const { return sqlite3_column_type(s_, col) == SQLITE_NULL; }
int64_t Stmt::column_int(int col) const { return sqlite3_column_int64(s_, col); }
double Stmt::column_double(int col) const { return sqlite3_column_double(s_, col); }
std::string Stmt::column_text(int col) const {
  const unsigned char* p = sqlite3_column_text(s_, col);
  if (!p) return {};
  return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(s_, col)));
}
std::optional<std::string> Stmt::column_opt_text(int col) const {
  if (is_null(col)) return std::nullopt;
  return column_text(col);
}
int Stmt::column_count() const { return sqlite3_column_count(s_); }

Db& Db::operator=(Db&& o) noexcept {
  if (this != &o) {
    if (db_) sqlite3_close_v2(db_);
    db_ = o.db_;
    o.db_ = nullptr;
  }
  return *this;
}

Db::~Db() {
  if (db_) sqlite3_close_v2(db_);
}

Result<Db> Db::open(const std::string& path, int busy_timeout_ms) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                           nullptr);
  Db db(raw);  // closes on every path, even a failed open
  if (rc != SQLITE_OK) return fail(db_error(raw, "open"));
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_timeout(raw, busy_timeout_ms);
  return db;
}

Status Db::exec(std::string_view sql, std::string_view operation) {
  std::string owned(sql);
  char* err = nullptr;
  int rc = sqlite3_exec(db_, owned.c_str(), nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    std::string msg = err ? err : sqlite3_errmsg(db_);
    sqlite3_free(err);
    return fail(AtlasError::database(std::string(operation), std::move(msg)));
  }
  return {};
}

Result<Stmt> Db::prepare(std::string_view sql, std::string_view operation) {
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &s, nullptr);
  if (rc != SQLITE_OK) {
    if (s) sqlite3_finalize(s);
    return fail(db_error(db_, operation));
  }
  return Stmt(db_, s);
}

int64_t Db::last_insert_rowid() const { return sqlite3_last_insert_rowid(db_); }
std::string Db::errmsg() const { return sqlite3_errmsg(db_); }

Result<Transaction> Transaction::begin(Db& db) {
  NORVO_TRY(db.exec("BEGIN DEFERRED", "transaction"));
  return Transaction(&db);
}

Transaction::~Transaction() {
  if (!done_) (void)db_->exec("ROLLBACK", "rollback");
}

Status Transaction::commit() {
  NORVO_TRY(db_->exec("COMMIT", "commit"));
  done_ = true;
  return {};
}

}  // namespace norvo::sqlite
