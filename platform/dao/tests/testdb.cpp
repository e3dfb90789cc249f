#include "testdb.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace dao::test {

const char kTestSchema[] = R"sql(
CREATE TABLE tblTKZRequest (
  RID INTEGER PRIMARY KEY,
  RequestPC TEXT CONSTRAINT width_RequestPC CHECK (length(RequestPC) <= 50),
  RequestState INTEGER NOT NULL DEFAULT 0,
  RequestType INTEGER, RequestSubType INTEGER, ZoneID INTEGER,
  RequestDiagnostic TEXT CONSTRAINT width_RequestDiagnostic CHECK (length(RequestDiagnostic) <= 255),
  Stamp REAL) STRICT;
CREATE INDEX ixRequestState ON tblTKZRequest (RequestState);
CREATE TABLE tblParent (ParentID INTEGER PRIMARY KEY, Label TEXT, Level INTEGER) STRICT;
CREATE TABLE tblChild (ParentID INTEGER NOT NULL, Slot INTEGER NOT NULL, Level INTEGER, Note TEXT,
  PRIMARY KEY (ParentID, Slot)) STRICT;
CREATE TABLE tblCode (Code INTEGER NOT NULL, Circuit INTEGER) STRICT;
CREATE UNIQUE INDEX ixCircuit ON tblCode (Circuit) WHERE Circuit <> 0;
)sql";

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/daotest.XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

static void Exec(const std::string& path, const std::string& sql, int flags) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    throw std::runtime_error("open " + path);
  }
  sqlite3_busy_timeout(db, 10000);
  char* err = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  std::string msg = err ? err : "";
  sqlite3_free(err);
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw std::runtime_error("sql: " + msg);
}

void MakeDb(const std::string& path, const std::string& sql) {
  Exec(path, sql, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
}

void RunSql(const std::string& path, const std::string& sql) { Exec(path, sql, SQLITE_OPEN_READWRITE); }

std::string QueryText(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_busy_timeout(db, 10000);
  sqlite3_stmt* s = nullptr;
  std::string out;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW) {
    const unsigned char* t = sqlite3_column_text(s, 0);
    if (t) out = reinterpret_cast<const char*>(t);
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
  return out;
}

long long FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

}  // namespace dao::test
