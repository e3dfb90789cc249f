// Internal: the workgroup file's tables and a minimal SQLite wrapper for it.
#pragma once

#include <sqlite3.h>

#include <string>
#include <vector>

namespace dao {

inline constexpr char kWorkgroupDdl[] =
    "PRAGMA journal_mode=DELETE;"
    "CREATE TABLE wgUser (Name TEXT PRIMARY KEY COLLATE NOCASE, PasswordHash TEXT NOT NULL) STRICT;"
    "CREATE TABLE wgGroup (Name TEXT PRIMARY KEY) STRICT;"
    "CREATE TABLE wgMember ("
    " UserName TEXT NOT NULL COLLATE NOCASE REFERENCES wgUser (Name),"
    " GroupName TEXT NOT NULL REFERENCES wgGroup (Name),"
    " Position INTEGER NOT NULL,"
    " PRIMARY KEY (UserName, Position), UNIQUE (UserName, GroupName)) STRICT;";

class WorkgroupDb {
 public:
  WorkgroupDb() = default;
  WorkgroupDb(const WorkgroupDb&) = delete;
  WorkgroupDb& operator=(const WorkgroupDb&) = delete;
  ~WorkgroupDb();

  // Opens a file (no checks).
  void Open(const std::string& path, int flags);
  // Opens a workgroup file that must exist (3024) and be one (3028).
  void OpenExisting(const std::string& path, int flags);
  void Exec(const char* sql);
  // Runs one statement with text parameters; returns rows changed.  With
  // must_change, no change is "item not found" (3265).
  int Run(const char* sql, const std::vector<std::string>& params, bool must_change = false);
  // Rows of one statement, each column as text.
  std::vector<std::vector<std::string>> Query(const char* sql, const std::vector<std::string>& params);

 private:
  [[noreturn]] void Fail(int rc);
  sqlite3* db_ = nullptr;
  std::string path_;
};

}  // namespace dao
