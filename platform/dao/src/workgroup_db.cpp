#include "workgroup_db.h"

#include <sys/stat.h>

#include "dao/errors.h"

namespace dao {

WorkgroupDb::~WorkgroupDb() {
  if (db_) sqlite3_close_v2(db_);
}

void WorkgroupDb::Open(const std::string& path, int flags) {
  path_ = path;
  int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) Fail(rc);
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, 1000);
}

void WorkgroupDb::OpenExisting(const std::string& path, int flags) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    Throw(kErrCannotFindFile, "Could not find the workgroup file '" + path + "'.");
  Open(path, flags);
  try {
    if (Query("SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = 'wgUser'", {}).empty())
      Throw(kErrWorkgroup, "'" + path + "' is not a workgroup information file.");
  } catch (const Error& e) {
    if (e.number() == kErrNotDatabase || e.number() == kErrReserved)
      Throw(kErrWorkgroup, "'" + path + "' is not a workgroup information file.");
    throw;
  }
}

void WorkgroupDb::Exec(const char* sql) {
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) Fail(rc);
}

namespace {
struct Stmt {
  sqlite3_stmt* s = nullptr;
  ~Stmt() { sqlite3_finalize(s); }
};
}  // namespace

int WorkgroupDb::Run(const char* sql, const std::vector<std::string>& params, bool must_change) {
  Stmt st;
  int rc = sqlite3_prepare_v2(db_, sql, -1, &st.s, nullptr);
  if (rc != SQLITE_OK) Fail(rc);
  for (size_t i = 0; i < params.size(); ++i)
    sqlite3_bind_text(st.s, static_cast<int>(i) + 1, params[i].data(), static_cast<int>(params[i].size()), SQLITE_TRANSIENT);
  rc = sqlite3_step(st.s);
  if (rc != SQLITE_DONE) Fail(rc);
  int changes = sqlite3_changes(db_);
  if (must_change && changes == 0) Throw(kErrItemNotFound, "Item not found in this collection.");
  return changes;
}

std::vector<std::vector<std::string>> WorkgroupDb::Query(const char* sql, const std::vector<std::string>& params) {
  Stmt st;
  int rc = sqlite3_prepare_v2(db_, sql, -1, &st.s, nullptr);
  if (rc != SQLITE_OK) Fail(rc);
  for (size_t i = 0; i < params.size(); ++i)
    sqlite3_bind_text(st.s, static_cast<int>(i) + 1, params[i].data(), static_cast<int>(params[i].size()), SQLITE_TRANSIENT);
  std::vector<std::vector<std::string>> rows;
  while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
    std::vector<std::string> row;
    for (int c = 0; c < sqlite3_column_count(st.s); ++c) {
      const unsigned char* t = sqlite3_column_text(st.s, c);
      row.emplace_back(t ? reinterpret_cast<const char*>(t) : "");
    }
    rows.push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) Fail(rc);
  return rows;
}

void WorkgroupDb::Fail(int rc) {
  const int ext = db_ ? sqlite3_extended_errcode(db_) : rc;
  const std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
  switch (rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED: Throw(kErrLocked, "The workgroup file is currently locked by another program.");
    case SQLITE_NOTADB: Throw(kErrNotDatabase, "Unrecognized database format '" + path_ + "'.");
    case SQLITE_CANTOPEN: Throw(kErrCannotFindFile, "Could not open file '" + path_ + "'.");
    case SQLITE_CONSTRAINT:
      if (ext == SQLITE_CONSTRAINT_PRIMARYKEY || ext == SQLITE_CONSTRAINT_UNIQUE)
        Throw(kErrDuplicateKey, "The name already exists in the workgroup (" + msg + ").");
      Throw(kErrValidation, "The workgroup refused the change (" + msg + ").");
    default: break;
  }
  Throw(kErrReserved, "Workgroup error: " + msg);
}

}  // namespace dao
