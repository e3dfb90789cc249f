#include "Server.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "App.h"
#include "Comm.h"
#include "IpcComm.h"
#include "LogSink.h"

// ---- stop signals ----------------------------------------------------------------

StopSignals::StopSignals() {
  static_assert(sizeof oldMask_ >= sizeof(sigset_t));
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  auto* old = reinterpret_cast<sigset_t*>(oldMask_);
  masked_ = pthread_sigmask(SIG_BLOCK, &set, old) == 0;
  if (masked_) fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ >= 0) wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  // Without a watcher the signals stay waiting in the descriptor until the
  // loop comes; start-up is then as stoppable as it was.
  if (wake_ >= 0) watcher_ = std::thread([this] { Watch(); });
}

StopSignals::~StopSignals() {
  LoopTakesOver();
  if (wake_ >= 0) ::close(wake_);
  if (fd_ >= 0) ::close(fd_);
  if (masked_) pthread_sigmask(SIG_SETMASK, reinterpret_cast<sigset_t*>(oldMask_), nullptr);
}

void StopSignals::LoopTakesOver() {
  if (!watcher_.joinable()) return;
  const uint64_t one = 1;
  while (::write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
  }
  watcher_.join();
}

void StopSignals::Watch() {
  // The watcher only looks: the signal stays in the descriptor for the loop.
  pollfd fds[2] = {{wake_, POLLIN, 0}, {fd_, POLLIN, 0}};
  for (;;) {
    const int n = ::poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (fds[0].revents & POLLIN) != 0) return;
    if ((fds[1].revents & POLLIN) != 0) break;
  }
  // A stop during start-up: start-up has a moment to reach the loop.
  int n;
  do n = ::poll(fds, 1, kStartUpGraceMs);
  while (n < 0 && errno == EINTR);
  if (n > 0) return;
  static const char kText[] = "Stopped by a signal during start-up.\n";
  const ssize_t ignored = ::write(STDERR_FILENO, kText, sizeof kText - 1);
  (void)ignored;
  // Nothing of the start-up is kept or undone: the database is left as a
  // crash would leave it, which the next start deals with.
  ::_exit(1);
}

int StopSignals::Take() {
  if (fd_ < 0) return 0;
  int n = 0;
  signalfd_siginfo info;
  while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) ++n;
  return n;
}

// ---- the server ------------------------------------------------------------------

TKZServer::TKZServer(const FrontEnd& frontEnd) : m_FrontEnd(frontEnd) {
  if (m_FrontEnd.messageBox == nullptr) m_FrontEnd.messageBox = &m_StderrBox;
  FramePorts ports;
  ports.app = &theApp;
  ports.handlers = &m_Handlers;
  ports.messageBox = m_FrontEnd.messageBox;
  ports.window = m_FrontEnd.window;
  ports.tray = m_FrontEnd.tray;
  ports.login = m_FrontEnd.login;
  ports.clipboard = m_FrontEnd.clipboard;
  ports.dialogs = m_FrontEnd.dialogs;
  m_pFrame = std::make_unique<CMainFrame>(ports);
}

TKZServer::~TKZServer() { Finish(); }

bool TKZServer::Start(int argc, const char* const* argv) {
  MessageBoxPort* box = m_FrontEnd.messageBox;
  theApp.SetMessageBox(box);
  theApp.SetHeadless(m_FrontEnd.headless);
  theApp.SetCommandLine(argc, argv);
  CIpcComm::Ports comm;
  comm.messageBox = box;
  theIpcComm.SetPorts(comm);
  theComm.SetCommPort(&m_RackComm);
  theComm.SetDocPort(&m_DocRack);
  theComm.SetEventPort(&m_DocRack);
  theApp.SetDocumentFactory([this, box] { return MakeServerDocument(box, &m_DocComm); });
  theApp.SetFrame(m_pFrame.get());
  if (theApp.InitInstance()) return true;
  // The comm thread may run already when a later step failed.
  theIpcComm.Stop();
  m_pFrame->Destroy();
  theApp.SetFrame(nullptr);
  theApp.SetDocumentFactory(nullptr);
  theComm.SetCommPort(nullptr);
  theComm.SetDocPort(nullptr);
  theComm.SetEventPort(nullptr);
  theApp.SetMessageBox(nullptr);
  m_bFinished = true;
  return false;
}

void TKZServer::OnStopSignal() {
  CMainFrame& frame = *m_pFrame;
  if (frame.Closed()) return;
  ++m_nStopSignals;
  if (m_nStopSignals == 1 || !frame.ShuttingDown()) {
    frame.OnCommand(ID_APP_EXIT);
    return;
  }
  LogPrintf("Stopping communications at once.\n");
  m_bForced = true;
  theIpcComm.Stop();
  frame.OnCommStopped();
}

void TKZServer::OnStopSignals(int count) {
  for (int i = 0; i < count; ++i) OnStopSignal();
}

int TKZServer::Finish() {
  if (m_bFinished) return m_bForced ? 1 : 0;
  m_bFinished = true;
  // The loop has ended (or is ended now): whatever the comm thread still
  // held comes back to the frame's queue, which releases it.
  theIpcComm.Stop();
  m_pFrame->Destroy();
  theApp.SetFrame(nullptr);
  const int code = theApp.ExitInstance();
  theApp.SetDocumentFactory(nullptr);
  theComm.SetCommPort(nullptr);
  theComm.SetDocPort(nullptr);
  theComm.SetEventPort(nullptr);
  theApp.SetMessageBox(nullptr);
  return m_bForced ? 1 : code;
}

void RunHeadless(TKZServer& server, StopSignals& signals) {
  signals.LoopTakesOver();
  CMainFrame& frame = server.Frame();
  while (!frame.Closed()) {
    frame.PumpMessages();
    if (frame.Closed()) break;
    theApp.OnIdle(0);
    pollfd fds[2] = {{frame.QueueFd(), POLLIN, 0}, {signals.Fd(), POLLIN, 0}};
    const int n = ::poll(fds, signals.Fd() >= 0 ? 2 : 1, -1);
    if (n < 0 && errno != EINTR) break;
    if (n > 0 && (fds[1].revents & POLLIN) != 0) server.OnStopSignals(signals.Take());
  }
}
