// The comm thread: CIpcComm, its one instance theIpcComm, the two message
// targets g_hCommWnd / g_hFrameWnd, and the functions other threads use to
// post to it.
//
// The comm thread alone calls the IPC library and the direct-connect link,
// and alone touches the node and rack tables, the port queues and the delay
// queue.  Its loop polls the library, then waits for the next message of its
// queue (g_hCommWnd): posts from the UI thread, its 100 ms timer, and a
// WM_IPC_SOCKET whenever one of the library's sockets has a datagram, so a
// datagram is read at once rather than at the next tick.
//
// Threads:
//   - Start, Stop, Join and the synchronous calls (CommLoadPhase,
//     CommAddNode, CommAddRack) are for one controlling thread (the UI
//     thread); it never has two synchronous calls in flight.
//   - The post functions may be called from any thread.
//   - Everything else (handlers, Poll, OnTimer, the tables) runs on the comm
//     thread.  The accessors marked "parked" may be read by the controlling
//     thread only while the comm thread cannot be handling a message: after
//     Join, in the inline mode, or right after a synchronous call when
//     nothing else posts and the timers are manual.
//
// Ownership: CIpcComm owns its queue, its event, the node and rack records,
// every RackMsg on a port or in the delay queue, and every RackVersionSet it
// was posted, and every IoFtpRequest posted to it until it goes back with
// WM_DOC_FTP_DONE (lent to the UI thread meanwhile for its file reads and
// closes, CommFtp.h).  It does not own its ports (library, clock, identity, message
// box): they must outlive the comm thread.  A RackMsg posted to it comes
// back exactly once with WM_DOC_MSG_DONE to g_hFrameWnd; if that post fails
// (no frame any more) the message is freed instead.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CommFtp.h"
#include "CommLibrary.h"
#include "CommNodes.h"
#include "CommTables.h"
#include "MessageBox.h"
#include "autoevent.h"
#include "msgqueue.h"
#include "net/backend.h"
#include "platform/time/clock.h"

struct RackMsg;

// The comm thread's queue, set by the comm thread during its start-up and
// cleared when it has been joined.  Target of every WM_IPC_ post.
inline std::atomic<msgq::Handle> g_hCommWnd{};
// The main frame's queue, set by the frame before the comm thread starts.
// Target of every WM_DOC_ post.
inline std::atomic<msgq::Handle> g_hFrameWnd{};

// lParam of WM_IPC_RACK_VERSION_SET: the rack's number and its 16 version
// bytes.  Allocated by SetRackVersion, owned by the comm thread once posted.
struct RackVersionSet {
  uint32_t rack = 0;
  uint8_t bytes[kRackVersionBytes] = {};
};

class CIpcComm : private CommNodesHost, private CommFtpHost {
 public:
  // Bits of the flags.
  static constexpr uint32_t kFlagRunning = 0x1;
  static constexpr uint32_t kFlagShuttingDown = 0x2;
  // The 100 ms timer.
  static constexpr uintptr_t kTimerId = 1;
  static constexpr uint32_t kTimerPeriodMs = 100;
  // Passes of tick, despatch and event despatch per poll, at most.
  static constexpr int kMaxPollPasses = 30;
  // Posted messages handled one after another before a poll, at most.
  static constexpr int kMaxRunBeforePoll = 64;
  // Events delivered after one pass, at most: what the library's event
  // ring holds.
  static constexpr int kMaxEventsPerPass = 49;
  // Node type of this PC in the library's node table.
  static constexpr uint8_t kOwnNodeType = 20;

  // Where the comm thread's outside world comes from.  Null members take
  // the process's defaults: the IPC library, the system clock, the POSIX
  // network backend (own address: DROVANA_NET_ADDR, else the first
  // non-loopback interface address) and message boxes on standard error.
  struct Ports {
    CommLibrary* library = nullptr;
    platform::time::Clock* clock = nullptr;
    net::Backend* identity = nullptr;
    MessageBoxPort* messageBox = nullptr;
    // Manual: the 100 ms timer never fires by itself; tests fire it with
    // msgq::FireTimer(g_hCommWnd, kTimerId).
    msgq::TimerMode timerMode = msgq::TimerMode::Real;
  };

  CIpcComm();
  // Stops and joins the thread if it still runs, closes the network log,
  // then frees every record and every message it still holds.
  ~CIpcComm();
  CIpcComm(const CIpcComm&) = delete;
  CIpcComm& operator=(const CIpcComm&) = delete;

  // Before Start only.
  void SetPorts(const Ports& ports);

  // Reads the host name and own address, starts the comm thread and returns
  // once its start-up is complete (the library started, the timer running).
  // False when a thread is running already or could not be started.
  bool Start();
  // Ends the loop at once (after the messages already posted) and joins the
  // thread.  For start-up failures and program exit; the orderly way out is
  // WM_IPC_SHUTDOWN, then Join after WM_DOC_COMM_STOPPED.  Safe to repeat.
  void Stop();
  // Waits for the thread to end (the loop ends itself at the end of
  // shutdown), then returns every message still queued to it and closes its
  // queue.  True when a thread was joined.
  bool Join();
  // The loop runs: from Start until the loop has ended.
  bool IsThreadRunning() const { return m_bThreadRunning.load(); }

  // The loop without a thread, driven by the caller (tests, benchmarks):
  // StartInline does Start's steps and the thread's start-up on the calling
  // thread, which then owns the queue; Step polls once and handles at most
  // one waiting message (false when none waited); Pump steps until nothing
  // waits.  EndInline returns what is still queued and closes the queue.
  bool StartInline();
  bool Step();
  int Pump();
  void EndInline();

  // ---- synchronous calls (controlling thread) ----
  // Each posts its message and waits until the comm thread has handled it,
  // so the descriptor may live on the caller's stack and be reused at once.
  // They return at once (false) when the loop is not running, and false
  // when the loop ended before handling the message.
  bool CommLoadPhase(uint32_t flags);
  bool CommAddNode(const NodeDesc* desc);
  bool CommAddRack(const RackDesc* desc);

  // ---- comm thread ----
  void Poll();
  void Dispatch(const msgq::Msg& msg);
  void OnTimer();
  void OnShutdown();

  // ---- read by tests and reports (comm thread, or parked) ----
  uint32_t Flags() const { return m_nFlags.load(); }
  const std::string& HostName() const { return m_strHostName; }
  uint32_t OwnAddress() const { return m_nOwnAddress; }
  uint32_t TimerMessages() const { return m_nTimerMsgs.load(std::memory_order_relaxed); }
  uint32_t Polls() const { return m_nPolls.load(std::memory_order_relaxed); }
  uint32_t SocketMessages() const { return m_nSocketMsgs.load(std::memory_order_relaxed); }
  uint32_t LongestGapMs() const { return m_nLongestGap.load(std::memory_order_relaxed); }
  uint32_t NodesOnline() const { return m_nNodesOnline.load(std::memory_order_relaxed); }
  const NodeEntry* FindNode(uint32_t nodeId) const { return m_Nodes.FindNode(nodeId); }
  const RackEntry* FindRack(uint32_t rack) const { return m_Nodes.FindRack(rack); }
  size_t NodeCount() const { return m_Nodes.NodeCount(); }
  size_t RackCount() const { return m_Nodes.RackCount(); }
  // The node and rack tables (comm thread, or parked).
  CommNodes& Nodes() { return m_Nodes; }
  size_t DelayQueueLength() const;

 private:
  void ThreadProc();
  void MainLoop();
  void ReadHostIdentity();
  // What Start and StartInline both do first; false when already started.
  bool PrepareStart();
  void InitThread();
  void WriteCurrentTime();
  bool WaitForSync(uint32_t message, intptr_t lParam);
  void SyncDone();
  void DrainQueue();
  void FreeTables();

  // Message handlers (comm thread).
  void OnSendMsg(RackMsg* msg);
  void OnLoadLearn(RackMsg* msg, int phase);
  void OnDelayMsg(RackMsg* msg);
  void OnRackUp(uint32_t rack);
  void OnRackVersionSet(const RackVersionSet& version);
  void OnLoadPhase(uint32_t flags);
  void OnAddNode(const NodeDesc& desc);
  void OnAddRack(const RackDesc& desc);
  void OnDisconnectNode(uint32_t nodeId);
  void OnIoFtpRequest(IoFtpRequest* request);
  void OnIoFtpContinue(IoFtpRequest* request);
  void ForwardIoFtpResult(IoFtpRequest* request);
  void ReportNodes();
  void ReportNetStats();
  void ReportRacks();
  void ReportRackVersions();

  // Shutdown: the node's queued IO_FTP jobs go back with RC_FLUSHED.
  void FlushIoFtpQueue(NodeEntry* node);
  void RequestRackVersion(uint32_t rack);
  // CommNodesHost.  ReturnMsg posts the message back to the frame with
  // WM_DOC_MSG_DONE (frees it when that fails).
  void ReturnMsg(RackMsg* msg) override;
  void PostNodeStatus(bool online, uint32_t nodeId) override;
  // WM_DOC_RACK_EVENT (freed when the post fails), WM_DOC_RACK_STATUS, and
  // the rack-message layer's command 57 for the rack.
  void PostRackEvent(RackMsg* msg) override;
  void PostRackStatus(uint32_t rack) override;
  void SendSyncFaultEvents(uint32_t rack) override;
  bool ShuttingDown() const override { return (m_nFlags.load() & kFlagShuttingDown) != 0; }
  // CommFtpHost: posts to g_hFrameWnd.
  bool PostFtpToFrame(uint32_t message, IoFtpRequest* request) override;
  bool FtpShuttingDown() const override { return ShuttingDown(); }
  bool OnCommThread() const;

  NodeEntry* Node(uint32_t nodeId) { return m_Nodes.Node(nodeId); }
  RackEntry* Rack(uint32_t rack) { return m_Nodes.Rack(rack); }
  int64_t NowSeconds() const;

  Ports m_Ports;
  CommLibrary* m_pLib = nullptr;
  platform::time::Clock* m_pClock = nullptr;

  std::string m_strHostName;
  uint32_t m_nOwnAddress = 0;
  // The node and rack tables and the node state machine.
  CommNodes m_Nodes{DefaultCommLibrary(), *this};
  // The IO_FTP client over the same tables.
  CommFtp m_Ftp{DefaultCommLibrary(), m_Nodes, *this};
  std::atomic<uint32_t> m_nNodesOnline{0};
  std::atomic<uint32_t> m_nFlags{kFlagRunning};
  std::thread m_Thread;
  std::atomic<bool> m_bThreadRunning{false};
  bool m_bTimerSet = false;
  int64_t m_nStartMs = 0;
  std::atomic<uint32_t> m_nTimerMsgs{0};
  std::atomic<uint32_t> m_nPolls{0};
  std::atomic<uint32_t> m_nSocketMsgs{0};
  std::unique_ptr<msgq::Queue> m_pWindow;
  std::optional<int64_t> m_nLastPollMs;
  // The last thing the loop did was a poll (no message handled since).
  bool m_bPolledLast = false;
  // Messages handled since the last poll.
  int m_nRun = 0;
  // More posted messages wait: the poll that sends what they queue comes
  // after them (bounded by kMaxRunBeforePoll).
  bool PostsWaiting() const;
  std::atomic<uint32_t> m_nLongestGap{0};
  RackMsg* m_pDelayHead = nullptr;
  RackMsg* m_pDelayTail = nullptr;

  // The start-up handshake and the synchronous calls.
  std::unique_ptr<msgq::AutoResetEvent> m_pEvent;
  std::atomic<uint64_t> m_nSyncDone{0};
  bool m_bInline = false;
};

extern CIpcComm theIpcComm;

// ---- post functions (any thread; each returns whether the post was taken,
// and when it was not the caller keeps what it would have handed over) ----
bool PostToCommWnd(uint32_t message, uintptr_t wParam, intptr_t lParam);
bool PostIoFtpRequest(IoFtpRequest* request);
bool CommDisconnectNode(uint32_t nodeId);
// The UI thread's answer to a rack's fault synchronisation: the rack is up.
bool PostRackUp(uint32_t rack);
// Hands the rack's 16 version bytes (serial 8, software 6, hardware u16) to
// the comm thread, which writes them into its record and marks the version
// received.  An unknown rack is ignored there.
bool SetRackVersion(uint32_t rack, const uint8_t* versionBytes);
bool PostCommShutdown();
// The frame's handlers of WM_DOC_FTP_READ and WM_DOC_FTP_CLOSE (UI thread):
// read the job's next buffer / close its local file, then give the job
// back with WM_IPC_FTP_CONTINUE.  When the comm thread cannot take it any
// more the job goes to the frame with WM_DOC_FTP_DONE and RC_FLUSHED (or
// is deleted when that fails too).
void IoFtpReadBlock(IoFtpRequest* request);
void IoFtpCloseFile(IoFtpRequest* request);
// A lent job the UI thread will not serve (its frame has gone): its local
// file is closed and it is given back with RC_FLUSHED, as the handlers
// give a job back (to the comm thread, else to the frame, else deleted).
void IoFtpAbandonLent(IoFtpRequest* request);
// Installs the rack-message hand-off (SendRackMsg, PostLoadLearn,
// PostDelayMsg) onto g_hCommWnd.  Start does this.
void InstallRackMsgPoster();

// The synchronous calls on theIpcComm.
bool CommLoadPhase(uint32_t flags);
bool CommAddNode(const NodeDesc* desc);
bool CommAddRack(const RackDesc* desc);

// ---- the library's callbacks (comm thread, inside library calls) ----
// Logs every event of the log server:
// "IpcAssert: file: %s, line: %d, ErrCode: %d, Svr: %d, hTargetSvr: %d\n".
void IpcAssert(const IpcEvntHdr* evnt, intptr_t userValue);
// Watches each new socket of the library: WM_IPC_SOCKET to g_hCommWnd when
// it has a datagram, once per arrival, re-armed after each poll.
void CommSocketOpenHook(IpcSocket socket);
// The network log's hook; does nothing while no log is open.
void NetLogDebugHook(int direction, uint16_t length, const void* datagram);
