// Thin RAII wrapper over the SQLite C API. Every failure is returned as an
// AtlasError of kind Database naming the caller's operation, with SQLite's
// own message as text. Connections and statements are single-thread objects.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.h"

struct sqlite3;
struct sqlite3_stmt;

namespace norvo::sqlite {

class Db;

// A prepared statement. Parameters are numbered from 1, columns from 0.
class Stmt {
 public:
  Stmt() = default;
  Stmt(Stmt&& o) noexcept : db_(o.db_), s_(o.s_) { o.s_ = nullptr; }
  Stmt& operator=(Stmt&& o) noexcept;
  ~Stmt();

  // Binding failures surface at step()/run(), under the operation given there.
  Stmt& bind(int idx, std::string_view text);
  Stmt& bind(int idx, const char* text) { return bind(idx, std::string_view(text)); }
  Stmt& bind(int idx, const std::string& text) { return bind(idx, std::string_view(text)); }
  Stmt& bind(int idx, const std::optional<std::string>& text);
  Stmt& bind(int idx, int64_t v);
  Stmt& bind(int idx, int v) { return bind(idx, static_cast<int64_t>(v)); }
  Stmt& bind(int idx, uint64_t v) { return bind(idx, static_cast<int64_t>(v)); }
  Stmt& bind(int idx, uint32_t v) { return bind(idx, static_cast<int64_t>(v)); }
  Stmt& bind(int idx, double v);
  Stmt& bind_null(int idx);

  // Advances one row: true when a row is available, false when done.
  Result<bool> step(std::string_view operation);
  // Steps until done, ignoring rows.
  Status run(std::string_view operation);
  // Resets for re-execution with new bindings.
  void reset();

  bool is_null(int col) const;
  int64_t column_int(int col) const;
  double column_double(int col) const;
  std::string column_text(int col) const;  // "" for NULL
  std::optional<std::string> column_opt_text(int col) const;
  int column_count() const;

  sqlite3_stmt* raw() const { return s_; }

 private:
  friend class Db;
  Stmt(sqlite3* db, sqlite3_stmt* s) : db_(db), s_(s) {}
  sqlite3* db_ = nullptr;
  sqlite3_stmt* s_ = nullptr;
  int bind_rc_ = 0;  // first failing bind, reported by step()
};

// An open connection, owned exclusively.
class Db {
 public:
  Db() = default;
  Db(Db&& o) noexcept : db_(o.db_) { o.db_ = nullptr; }
  Db& operator=(Db&& o) noexcept;
  ~Db();

  // Opens read-write, creating the file, without SQLite's own mutex, with
  // extended result codes and the given busy timeout. Failure: operation "open".
  static Result<Db> open(const std::string& path, int busy_timeout_ms);

  // Runs a script of one or more statements.
  Status exec(std::string_view sql, std::string_view operation);
  Result<Stmt> prepare(std::string_view sql, std::string_view operation);

  int64_t last_insert_rowid() const;
  std::string errmsg() const;
  sqlite3* raw() const { return db_; }

 private:
  explicit Db(sqlite3* db) : db_(db) {}
  sqlite3* db_ = nullptr;
};

// "BEGIN DEFERRED" ... "COMMIT"; dropping it uncommitted issues "ROLLBACK"
// (a failing rollback is ignored). Begin failure: operation "transaction".
class Transaction {
 public:
  static Result<Transaction> begin(Db& db);
  Transaction(Transaction&& o) noexcept : db_(o.db_), done_(o.done_) { o.done_ = true; }
  Transaction& operator=(Transaction&&) = delete;
  ~Transaction();
  // Failure: operation "commit"; the transaction is then rolled back on drop.
  Status commit();

 private:
  explicit Transaction(Db* db) : db_(db) {}
  Db* db_;
  bool done_ = false;
};

}  // namespace norvo::sqlite
