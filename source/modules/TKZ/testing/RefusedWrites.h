// Tests only: the ways a site's database refuses the server's writes for a
// while (another program holding its write lock past the busy time-out, a
// full disk, a failing disk, a file system turned read-only, a write the
// system refuses), one table for every test that checks that nothing the
// server decided is lost meanwhile.
//
// A RefusedWrites object must be made before the database is opened (the
// fault-injecting VFS becomes the default for every connection opened after
// it) and outlive the document.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

#include "App.h"
#include "fault_vfs.h"

struct WriteRefusal {
  const char* what;
  int code;  // the SQLite code every write fails with; 0: another program's lock
};

inline constexpr WriteRefusal kWriteRefusals[] = {
    {"locked by another program", 0},
    {"disk full", SQLITE_FULL},
    {"I/O error", SQLITE_IOERR_WRITE},
    {"read-only file system", SQLITE_READONLY},
    {"write refused by the system", SQLITE_PERM},
};

class RefusedWrites {
 public:
  RefusedWrites() = default;
  ~RefusedWrites() { End(); }
  RefusedWrites(const RefusedWrites&) = delete;
  RefusedWrites& operator=(const RefusedWrites&) = delete;

  // From now on the site's database (g_strDatabaseFile) refuses writes.
  bool Begin(const WriteRefusal& how) {
    End();
    if (how.code != 0) {
      vfs_.FailWrites(how.code);
      return true;
    }
    if (sqlite3_open(g_strDatabaseFile.c_str(), &holder_) != SQLITE_OK) return false;
    return sqlite3_exec(holder_, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  // Writes are taken again.
  void End() {
    vfs_.FailWrites(0);
    if (holder_ != nullptr) {
      sqlite3_exec(holder_, "COMMIT;", nullptr, nullptr, nullptr);
      sqlite3_close(holder_);
      holder_ = nullptr;
    }
  }

 private:
  dao::testing::FaultVfs vfs_;
  sqlite3* holder_ = nullptr;
};
