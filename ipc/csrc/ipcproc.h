// Internal interface of module ipcproc: the library's start and stop
// (IpcInit, IpcTerm), the current error context and the error reports
// (IpcLogError).  Com-proc routing (IpcComProc) joins this module later.
// Must not include ipcinst.h.
#ifndef IPCPROC_H
#define IPCPROC_H

#include <cstdint>

// The sender of the datagram the library is handling: reports made
// meanwhile name it (IpcLogEvntFrom).
struct IpcRxSender {
  bool active;
  uint32_t addr;  // host order
  uint16_t port;
};

// Owned by the library instance (ipc::Instance::proc).
struct IpcProcState {
  // The current error context: the server type and index that every report
  // carries in Svr and hTargetSvr.  Exported operations set it on entry.
  uint8_t errSvrType = 0;
  uint8_t errSvrIndx = 0;
  // Set while IpcLogError raises its event: a report made on that road is
  // dropped (and counted) instead of recursing.
  bool reporting = false;
  uint32_t nestedReportsDropped = 0;
  IpcRxSender rxSender = {};
};

namespace ipc {

// Returns the module to its state at a fresh start.
void IpcProcReset();

// The current error context.
void IpcErrCtxSet(uint8_t svrType, uint8_t svrIndx);
uint8_t IpcErrCtxSvrType();
uint8_t IpcErrCtxSvrIndx();

// Reports errCode with the current error context.  moduleFile is the
// reporting module's fixed source name ("ipcnetdb.c"); IpcLogError keeps
// the module name from it.  Returns IpcLogError's result.
int IpcReport(uint8_t severity, uint16_t errCode, const char* moduleFile,
              uint16_t line);

// Names a datagram's sender in the reports made while it is handled: the
// checks of the datagram layer, the delivery of what it carries, and the
// router's handling of it.  Scopes nest; each restores what it found.
class IpcRxSenderScope {
 public:
  IpcRxSenderScope(uint32_t addr, uint16_t port);
  explicit IpcRxSenderScope(const IpcRxSender& sender);
  ~IpcRxSenderScope();
  IpcRxSenderScope(const IpcRxSenderScope&) = delete;
  IpcRxSenderScope& operator=(const IpcRxSenderScope&) = delete;

 private:
  IpcRxSender saved_;
};

// While a host's procedure or event callback runs, what it reports is its
// own, not the datagram's: the sender is not named.
class IpcRxSenderPause {
 public:
  IpcRxSenderPause();
  ~IpcRxSenderPause();
  IpcRxSenderPause(const IpcRxSenderPause&) = delete;
  IpcRxSenderPause& operator=(const IpcRxSenderPause&) = delete;

 private:
  IpcRxSender saved_;
};

// The sender named now (inactive when none).
const IpcRxSender& IpcRxSenderCurrent();

// Extracts the `file` field of a report from a source path: the last
// component (after the last '/' or '\\'), without its last two characters,
// at most 8 characters, NUL-terminated.  A null path or one shorter than two
// characters gives an empty name.
void IpcLogFileName(const char* path, char out[10]);

}  // namespace ipc

// Reports from inside a module: each module defines its fixed source name
//   static constexpr char kIpcModuleFile[] = "ipcnetdb.c";
#define IPC_REPORT(severity, errCode) \
  ::ipc::IpcReport((severity), (errCode), kIpcModuleFile, static_cast<uint16_t>(__LINE__))

#endif
