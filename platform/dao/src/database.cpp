#include "dao/database.h"

#include <sys/stat.h>

#include <time.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "connection.h"

namespace dao {
namespace {

const char kCatalogDdl[] =
    "CREATE TABLE IF NOT EXISTS sysStoredQuery ("
    " Name TEXT PRIMARY KEY COLLATE NOCASE,"
    " SqlText TEXT NOT NULL,"
    " DateCreated REAL NOT NULL,"
    " LastUpdated REAL NOT NULL) STRICT";

bool IsIdentifier(std::string_view s) {
  if (s.empty() || !(std::isalpha(static_cast<unsigned char>(s[0])) || s[0] == '_')) return false;
  for (char c : s)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
  return true;
}

// An SQLite file starts with this 16-byte header.
bool HasSqliteHeader(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char head[16] = {};
  size_t n = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  return n == sizeof head && std::memcmp(head, "SQLite format 3", 16) == 0;
}

// The busy handler of a bounded lock wait: waits in short naps until the
// connection's deadline.
int WaitUntilDeadline(void* arg, int /*count*/) {
  auto* conn = static_cast<Connection*>(arg);
  LockWait* wait = conn->lock_wait.get();
  if (wait == nullptr) return 0;
  const auto now = std::chrono::steady_clock::now();
  if (now >= wait->deadline) return 0;
  if (!wait->waited) {
    wait->waited = true;
    if (wait->on_wait) wait->on_wait();
  }
  const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(wait->deadline - now);
  const timespec nap{0, static_cast<long>(std::min<int64_t>(left.count(), 20'000'000))};
  nanosleep(&nap, nullptr);
  return 1;
}

}  // namespace

void Database::WaitForLocksUntil(std::chrono::steady_clock::time_point deadline, std::function<void()> on_wait) {
  conn_->lock_wait = std::make_unique<LockWait>(LockWait{deadline, std::move(on_wait), false});
  sqlite3_busy_handler(conn_->db, &WaitUntilDeadline, conn_.get());
}

bool Database::EndLockWait() {
  const bool waited = conn_->lock_wait != nullptr && conn_->lock_wait->waited;
  sqlite3_busy_timeout(conn_->db, conn_->options.busy_timeout_ms);
  conn_->lock_wait.reset();
  return waited;
}

Database Database::Open(const std::string& path, const DatabaseOptions& options) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    Throw(kErrCannotFindFile, "Could not find file '" + path + "'.");
  if (!HasSqliteHeader(path)) Throw(kErrNotDatabase, "Unrecognized database format '" + path + "'.");

  auto conn = std::make_shared<Connection>();
  conn->path = path;
  conn->options = options;
  int rc = sqlite3_open_v2(path.c_str(), &conn->db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc != SQLITE_OK) conn->Fail(rc);
  sqlite3_extended_result_codes(conn->db, 1);
  sqlite3_busy_timeout(conn->db, options.busy_timeout_ms);
  conn->Exec("SELECT count(*) FROM sqlite_schema");  // NOTADB / CORRUPT show here
  {
    sqlite3_stmt* s = conn->Prepare("PRAGMA journal_mode=WAL");
    StmtReset reset(s);
    rc = sqlite3_step(s);
    if (rc != SQLITE_ROW) conn->Fail(rc);
    const unsigned char* mode = sqlite3_column_text(s, 0);
    if (!mode || std::strcmp(reinterpret_cast<const char*>(mode), "wal") != 0)
      Throw(kErrReadOnly, "Cannot switch the database '" + path + "' to write-ahead logging.");
  }
  conn->Exec("PRAGMA synchronous=NORMAL");
  // The open takes no write lock: the catalog is made when the first query
  // is stored (a site's schema already holds it).
  return Database(std::move(conn));
}

const std::string& Database::Path() const { return conn_->path; }

QueryDef Database::QueryDefs(std::string_view name) const {
  if (!conn_->HasTable("sysStoredQuery")) Throw(kErrItemNotFound, "Item not found in this collection.");
  sqlite3_stmt* s =
      conn_->Prepare("SELECT Name, SqlText, DateCreated, LastUpdated FROM sysStoredQuery WHERE Name = ?1");
  StmtReset reset(s);
  sqlite3_bind_text(s, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) Throw(kErrItemNotFound, "Item not found in this collection.");
  if (rc != SQLITE_ROW) conn_->Fail(rc);
  auto text = [&](int c) { return std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, c))); };
  return QueryDef(MakeQueryState(conn_, text(0), text(1), OleDate{sqlite3_column_double(s, 2)},
                                 OleDate{sqlite3_column_double(s, 3)}));
}

bool Database::HasQueryDef(std::string_view name) const {
  if (!conn_->HasTable("sysStoredQuery")) return false;
  sqlite3_stmt* s = conn_->Prepare("SELECT 1 FROM sysStoredQuery WHERE Name = ?1");
  StmtReset reset(s);
  sqlite3_bind_text(s, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
  int rc = sqlite3_step(s);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) conn_->Fail(rc);
  return rc == SQLITE_ROW;
}

std::vector<std::string> Database::QueryDefNames() const {
  if (!conn_->HasTable("sysStoredQuery")) return {};
  sqlite3_stmt* s = conn_->Prepare("SELECT Name FROM sysStoredQuery ORDER BY Name");
  StmtReset reset(s);
  std::vector<std::string> names;
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
  if (rc != SQLITE_DONE) conn_->Fail(rc);
  return names;
}

void Database::DeleteQueryDef(std::string_view name) {
  if (!conn_->HasTable("sysStoredQuery")) Throw(kErrItemNotFound, "Item not found in this collection.");
  sqlite3_stmt* s = conn_->Prepare("DELETE FROM sysStoredQuery WHERE Name = ?1");
  StmtReset reset(s);
  sqlite3_bind_text(s, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
  int rc = sqlite3_step(s);
  if (rc != SQLITE_DONE) conn_->Fail(rc);
  if (sqlite3_changes(conn_->db) == 0) Throw(kErrItemNotFound, "Item not found in this collection.");
}

QueryDef Database::CreateQueryDef(std::string_view name, std::string_view jet_sql) {
  if (name.empty()) Throw(kErrInvalidArgument, "A stored query needs a name.");
  try {
    (void)jetsql::Translate(jet_sql);
  } catch (const jetsql::TranslateError& e) {
    Throw(kErrReserved, "Syntax error in query '" + std::string(name) + "': " + e.what());
  }
  if (!conn_->HasTable("sysStoredQuery")) conn_->Exec(kCatalogDdl);
  const OleDate now = conn_->Now();
  sqlite3_stmt* s =
      conn_->Prepare("INSERT INTO sysStoredQuery (Name, SqlText, DateCreated, LastUpdated) VALUES (?1, ?2, ?3, ?3)");
  {
    StmtReset reset(s);
    sqlite3_bind_text(s, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 2, jet_sql.data(), static_cast<int>(jet_sql.size()), SQLITE_TRANSIENT);
    sqlite3_bind_double(s, 3, now.days);
    int rc = sqlite3_step(s);
    if (rc != SQLITE_DONE) conn_->Fail(rc, "query " + std::string(name));
  }
  return QueryDef(MakeQueryState(conn_, std::string(name), std::string(jet_sql), now, now));
}

QueryDef Database::TemporaryQueryDef(std::string_view jet_sql) const {
  const OleDate now = conn_->Now();
  return QueryDef(MakeQueryState(conn_, {}, std::string(jet_sql), now, now));
}

Recordset Database::OpenTable(std::string_view table) const {
  if (!IsIdentifier(table)) Throw(kErrUnknownTable, "Cannot find the input table or query '" + std::string(table) + "'.");
  const TableInfo& info = conn_->Table(table);
  return TemporaryQueryDef("SELECT * FROM " + info.name).OpenRecordset();
}

Recordset Database::OpenRecordset(std::string_view jet_sql) const { return TemporaryQueryDef(jet_sql).OpenRecordset(); }

int64_t Database::Execute(std::string_view jet_sql) { return TemporaryQueryDef(jet_sql).Execute(); }

}  // namespace dao
