// Module ipcproc: start and stop of the library, the current error context
// and the error reports of the built-in log server.
#include "ipcproc.h"

#include <cstring>

#include "ipcinst.h"
#include "tessio32.h"

namespace ipc {
namespace {

// Longest path IpcLogError looks at; a longer text is cut there.
constexpr size_t kMaxPathScan = 4096;

}  // namespace

void IpcProcReset() {
  IpcProcState& s = Cur().proc;
  s.errSvrType = IPC_SVR_LOG;
  s.errSvrIndx = 1;
  s.reporting = false;
  s.rxSender = IpcRxSender{};
}

void IpcErrCtxSet(uint8_t svrType, uint8_t svrIndx) {
  Cur().proc.errSvrType = svrType;
  Cur().proc.errSvrIndx = svrIndx;
}

uint8_t IpcErrCtxSvrType() { return Cur().proc.errSvrType; }
uint8_t IpcErrCtxSvrIndx() { return Cur().proc.errSvrIndx; }

namespace {

// IpcLogError with the sender of the datagram being handled, when there is
// one, after the report.
int LogError(uint8_t severity, uint8_t svrType, uint8_t svrIndx, uint16_t errCode,
             const char* file, uint16_t line, const IpcRxSender* sender) {
  IpcProcState& s = Cur().proc;
  // A report made while a report is being raised (the event checks refusing
  // the report itself) is dropped: raising it would recurse.
  if (s.reporting) {
    ++s.nestedReportsDropped;
    return 0;
  }
  if (!IpcSvcExists(IPC_SVR_LOG, 1)) return 0;

  IpcLogEvntFrom evnt;
  std::memset(&evnt, 0, sizeof evnt);
  IpcLogEvnt& r = evnt.report;
  r.hdr.length = sender != nullptr ? IPC_LOG_EVNT_FROM_LEN : IPC_LOG_EVNT_LEN;
  r.hdr.evntCode = static_cast<uint16_t>(severity + 1);
  r.hdr.svrType = IPC_SVR_LOG;
  r.hdr.evntId = 1;
  r.hdr.hostHandle = 1;
  r.Svr = svrType;
  r.hTargetSvr = svrIndx;
  r.ErrCode = errCode;
  IpcLogFileName(file, r.file);
  r.line = line;
  if (sender != nullptr) {
    evnt.fromAddr = sender->addr;
    evnt.fromPort = sender->port;
  }

  s.reporting = true;
  const int result = IpcEvntRaise(&r.hdr, 0, 0);
  Cur().proc.reporting = false;
  return result;
}

}  // namespace

int IpcReport(uint8_t severity, uint16_t errCode, const char* moduleFile, uint16_t line) {
  const IpcProcState& s = Cur().proc;
  return LogError(severity, s.errSvrType, s.errSvrIndx, errCode, moduleFile, line,
                  s.rxSender.active ? &s.rxSender : nullptr);
}

IpcRxSenderScope::IpcRxSenderScope(uint32_t addr, uint16_t port) : saved_(Cur().proc.rxSender) {
  Cur().proc.rxSender = IpcRxSender{true, addr, port};
}

IpcRxSenderScope::IpcRxSenderScope(const IpcRxSender& sender) : saved_(Cur().proc.rxSender) {
  Cur().proc.rxSender = sender;
}

IpcRxSenderScope::~IpcRxSenderScope() { Cur().proc.rxSender = saved_; }

IpcRxSenderPause::IpcRxSenderPause() : saved_(Cur().proc.rxSender) {
  Cur().proc.rxSender.active = false;
}

IpcRxSenderPause::~IpcRxSenderPause() { Cur().proc.rxSender = saved_; }

const IpcRxSender& IpcRxSenderCurrent() { return Cur().proc.rxSender; }

void IpcLogFileName(const char* path, char out[10]) {
  std::memset(out, 0, 10);
  if (path == nullptr) return;
  const size_t len = strnlen(path, kMaxPathScan);
  if (len < 2) return;
  const size_t end = len - 2;  // the name ends before the last two characters
  size_t start = 0;
  for (size_t i = end + 1; i-- > 0;) {  // from the second-last character back
    if (path[i] == '/' || path[i] == '\\') {
      start = i + 1;
      break;
    }
  }
  if (start >= end) return;
  size_t n = end - start;
  if (n > IPC_MAX_NODE_NAME) n = IPC_MAX_NODE_NAME;
  std::memcpy(out, path + start, n);
}

}  // namespace ipc

extern "C" {

int IpcLogError(uint8_t severity, uint8_t svrType, uint8_t svrIndx, uint16_t errCode,
                const char* file, uint16_t line) {
  return ipc::LogError(severity, svrType, svrIndx, errCode, file, line, nullptr);
}

uint16_t IpcInit(void) {
  ipc::IpcProcReset();  // error context (1, 1)
  ipc::IpcDbReset();
  ipc::IpcNetdbReset();
  ipc::IpcDrdbReset();
  ipc::IpcEvntReset();
  ipc::IpcDrhstReset();
  static const uint8_t kLogEvntIds[] = {1};
  IpcSvrAndSvcCreate(IPC_SVR_LOG, 1, IPC_VERSION, IPC_VERSION_DATE, 1, nullptr, 0,
                     kLogEvntIds, sizeof kLogEvntIds);
  ipc::IpcErrCtxSet(IPC_SVR_LOG, 1);
  return ipc::IpcNetInit();
}

uint16_t IpcTerm(void) {
  ipc::IpcProcReset();
  ipc::IpcNetTerm();
  ipc::IpcNetdbReset();
  ipc::IpcDbReset();
  ipc::IpcDrdbReset();
  ipc::IpcEvntReset();
  ipc::IpcDrhstReset();
  ipc::IpcNetReset();
  ipc::IpcRoutrReset();
  return 0;
}

}  // extern "C"
