// Test helpers: a temporary directory and databases made with raw SQLite.
#pragma once

#include <string>

namespace dao::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Creates an SQLite file and runs the statements in it.
void MakeDb(const std::string& path, const std::string& sql);
// Runs statements on an existing file through a separate connection (as an
// outside program would).
void RunSql(const std::string& path, const std::string& sql);
// First column of the first row of a query, as text ("" when none / NULL).
std::string QueryText(const std::string& path, const std::string& sql);
long long FileSize(const std::string& path);

// A small schema for the layer's tests: a request table like the server's,
// a parameter table, and a parent/child pair for joins.
extern const char kTestSchema[];

}  // namespace dao::test
