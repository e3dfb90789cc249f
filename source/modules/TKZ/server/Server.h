// The server program put together, for whichever front end runs it: the
// application object, the main frame, the document on the comm thread, the
// stop signals, and the way out.
//
//   TKZServer server(frontEnd);
//   if (!server.Start(argc, argv)) return 1;
//   ... the front end's loop: server.Frame().PumpMessages() whenever
//       server.Frame().QueueFd() is readable, server.OnStopSignals() whenever
//       the StopSignals descriptor is, until server.Frame().Closed() ...
//   return server.Finish();
//
// Threads: the UI thread only (the thread that constructs it).
// Ownership: the server owns the frame, the comm ports and the routing of
// the frame's messages; it does not own the front end's ports.
#pragma once

#include <memory>
#include <optional>
#include <thread>

#include "CommRelayPort.h"
#include "DocRackPort.h"
#include "FrameHandlers.h"
#include "IpcCommPorts.h"
#include "MainFrame.h"
#include "MessageBox.h"

// SIGINT and SIGTERM as a descriptor: blocked for the calling thread and
// every thread it starts afterwards, and read from a signalfd.
//
// From construction until the front end's loop takes the descriptor over, a
// watcher thread stands in for the loop, so that a stop signal is honoured
// however long start-up takes: when start-up has not reached the loop
// within kStartUpGraceMs of the signal, the program says so on standard
// error and ends at once with status 1; when it gets there in time, the
// signal waits for the loop, which shuts down in order.
class StopSignals {
 public:
  static constexpr int kStartUpGraceMs = 2000;

  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  // Polls readable while a signal waits; -1 when none could be made.
  int Fd() const { return fd_; }
  // Reads every waiting signal; returns how many.
  int Take();
  // The front end's loop serves the descriptor from now on; the watcher
  // ends.  Called on the thread that constructed the object.
  void LoopTakesOver();

 private:
  void Watch();

  int fd_ = -1;
  int wake_ = -1;  // eventfd: readable once the loop has taken over
  bool masked_ = false;
  unsigned long long oldMask_[16] = {};
  std::thread watcher_;
};

class TKZServer {
 public:
  // What the front end offers; all null for a headless server.
  struct FrontEnd {
    bool headless = true;
    MessageBoxPort* messageBox = nullptr;  // standard error
    FrameWindowPort* window = nullptr;
    TrayPort* tray = nullptr;
    LoginDialogFactory* login = nullptr;
    ClipboardPort* clipboard = nullptr;
    FrameDialogsPort* dialogs = nullptr;
  };

  explicit TKZServer(const FrontEnd& frontEnd);
  ~TKZServer();
  TKZServer(const TKZServer&) = delete;
  TKZServer& operator=(const TKZServer&) = delete;

  // Start-up (settings, command line, frame, document, comm thread); false
  // when it ended (its message box has been shown) and the program ends
  // with status 1: the comm thread, if it was started, is stopped again.
  bool Start(int argc, const char* const* argv);
  CMainFrame& Frame() { return *m_pFrame; }

  // A stop signal: the first is File, Exit (the ordered shutdown); a further
  // one while the comm thread shuts down stops it at once and closes.
  void OnStopSignal();
  void OnStopSignals(int count);

  // After the loop: the comm thread joined, the frame destroyed, the
  // document closed, the settings written.  The exit status: 0, or 1 after
  // a forced stop.
  int Finish();

 private:
  FrontEnd m_FrontEnd;
  StreamMessageBox m_StderrBox{stderr};
  ServerFrameHandlers m_Handlers;
  IpcCommDocPort m_DocComm;
  IpcRackCommPort m_RackComm;
  DocRackPort m_DocRack;
  std::unique_ptr<CMainFrame> m_pFrame;
  int m_nStopSignals = 0;
  bool m_bForced = false;
  bool m_bFinished = false;
};

// The server's document on the given ports.
std::unique_ptr<CDocument> MakeServerDocument(MessageBoxPort* box, DocCommPort* comm);

// The headless loop: the frame's queue and the stop signals, until the
// frame has closed.
void RunHeadless(TKZServer& server, StopSignals& stopSignals);
