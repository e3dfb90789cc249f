// The comm thread's life: start-up handshake, library start, message loop,
// poll, stop and join.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "DisplayFlags.h"
#include "IpcComm.h"
#include "LogSink.h"
#include "NetLog.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "ThreadMsgs.h"
#include "net/posix.h"

CIpcComm theIpcComm;

namespace {

constexpr size_t kHostNameMax = 8;

// Version of the log server's event client.
constexpr char kLogClientVersion[] = "1.3c";

MessageBoxPort& DefaultMessageBox() {
  static StreamMessageBox box(stderr);
  return box;
}

std::string Format(const char* format, int code) {
  char buf[128];
  std::snprintf(buf, sizeof buf, format, code);
  return buf;
}

}  // namespace

CIpcComm::CIpcComm() = default;

CIpcComm::~CIpcComm() {
  Stop();
  if (m_bInline) EndInline();
  // The thread is gone: no datagram can be logged any more.
  CloseNetLog();
  FreeTables();
}

void CIpcComm::SetPorts(const Ports& ports) { m_Ports = ports; }

void CIpcComm::ReadHostIdentity() {
  m_pLib = m_Ports.library != nullptr ? m_Ports.library : &DefaultCommLibrary();
  m_Nodes.SetLibrary(*m_pLib);
  m_Nodes.Activate();
  m_Ftp.SetLibrary(*m_pLib);
  m_Ftp.Activate();
  m_pClock = m_Ports.clock != nullptr ? m_Ports.clock : &platform::time::SystemClock();
  net::Backend& identity = m_Ports.identity != nullptr ? *m_Ports.identity : net::DefaultBackend();
  MessageBoxPort& box = m_Ports.messageBox != nullptr ? *m_Ports.messageBox : DefaultMessageBox();

  std::string name;
  if (int rc = identity.HostName(&name); rc != 0) {
    box.Show(Format("Error: gethostname() failed, Error code = %d.", rc),
             MessageBoxPort::Icon::kStop);
    name.clear();
  }
  // The library's node names hold 8 characters.
  if (name.size() > kHostNameMax) name.resize(kHostNameMax);
  m_strHostName = name;

  uint32_t address = 0;
  if (int rc = identity.OwnAddress(&address); rc != 0 || address == 0) {
    box.Show(Format("Error: gethostbyname() failed, Error code = %d.", rc),
             MessageBoxPort::Icon::kStop);
    address = 0;
  }
  m_nOwnAddress = address;
}

bool CIpcComm::PrepareStart() {
  if (m_Thread.joinable() || m_bThreadRunning.load() || m_bInline) return false;
  ReadHostIdentity();
  m_pEvent = std::make_unique<msgq::AutoResetEvent>();
  m_nStartMs = m_pClock->MonotonicMs();
  m_nFlags.store(kFlagRunning);
  InstallRackMsgPoster();
  return true;
}

bool CIpcComm::Start() {
  if (!PrepareStart()) return false;
  m_bThreadRunning.store(true);
  try {
    m_Thread = std::thread([this] { ThreadProc(); });
  } catch (const std::system_error&) {
    m_bThreadRunning.store(false);
    return false;
  }
  // Above-normal priority needs privileges a server here does not have;
  // the thread runs at the default priority.
  m_pEvent->Wait();
  return true;
}

void CIpcComm::ThreadProc() {
  MainLoop();
  // Wakes a synchronous caller whose message will never be handled now.
  m_bThreadRunning.store(false);
  m_pEvent->Set();
}

void CIpcComm::InitThread() {
  m_pWindow = std::make_unique<msgq::Queue>(m_Ports.timerMode);
  g_hCommWnd.store(m_pWindow->handle());

  m_pLib->InstallDebugHook(NetLogDebugHook);
  m_pLib->InstallSocketOpenHook(CommSocketOpenHook);
  m_pLib->IpcInit();
  m_pLib->DirectLinkStart();
  // The log server (1, 1) is served here, on node 0; its events come to
  // IpcAssert.
  m_pLib->IpcSvrLocationSet(IPC_SVR_LOG, 1, 1, 1, 0, 0, 0, 0, 0);
  uint8_t logClient = 0;
  m_pLib->IpcClntEvntCreate(IPC_SVR_LOG, 1, IpcAssert, kLogClientVersion, &logClient, 0);

  if (m_nOwnAddress != 0) {
    m_pLib->IpcNetNodeInfoCreate(0, m_strHostName.c_str(), m_nOwnAddress, kOwnNodeType);
    WriteCurrentTime();
    m_pLib->IpcNetTcpIpInitDriver();
    if (m_pLib->IpcNetTcpIpIsInitOk() && !m_pLib->IpcNetNodeLinkInit())
      LogPrintfQueued("Error: Failed to initialize IPC via IpcNetNodeLinkInit()\n");
  } else {
    // Without an address of its own this PC cannot take part in the
    // network: no node 0, no sockets.
    WriteCurrentTime();
    LogPrintfQueued(
        "Error: This PC has no IPv4 address of its own; the network is not started.\n");
  }
  LogPrintfQueued("IPC DLL supports %d connections\n",
                  static_cast<uint16_t>(m_pLib->IpcGetMaxNetNodeIndx()));

  if (!m_pWindow->handle()) {
    LogPrintfQueued("Error: The comm thread's message queue could not be created.\n");
    return;
  }
  m_bTimerSet = msgq::SetTimer(m_pWindow->handle(), kTimerId, kTimerPeriodMs);
}

void CIpcComm::MainLoop() {
  InitThread();
  m_pEvent->Set();
  const msgq::Handle window = m_pWindow->handle();
  if (!window) return;
  while ((m_nFlags.load() & kFlagRunning) != 0) {
    // A message that ended with a poll (WM_IPC_SEND_MSG) left nothing for
    // a second one at once: what arrives from now on is announced.  While
    // posts wait, they are handled first, so that what a run of them
    // queues for a node leaves in one datagram; the poll follows the run.
    if (!m_bPolledLast && !PostsWaiting()) Poll();
    msgq::Msg msg;
    const int got = msgq::GetMessage(window, &msg);
    if (got < 0) {
      LogPrintfQueued("Error: GetMessage failed in IPC mainloop, Error = %d\n", errno);
      m_bPolledLast = false;
      // Not a hot loop should the wait keep failing.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (got == 0) break;  // Stop
    Dispatch(msg);
  }
}

void CIpcComm::WriteCurrentTime() {
  // The library's clock: hour, minute, second and hundredths, from the
  // monotonic clock so that a step of the wall clock does not expire every
  // time-out at once.
  const int64_t ms = m_pClock->MonotonicMs();
  const auto hour = static_cast<uint8_t>((ms / 3600000) % 24);
  const auto minute = static_cast<uint8_t>((ms / 60000) % 60);
  const auto second = static_cast<uint8_t>((ms / 1000) % 60);
  const auto hundredths = static_cast<uint8_t>((ms % 1000) / 10);
  m_pLib->SetCurrentTime(IPC_TIME_MAKE(hour, minute, second, hundredths));
}

void CIpcComm::Poll() {
  const int64_t now = m_pClock->MonotonicMs();
  if (m_nLastPollMs) {
    const int64_t gap = now - *m_nLastPollMs;
    if (gap > static_cast<int64_t>(m_nLongestGap.load(std::memory_order_relaxed)))
      m_nLongestGap.store(static_cast<uint32_t>(gap), std::memory_order_relaxed);
  }
  m_nLastPollMs = now;

  WriteCurrentTime();
  // What the transmit queue could not take before goes first, while the
  // passes below can still send it.
  m_Nodes.RetryHeld();
  // A pass serves the socket of every node, so after each pass every event
  // it queued is delivered, not one: the passes follow the traffic rather
  // than the number of events, which keeps a poll short when many nodes
  // answer at once.  Passes go on while events come, at most 30.
  int passes = 0;
  bool delivered = false;
  do {
    m_pLib->IpcNetTcpIpTick();
    m_pLib->IpcNetDespatch();
    delivered = false;
    for (int n = 0; n < kMaxEventsPerPass && m_pLib->IpcEvntDespatch(); ++n) delivered = true;
  } while (delivered && ++passes < kMaxPollPasses);

  const auto hour = static_cast<uint8_t>((now / 3600000) % 24);
  const auto minute = static_cast<uint8_t>((now / 60000) % 60);
  const auto second = static_cast<uint8_t>((now / 1000) % 60);
  const auto hundredths = static_cast<uint8_t>((now % 1000) / 10);
  m_pLib->MsClockSet(hour, minute, second, hundredths);
  m_pLib->DirectLinkTick();

  // The sockets were read: announce again whatever arrives from now on
  // (and at once what came during the poll).
  if (m_pWindow) msgq::RearmSockets(m_pWindow->handle());
  m_nPolls.fetch_add(1, std::memory_order_relaxed);
  m_bPolledLast = true;
  m_nRun = 0;
}

bool CIpcComm::PostsWaiting() const {
  return m_nRun < kMaxRunBeforePoll && m_pWindow && msgq::HasPostedMessage(m_pWindow->handle());
}

void CIpcComm::Stop() {
  if (m_Thread.joinable()) {
    if (m_bThreadRunning.load()) msgq::PostQuitMessage(g_hCommWnd.load(), 0);
    Join();
  }
}

bool CIpcComm::Join() {
  if (!m_Thread.joinable()) return false;
  m_Thread.join();
  DrainQueue();
  return true;
}

void CIpcComm::DrainQueue() {
  if (!m_pWindow) return;
  // Whatever was posted after the loop ended: messages go back, owned
  // objects are freed, the synchronous callers were woken already.
  const msgq::Handle window = m_pWindow->handle();
  msgq::Msg msg;
  while (msgq::PeekMessage(window, &msg)) {
    switch (msg.message) {
      case WM_IPC_SEND_MSG:
      case WM_IPC_LOAD_LEARN:
      case WM_IPC_DELAY_MSG:
        if (auto* rm = reinterpret_cast<RackMsg*>(msg.lParam); rm != nullptr) {
          rm->Rcode = RC_FLUSHED;
          rm->responseLength = 0;
          ReturnMsg(rm);
        }
        break;
      case WM_IPC_RACK_VERSION_SET:
        delete reinterpret_cast<RackVersionSet*>(msg.lParam);
        break;
      case WM_IPC_FTP_REQUEST:
      case WM_IPC_FTP_CONTINUE:
      case WM_IPC_FTP_FORWARD:
        if (auto* job = reinterpret_cast<IoFtpRequest*>(msg.lParam); job != nullptr) {
          // A lent job may still head its node's queue: it leaves it here.
          if (NodeEntry* node = Node(job->nodeId); node != nullptr && node->ftpHead == job)
            m_Ftp.NodeGone(node);
          if (job->Rcode == 0) job->Rcode = RC_FLUSHED;
          job->lent = false;
          if (!PostFtpToFrame(WM_DOC_FTP_DONE, job)) delete job;
        }
        break;
      default:
        break;
    }
  }
  // The IO_FTP jobs still queued on the nodes go back too (a lent one
  // finds the queue closed when it is given back, and goes to the frame).
  for (uint32_t id : m_Nodes.NodeIds())
    if (NodeEntry* node = Node(id)) m_Ftp.NodeGone(node);
  if (m_bTimerSet) msgq::KillTimer(window, kTimerId);
  m_bTimerSet = false;
  msgq::Handle expected = window;
  g_hCommWnd.compare_exchange_strong(expected, msgq::Handle{});
  m_pWindow.reset();
}

bool CIpcComm::StartInline() {
  if (!PrepareStart()) return false;
  m_bInline = true;
  InitThread();
  return static_cast<bool>(m_pWindow->handle());
}

bool CIpcComm::Step() {
  if (!m_bInline || !m_pWindow) return false;
  Poll();
  msgq::Msg msg;
  if (!msgq::PeekMessage(m_pWindow->handle(), &msg)) return false;
  if (msg.message == msgq::WM_QUIT) {
    m_nFlags.fetch_and(~kFlagRunning);
    return true;
  }
  Dispatch(msg);
  return true;
}

int CIpcComm::Pump() {
  int handled = 0;
  while (Step()) ++handled;
  return handled;
}

void CIpcComm::EndInline() {
  if (!m_bInline) return;
  DrainQueue();
  m_bInline = false;
}

void CIpcComm::FreeTables() {
  m_Nodes.FreeAll();
  for (RackMsg* m = m_pDelayHead; m != nullptr;) {
    RackMsg* next = m->link;
    FreeRackMsg(m);
    m = next;
  }
  m_pDelayHead = m_pDelayTail = nullptr;
}
