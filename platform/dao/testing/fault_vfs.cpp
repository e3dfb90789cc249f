#include "fault_vfs.h"

#include <cstring>
#include <stdexcept>

namespace dao::testing {
namespace {

struct FaultFile {
  sqlite3_file base;  // first: SQLite sees this
  FaultVfs* owner;
  bool faulty;          // a database, journal or WAL file
  sqlite3_file* real;   // the default VFS's file, right after this struct
};

sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<FaultFile*>(f)->real; }

int Refused(sqlite3_file* f) {
  auto* ff = reinterpret_cast<FaultFile*>(f);
  return ff->faulty ? ff->owner->Refuse() : 0;
}

int Close(sqlite3_file* f) {
  sqlite3_file* r = Real(f);
  const int rc = r->pMethods != nullptr ? r->pMethods->xClose(r) : SQLITE_OK;
  f->pMethods = nullptr;
  return rc;
}
int Read(sqlite3_file* f, void* p, int n, sqlite3_int64 off) { return Real(f)->pMethods->xRead(Real(f), p, n, off); }
int Write(sqlite3_file* f, const void* p, int n, sqlite3_int64 off) {
  if (int rc = Refused(f)) return rc;
  return Real(f)->pMethods->xWrite(Real(f), p, n, off);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  if (int rc = Refused(f)) return rc;
  return Real(f)->pMethods->xTruncate(Real(f), size);
}
int Sync(sqlite3_file* f, int flags) {
  if (int rc = Refused(f)) return rc;
  return Real(f)->pMethods->xSync(Real(f), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) { return Real(f)->pMethods->xFileSize(Real(f), size); }
int Lock(sqlite3_file* f, int l) { return Real(f)->pMethods->xLock(Real(f), l); }
int Unlock(sqlite3_file* f, int l) { return Real(f)->pMethods->xUnlock(Real(f), l); }
int CheckReservedLock(sqlite3_file* f, int* out) { return Real(f)->pMethods->xCheckReservedLock(Real(f), out); }
int FileControl(sqlite3_file* f, int op, void* arg) { return Real(f)->pMethods->xFileControl(Real(f), op, arg); }
int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int DeviceCharacteristics(sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); }
int ShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** p) {
  return Real(f)->pMethods->xShmMap(Real(f), region, size, extend, p);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) { return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags); }
void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
int ShmUnmap(sqlite3_file* f, int del) { return Real(f)->pMethods->xShmUnmap(Real(f), del); }
int Fetch(sqlite3_file* f, sqlite3_int64 off, int n, void** p) { return Real(f)->pMethods->xFetch(Real(f), off, n, p); }
int Unfetch(sqlite3_file* f, sqlite3_int64 off, void* p) { return Real(f)->pMethods->xUnfetch(Real(f), off, p); }

// Version 3 of the methods; a file of an older version gets a copy cut to it.
const sqlite3_io_methods kMethods = {3,       Close,    Read,    Write,        Truncate,    Sync,
                                     FileSize, Lock,    Unlock,  CheckReservedLock, FileControl, SectorSize,
                                     DeviceCharacteristics, ShmMap, ShmLock, ShmBarrier, ShmUnmap, Fetch, Unfetch};

int Open(sqlite3_vfs* vfs, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
  auto* owner = static_cast<FaultVfs*>(vfs->pAppData);
  auto* ff = reinterpret_cast<FaultFile*>(f);
  std::memset(ff, 0, sizeof *ff);
  ff->owner = owner;
  ff->faulty = (flags & (SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_WAL)) != 0;
  ff->real = reinterpret_cast<sqlite3_file*>(ff + 1);
  sqlite3_vfs* real = owner->Base();
  const int rc = real->xOpen(real, name, ff->real, flags, outFlags);
  ff->base.pMethods = ff->real->pMethods != nullptr ? &kMethods : nullptr;
  return rc;
}

sqlite3_vfs* BaseOf(sqlite3_vfs* vfs) { return static_cast<FaultVfs*>(vfs->pAppData)->Base(); }

int Delete(sqlite3_vfs* vfs, const char* name, int sync) {
  sqlite3_vfs* real = BaseOf(vfs);
  return real->xDelete(real, name, sync);
}
int Access(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
  sqlite3_vfs* real = BaseOf(vfs);
  return real->xAccess(real, name, flags, out);
}
int FullPathname(sqlite3_vfs* vfs, const char* name, int n, char* out) {
  sqlite3_vfs* real = BaseOf(vfs);
  return real->xFullPathname(real, name, n, out);
}
void* DlOpen(sqlite3_vfs* vfs, const char* name) {
  sqlite3_vfs* real = BaseOf(vfs);
  return real->xDlOpen(real, name);
}
void DlError(sqlite3_vfs* vfs, int n, char* out) {
  sqlite3_vfs* real = BaseOf(vfs);
  real->xDlError(real, n, out);
}
void (*DlSym(sqlite3_vfs* vfs, void* h, const char* sym))(void) {
  sqlite3_vfs* real = BaseOf(vfs);
  return real->xDlSym(real, h, sym);
}
void DlClose(sqlite3_vfs* vfs, void* h) {
  sqlite3_vfs* real = BaseOf(vfs);
  real->xDlClose(real, h);
}
int Randomness(sqlite3_vfs* vfs, int n, char* out) {
  sqlite3_vfs* real = BaseOf(vfs);
  return real->xRandomness(real, n, out);
}
int Sleep(sqlite3_vfs* vfs, int us) {
  sqlite3_vfs* real = BaseOf(vfs);
  return real->xSleep(real, us);
}
int CurrentTime(sqlite3_vfs* vfs, double* out) {
  sqlite3_vfs* real = BaseOf(vfs);
  return real->xCurrentTime(real, out);
}
int GetLastError(sqlite3_vfs* vfs, int n, char* out) {
  sqlite3_vfs* real = BaseOf(vfs);
  return real->xGetLastError(real, n, out);
}
int CurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* out) {
  sqlite3_vfs* real = BaseOf(vfs);
  return real->xCurrentTimeInt64(real, out);
}

}  // namespace

FaultVfs::FaultVfs() {
  base_ = sqlite3_vfs_find("unix");
  if (base_ == nullptr) throw std::runtime_error("no unix VFS");
  vfs_.iVersion = 2;
  vfs_.szOsFile = static_cast<int>(sizeof(FaultFile)) + base_->szOsFile;
  vfs_.mxPathname = base_->mxPathname;
  vfs_.zName = "drovana-fault";
  vfs_.pAppData = this;
  vfs_.xOpen = Open;
  vfs_.xDelete = Delete;
  vfs_.xAccess = Access;
  vfs_.xFullPathname = FullPathname;
  vfs_.xDlOpen = DlOpen;
  vfs_.xDlError = DlError;
  vfs_.xDlSym = DlSym;
  vfs_.xDlClose = DlClose;
  vfs_.xRandomness = Randomness;
  vfs_.xSleep = Sleep;
  vfs_.xCurrentTime = CurrentTime;
  vfs_.xGetLastError = GetLastError;
  vfs_.xCurrentTimeInt64 = CurrentTimeInt64;
  if (sqlite3_vfs_register(&vfs_, 1) != SQLITE_OK) throw std::runtime_error("VFS not registered");
}

FaultVfs::~FaultVfs() { sqlite3_vfs_unregister(&vfs_); }

int FaultVfs::Refuse() {
  const int code = code_.load();
  if (code != 0) refused_.fetch_add(1);
  return code;
}

}  // namespace dao::testing
