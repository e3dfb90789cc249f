// Tests only: an SQLite VFS over the default one whose writes can be made to
// fail, as a full disk, a failing disk, a file system remounted read-only or
// a write the kernel refuses would make them fail.  While a FaultVfs lives
// it is the default VFS of the process, so every connection opened after it
// (the database layer's and the test's own) goes through it.
//
// Threads: FailWrites may be called from any thread; the switch is atomic.
// Ownership: one FaultVfs at a time; it must outlive the connections opened
// through it.
#pragma once

#include <sqlite3.h>

#include <atomic>

namespace dao::testing {

class FaultVfs {
 public:
  FaultVfs();
  ~FaultVfs();
  FaultVfs(const FaultVfs&) = delete;
  FaultVfs& operator=(const FaultVfs&) = delete;

  // From now on every write, truncation and sync of a database, journal or
  // WAL file returns `code` (an SQLite result code such as SQLITE_FULL or
  // SQLITE_IOERR_WRITE); 0 lets them through again.
  void FailWrites(int code) { code_.store(code); }
  int FailingCode() const { return code_.load(); }
  // Writes refused since the construction.
  int Refused() const { return refused_.load(); }

  // Internal: the switch as the file methods read it, and the VFS below.
  int Refuse();
  sqlite3_vfs* Base() const { return base_; }

 private:
  sqlite3_vfs vfs_{};
  sqlite3_vfs* base_ = nullptr;
  std::atomic<int> code_{0};
  std::atomic<int> refused_{0};
};

}  // namespace dao::testing
