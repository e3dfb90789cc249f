// A database: an SQLite file opened read-write (never created by the open),
// in WAL mode with synchronous NORMAL and a short busy time-out.  It holds
// the stored-query catalog (table sysStoredQuery: name, verbatim Jet SQL,
// creation and last-updated dates).
//
// Ownership: Database, QueryDef and Recordset are handles that share one
// connection; it is closed when the last of them is destroyed.  Every
// statement is reset right after use, so no read transaction stays open
// between calls.  Single-threaded: use a connection from one thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dao/querydef.h"
#include "dao/recordset.h"
#include "dao/variant.h"

namespace dao {

struct Connection;

struct DatabaseOptions {
  // How long a write waits for another program's write lock before the
  // busy error 3260.  Short, so the caller's thread is never held for long.
  int busy_timeout_ms = 250;
  // The clock for the catalog's dates; local time now when empty.
  std::function<OleDate()> clock;
};

class Database {
 public:
  // 3024 when the file is missing, 3343 when it is not an SQLite database
  // (an empty file included), 3260 when busy.
  static Database Open(const std::string& path, const DatabaseOptions& options = {});

  const std::string& Path() const;

  // The query collection.
  QueryDef QueryDefs(std::string_view name) const;  // 0x800A0CC1 when missing
  bool HasQueryDef(std::string_view name) const;
  std::vector<std::string> QueryDefNames() const;
  void DeleteQueryDef(std::string_view name);       // 0x800A0CC1 when missing
  // Stores the text verbatim with creation and last-updated dates = now;
  // 3022 when the name is taken.  The text must translate (3000 otherwise).
  QueryDef CreateQueryDef(std::string_view name, std::string_view jet_sql);
  // A query that is not stored (for ad-hoc SQL).
  QueryDef TemporaryQueryDef(std::string_view jet_sql) const;

  // A recordset over a whole table in primary-key order (3078 when missing).
  Recordset OpenTable(std::string_view table) const;
  // A dynaset over a Jet SQL text without parameters.
  Recordset OpenRecordset(std::string_view jet_sql) const;
  // Executes a Jet action query without parameters; returns rows affected.
  int64_t Execute(std::string_view jet_sql);

  // A bounded wait for other programs' locks (start-up and close): until
  // `deadline`, a statement that meets another program's lock keeps waiting
  // for it instead of failing after busy_timeout_ms; past the deadline it
  // fails at once with 3260.  `on_wait` runs (on the calling thread, inside
  // the statement) when a statement first has to wait.  EndLockWait goes
  // back to busy_timeout_ms and tells whether any statement waited.
  void WaitForLocksUntil(std::chrono::steady_clock::time_point deadline, std::function<void()> on_wait = {});
  bool EndLockWait();

  std::shared_ptr<Connection> connection() const { return conn_; }

 private:
  explicit Database(std::shared_ptr<Connection> conn) : conn_(std::move(conn)) {}
  std::shared_ptr<Connection> conn_;
};

}  // namespace dao
