// Internal: the SQLite connection shared by a database's handles, its
// statement cache, table descriptions, and the mapping of SQLite results to
// the layer's error numbers.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dao/database.h"
#include "dao/errors.h"
#include "dao/jetsql.h"
#include "dao/variant.h"

namespace dao {

struct TableInfo {
  std::string name;                  // as stored in the schema
  std::vector<std::string> columns;  // in column order
  std::vector<std::string> pk;       // primary-key columns in key order
  std::string rowid_alias;           // the INTEGER PRIMARY KEY column, or empty
  bool HasColumn(std::string_view c) const;
  // The stored spelling of a column name (case-insensitive), or empty.
  std::string Column(std::string_view c) const;
};

// A bounded wait for other programs' locks (Database::WaitForLocksUntil).
struct LockWait {
  std::chrono::steady_clock::time_point deadline;
  std::function<void()> on_wait;
  bool waited = false;
};

struct Connection {
  sqlite3* db = nullptr;
  std::string path;
  DatabaseOptions options;
  std::unique_ptr<LockWait> lock_wait;
  // Prepared statements by SQL text.  Every use steps and resets a statement
  // within one call, so sharing one statement between handles is safe.
  std::unordered_map<std::string, sqlite3_stmt*> cache;
  std::unordered_map<std::string, TableInfo> tables;  // key: lower-case name

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  sqlite3_stmt* Prepare(const std::string& sql);
  // 3078 when there is no such table.
  const TableInfo& Table(std::string_view name);
  bool HasTable(std::string_view name);
  OleDate Now() const;
  // Runs a statement without results (no parameters).
  void Exec(const char* sql);
  // A row of a keyset that its table no longer yields was deleted by
  // another program, or lost to a damaged page: the tables' structure is
  // checked, and damage raises 3049 naming the table.  Returns when the
  // tables are sound.
  void ThrowIfDamaged(const std::vector<std::string>& tables);
  [[noreturn]] void Fail(int rc, std::string_view context = {}) const;
};

// Resets a statement when it goes out of scope, so that no read transaction
// outlives the call that used the statement.
class StmtReset {
 public:
  explicit StmtReset(sqlite3_stmt* s) : s_(s) {}
  StmtReset(const StmtReset&) = delete;
  StmtReset& operator=(const StmtReset&) = delete;
  ~StmtReset() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }

 private:
  sqlite3_stmt* s_;
};

void BindVariant(const Connection& c, sqlite3_stmt* s, int index, const Variant& v);
Variant ColumnVariant(sqlite3_stmt* s, int col);

// State of one query definition, shared by its handles and recordsets.
struct QueryState {
  std::shared_ptr<Connection> conn;
  std::string name;  // empty for a temporary query
  std::string jet;
  OleDate created, updated;
  std::optional<jetsql::Translation> tr;
  std::string tr_error;
  std::vector<std::optional<Variant>> values;  // one per parameter

  // The translation; 3000 with the reason when the text does not translate.
  const jetsql::Translation& T() const;
  // Binds every parameter; 3061 when one has no value.
  void BindParams(sqlite3_stmt* s) const;
  jetsql::PrimaryKeyLookup PkLookup() const;
};

std::shared_ptr<QueryState> MakeQueryState(std::shared_ptr<Connection> conn, std::string name,
                                           std::string jet, OleDate created, OleDate updated);

}  // namespace dao
