// The service database: one record per possible server and a fixed number
// of id slots per server by type, and the export IpcSvrAndSvcCreate that
// fills them.
#include "ipcdrdb.h"

#include <cstring>

#include "ipccheck.h"
#include "ipcinst.h"
#include "ipcproc.h"

namespace ipc {
namespace {

constexpr char kIpcModuleFile[] = "ipcdrdb.c";

// Where the records and id slots of each valid type begin.
struct TypeLayout {
  uint8_t svrType;
  uint8_t servers;     // indexes 1 to servers
  uint8_t slots;       // id slots per server
  int firstRecord;
  int firstSlot;
};

constexpr TypeLayout kLayouts[] = {
    {IPC_SVR_LOG, 1, kIpcSvcSlotsLog, 0, 0},
    {IPC_SVR_AUX, 1, kIpcSvcSlotsAux, 1, kIpcSvcSlotsLog},
    {IPC_SVR_ROUTER, 1, kIpcSvcSlotsRouter, 2, kIpcSvcSlotsLog + kIpcSvcSlotsAux},
    {IPC_SVR_IO_FTP, IPC_MAX_SVR_INDX, kIpcSvcSlotsIoFtp, 3,
     kIpcSvcSlotsLog + kIpcSvcSlotsAux + kIpcSvcSlotsRouter},
    {IPC_SVR_IO_KRN, IPC_MAX_SVR_INDX, kIpcSvcSlotsIoKrn, 3 + IPC_MAX_SVR_INDX,
     kIpcSvcSlotsLog + kIpcSvcSlotsAux + kIpcSvcSlotsRouter +
         IPC_MAX_SVR_INDX * kIpcSvcSlotsIoFtp},
};

constexpr bool LayoutFits() {
  const TypeLayout& last = kLayouts[4];
  return last.firstRecord + last.servers == kIpcSvcRecordCount &&
         last.firstSlot + last.servers * last.slots == kIpcSvcSlotCount;
}
static_assert(LayoutFits(), "service tables sized for the layout");

const TypeLayout* LayoutOf(uint8_t svrType) {
  for (const TypeLayout& l : kLayouts) {
    if (l.svrType == svrType) return &l;
  }
  return nullptr;
}

// Record of (type, index), null for an invalid pair.  Quiet.
IpcSvcRecord* RecordOf(uint8_t svrType, uint8_t svrIndx) {
  const TypeLayout* l = LayoutOf(svrType);
  if (l == nullptr || svrIndx == 0 || svrIndx > l->servers) return nullptr;
  return &Cur().drdb.records[l->firstRecord + svrIndx - 1];
}

// The id slots of (type, index): IpcSvcSlotsPerSvr(type) of them.  Null for
// an invalid pair.  Quiet.
IpcSvcIdSlot* SlotsOf(uint8_t svrType, uint8_t svrIndx) {
  const TypeLayout* l = LayoutOf(svrType);
  if (l == nullptr || svrIndx == 0 || svrIndx > l->servers) return nullptr;
  return &Cur().drdb.slots[l->firstSlot + (svrIndx - 1) * l->slots];
}

uint8_t MaxIdOf(const IpcSvcRecord& r, uint8_t svrType) {
  const uint8_t slots = IpcSvcSlotsPerSvr(svrType);
  return r.idCount < slots ? r.idCount : slots;
}

// The checks common to the operations for other modules: type (1), index
// (2), registered (12, severity 2).  The record, or null after a report.
IpcSvcRecord* CheckedRecord(uint8_t svrType, uint8_t svrIndx) {
  if (!IpcSvrTypeValid(svrType)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_TYPE);
    return nullptr;
  }
  IpcSvcRecord* r = RecordOf(svrType, svrIndx);
  if (r == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_INDX);
    return nullptr;
  }
  if (r->inUse != 1) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return nullptr;
  }
  return r;
}

// Restores the error context when an operation that set its own returns,
// so that a library module calling it keeps reporting under its own.
class ErrCtxRestore {
 public:
  ErrCtxRestore() : type_(IpcErrCtxSvrType()), indx_(IpcErrCtxSvrIndx()) {}
  ~ErrCtxRestore() { IpcErrCtxSet(type_, indx_); }
  ErrCtxRestore(const ErrCtxRestore&) = delete;
  ErrCtxRestore& operator=(const ErrCtxRestore&) = delete;

 private:
  uint8_t type_;
  uint8_t indx_;
};

}  // namespace

void IpcDrdbReset() { std::memset(&Cur().drdb, 0, sizeof(IpcDrdbState)); }

uint8_t IpcSvcSlotsPerSvr(uint8_t svrType) {
  const TypeLayout* l = LayoutOf(svrType);
  return l == nullptr ? 0 : l->slots;
}

bool IpcSvcExists(uint8_t svrType, uint8_t svrIndx) {
  return IpcSvcFind(svrType, svrIndx) != nullptr;
}

const IpcSvcRecord* IpcSvcFind(uint8_t svrType, uint8_t svrIndx) {
  const IpcSvcRecord* r = RecordOf(svrType, svrIndx);
  return r != nullptr && r->inUse == 1 ? r : nullptr;
}

uint8_t IpcSvcMaxId(uint8_t svrType, uint8_t svrIndx) {
  const IpcSvcRecord* r = IpcSvcFind(svrType, svrIndx);
  return r == nullptr ? 0 : MaxIdOf(*r, svrType);
}

bool IpcSvcRegistered(uint8_t svrType, uint8_t svrIndx) {
  return CheckedRecord(svrType, svrIndx) != nullptr;
}

bool IpcSvcIdValid(uint8_t svrType, uint8_t svrIndx, uint8_t id) {
  const IpcSvcRecord* r = CheckedRecord(svrType, svrIndx);
  return r != nullptr && id >= 1 && id <= MaxIdOf(*r, svrType);
}

IpcComProcFn IpcSvcProcFnGet(uint8_t svrType, uint8_t svrIndx, uint8_t id) {
  const IpcSvcRecord* r = CheckedRecord(svrType, svrIndx);
  if (r == nullptr || id < 1 || id > MaxIdOf(*r, svrType)) return nullptr;
  return SlotsOf(svrType, svrIndx)[id - 1].fn;
}

bool IpcSvcEvntEnabled(uint8_t svrType, uint8_t svrIndx, uint8_t id) {
  const IpcSvcRecord* r = CheckedRecord(svrType, svrIndx);
  if (r == nullptr || id < 1 || id > MaxIdOf(*r, svrType)) return false;
  return SlotsOf(svrType, svrIndx)[id - 1].evntEnabled == 1;
}

bool IpcSvcHighVersionGet(uint8_t svrType, uint8_t svrIndx, char out[IPC_VERSION_SIZE]) {
  std::memset(out, 0, IPC_VERSION_SIZE);
  const IpcSvcRecord* r = CheckedRecord(svrType, svrIndx);
  if (r == nullptr) return false;
  std::memcpy(out, r->highVersion, IPC_VERSION_SIZE);
  return true;
}

bool IpcSvcVersionInRange(uint8_t svrType, uint8_t svrIndx, const char* version) {
  const IpcSvcRecord* r = CheckedRecord(svrType, svrIndx);
  if (r == nullptr) return false;
  // The version may be a field of a received message: read 8 bytes at
  // most, and never take them as a text without its NUL.
  char text[IPC_VERSION_SIZE + 1] = {};
  if (version != nullptr) std::memcpy(text, version, IPC_VERSION_SIZE);
  if (version == nullptr || std::memchr(version, '\0', IPC_VERSION_SIZE) == nullptr ||
      !IpcVersionFormValid(text)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_VERSION);
    return false;
  }
  char low[IPC_VERSION_SIZE + 1] = {};
  char high[IPC_VERSION_SIZE + 1] = {};
  std::memcpy(low, r->lowVersion, IPC_VERSION_SIZE);
  std::memcpy(high, r->highVersion, IPC_VERSION_SIZE);
  return IpcVersionOrder(low, text) && IpcVersionOrder(text, high);
}

}  // namespace ipc

using namespace ipc;

extern "C" uint8_t IpcSvrAndSvcCreate(uint8_t svrType, uint8_t svrIndx,
                                      const char* lowVersion, const char* highVersion,
                                      uint8_t idCount, const IpcComProcEntry* procTable,
                                      uint8_t procCount, const uint8_t* eventIds,
                                      uint8_t eventCount) {
  ErrCtxRestore restore;
  IpcErrCtxSet(svrType, svrIndx);

  if (!IpcSvrTypeValid(svrType)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_TYPE);
    return 0;
  }
  IpcSvcRecord* r = RecordOf(svrType, svrIndx);
  if (r == nullptr) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_SVR_INDX);
    return 0;
  }
  if (!IpcVersionFormValid(lowVersion) || !IpcVersionFormValid(highVersion) ||
      !IpcVersionOrder(lowVersion, highVersion)) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_VERSION);
    return 0;
  }
  if (idCount == 0 || idCount > IPC_MAX_SVC_IDS) {
    IPC_REPORT(IPC_SEV_ARG, IPC_ERR_ID_COUNT);
    return 0;
  }
  if ((procTable == nullptr) != (procCount == 0) ||
      (eventIds == nullptr) != (eventCount == 0)) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return 0;
  }
  if (r->inUse != 0) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    return 0;
  }

  const uint8_t slotCount = IpcSvcSlotsPerSvr(svrType);
  IpcSvcIdSlot* slots = SlotsOf(svrType, svrIndx);
  std::memset(slots, 0, sizeof(IpcSvcIdSlot) * slotCount);
  IpcVersionCopy(r->lowVersion, lowVersion);
  IpcVersionCopy(r->highVersion, highVersion);
  r->idCount = idCount;
  r->inUse = 1;

  // An id above the slots of the type has nowhere to go: refused like one
  // above the id count.
  const uint8_t maxId = MaxIdOf(*r, svrType);
  for (uint8_t i = 0; i < procCount; ++i) {
    const IpcComProcEntry& e = procTable[i];
    if (e.procId == 0) continue;
    if (e.procId > maxId) {
      IPC_REPORT(IPC_SEV_ARG, IPC_ERR_PROC_ID);
    } else if (e.fn == nullptr) {
      IPC_REPORT(IPC_SEV_ARG, IPC_ERR_NULL_PROC_FN);
    } else if (slots[e.procId - 1].fn != nullptr) {
      IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    } else {
      slots[e.procId - 1].fn = e.fn;
    }
  }
  for (uint8_t i = 0; i < eventCount; ++i) {
    const uint8_t id = eventIds[i];
    if (id == 0) continue;
    if (id > maxId) {
      IPC_REPORT(IPC_SEV_ARG, IPC_ERR_PROC_ID);
    } else if (slots[id - 1].evntEnabled != 0) {
      IPC_REPORT(IPC_SEV_STATE, IPC_ERR_STATE);
    } else {
      slots[id - 1].evntEnabled = 1;
    }
  }

  if (!IpcSvcExists(svrType, svrIndx)) {
    IPC_REPORT(IPC_SEV_STATE, IPC_ERR_TABLE);
    return 0;
  }
  return 1;
}
