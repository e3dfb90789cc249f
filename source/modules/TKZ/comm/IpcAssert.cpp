// The comm thread's callbacks from inside the IPC library: its error
// reports and the socket-open hook (the network log's hook: NetLog.cpp).
#include <cstring>

#include "IpcComm.h"
#include "LogSink.h"
#include "ThreadMsgs.h"
#include "net/backend.h"

void IpcAssert(const IpcEvntHdr* evnt, intptr_t /*userValue*/) {
  if (evnt == nullptr) return;
  // Read no further than the event says it is long; a short event leaves
  // the missing fields zero.
  IpcLogEvnt report{};
  const size_t length = evnt->length < sizeof report ? evnt->length : sizeof report;
  std::memcpy(&report, evnt, length);
  char file[sizeof report.file + 1] = {};
  std::memcpy(file, report.file, sizeof report.file);
  // A report about a datagram the library received names its sender, so
  // that one sender's one fault always gives the same line.
  if (evnt->length >= IPC_LOG_EVNT_FROM_LEN) {
    IpcLogEvntFrom from;
    std::memcpy(&from, evnt, sizeof from);
    LogPrintfQueued(
        "IpcAssert: file: %s, line: %d, ErrCode: %d, Svr: %d, hTargetSvr: %d, from %s\n", file,
        static_cast<int>(report.line), static_cast<int>(report.ErrCode),
        static_cast<int>(report.Svr), static_cast<int>(report.hTargetSvr),
        net::FormatEndpoint(net::Endpoint{from.fromAddr, from.fromPort}).c_str());
    return;
  }
  LogPrintfQueued("IpcAssert: file: %s, line: %d, ErrCode: %d, Svr: %d, hTargetSvr: %d\n", file,
                  static_cast<int>(report.line), static_cast<int>(report.ErrCode),
                  static_cast<int>(report.Svr), static_cast<int>(report.hTargetSvr));
}

void CommSocketOpenHook(IpcSocket socket) {
  // Also called for a socket that could not be created.
  const auto fd = static_cast<intptr_t>(socket);
  if (fd < 0 || fd > INT32_MAX) return;
  msgq::WatchSocket(static_cast<int>(fd), g_hCommWnd.load(), WM_IPC_SOCKET);
}
