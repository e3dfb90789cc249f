// Test helper: a new database file made from the site schema.
#pragma once

#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "drovana_db/schema.h"

namespace drovana::db::test {

class SiteDb {
 public:
  SiteDb() {
    std::string tmpl = std::filesystem::temp_directory_path().string() + "/sitedb.XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
    path_ = dir_ + "/drovana.mdb";
    Exec(std::string(SchemaSql()));
  }
  ~SiteDb() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  const std::string& path() const { return path_; }
  const std::string& dir() const { return dir_; }

  // Runs statements through a connection of its own (an outside program).
  void Exec(const std::string& sql) const {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_busy_timeout(db, 10000);
    char* err = nullptr;
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    std::string msg = err ? err : "";
    sqlite3_free(err);
    sqlite3_close(db);
    if (rc != SQLITE_OK) throw std::runtime_error(msg);
  }
  std::string Text(const std::string& sql) const {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW &&
        sqlite3_column_text(s, 0))
      out = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
    sqlite3_close(db);
    return out;
  }
  // The query plan's details of a statement, joined by "; ".
  std::string Plan(const std::string& sql) const {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db, ("EXPLAIN QUERY PLAN " + sql).c_str(), -1, &s, nullptr) == SQLITE_OK)
      while (sqlite3_step(s) == SQLITE_ROW) out += std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, 3))) + "; ";
    sqlite3_finalize(s);
    sqlite3_close(db);
    return out;
  }

 private:
  std::string dir_, path_;
};

}  // namespace drovana::db::test
