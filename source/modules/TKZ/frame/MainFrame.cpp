#include "MainFrame.h"

#include <cstdio>

#include "BuildStamp.h"
#include "DisplayFlags.h"
#include "IpcComm.h"
#include "LogBuffer.h"
#include "LogSink.h"
#include "RackMsg.h"
#include "ThreadMsgs.h"

namespace {

constexpr FrameMenuItem kMenu[] = {
    {"&File", "&Open Network Log", ID_FILE_OPEN_NETLOG, "Open Network log file", false},
    {"&File", "&Close Network Log", ID_FILE_CLOSE_NETLOG, "Close network log file", false},
    {"&File", "&Logout", ID_FILE_LOGOUT, "Close TKZ screen and logout", false},
    {"&File", "E&xit", ID_APP_EXIT, "Exit the application", false},
    {"&Edit", "Copy &All", ID_EDIT_COPY_ALL, "Copy entire output buffer to the clipboard.", false},
    {"&Edit", "&Copy", ID_EDIT_COPY, "Copies the selection to the clipboard", false},
    {"&Edit", "Clea&r", ID_EDIT_CLEAR, "Clear the Screen", false},
    {"&View", "&Who", ID_VIEW_WHO, "Display list of known Network Nodes", false},
    {"&View", "&Net Stats", ID_VIEW_NET_STATS, "Display Network status", false},
    {"&View", "&Rack Status", ID_VIEW_RACK_STATUS, "Display Rack Status", false},
    {"&View", "Rack &Version", ID_VIEW_RACK_VERSION,
     "Display rack's hardware and software version", false},
    {"&View", "&Schedule", ID_VIEW_SCHEDULE, "View pending & in process events", false},
    {"&Display", "&All", ID_DISPLAY_ALL, "Toggle Display of debug messages", true},
    {"&Display", "&Doc Layer", ID_DISPLAY_DOC, "View debug messages from Doc.cpp", true},
    {"&Display", "&Comm Layer", ID_DISPLAY_COMM, "View debug messages from Comm.cpp", true},
    {"&Display", "Comm &Faults", ID_DISPLAY_COMM_FAULTS, "View individual fault message data",
     true},
    {"&Display", "&IPC Comm Layer", ID_DISPLAY_IPC_COMM, "View debug messages from ipc_comm.cpp",
     true},
    {"&Display", "Di&rect Connect Debug", ID_DISPLAY_DIRECT_CONNECT,
     "View Direct Connection serial comms", true},
    {"&Display", "&Time Stamp", ID_DISPLAY_TIME_STAMP, "Add time stamp to log entries", true},
    {"&Display", "&Log to Disk", ID_DISPLAY_LOG_TO_DISK, "Copy screen output to disk file", true},
    {"&Help", "&About TKZ...", ID_APP_ABOUT,
     "Display program information, version number and copyright", false},
};

std::atomic<bool>* SwitchOf(uint32_t id) {
  switch (id) {
    case ID_DISPLAY_DOC: return &g_bDocDebug;
    case ID_DISPLAY_COMM: return &g_bCommDebug;
    case ID_DISPLAY_COMM_FAULTS: return &g_bCommFaults;
    case ID_DISPLAY_IPC_COMM: return &g_bIpcCommDebug;
    case ID_DISPLAY_DIRECT_CONNECT: return &g_bDirectConnectDebug;
    case ID_DISPLAY_TIME_STAMP: return &g_bTimeStampLog;
    case ID_DISPLAY_LOG_TO_DISK: return &g_bLogToDisk;
    default: return nullptr;
  }
}

bool AllDebugOn() {
  return g_bCommDebug.load() && g_bIpcCommDebug.load() && g_bDocDebug.load() &&
         g_bCommFaults.load();
}

// Report requests of the View menu: the comm thread prints them.
std::optional<uint32_t> ReportMessageOf(uint32_t id) {
  switch (id) {
    case ID_VIEW_WHO: return WM_IPC_NODE_LIST;
    case ID_VIEW_NET_STATS: return WM_IPC_NET_STATS;
    case ID_VIEW_RACK_STATUS: return WM_IPC_RACK_TABLE;
    case ID_VIEW_RACK_VERSION: return WM_IPC_RACK_VERSIONS;
    default: return std::nullopt;
  }
}

void Wipe(std::string& s) {
  volatile char* p = s.data();
  for (size_t i = 0; i < s.size(); ++i) p[i] = 0;
  s.clear();
}

}  // namespace

std::span<const FrameMenuItem> FrameMenu() { return kMenu; }

bool PostLoginClosed(msgq::Handle frame) {
  return msgq::PostMessage(frame, WM_LOGIN_CLOSED, 0, 0);
}

CMainFrame::CMainFrame(const FramePorts& ports) : m_Ports(ports) {}

CMainFrame::~CMainFrame() { Destroy(); }

CApp& CMainFrame::App() const { return m_Ports.app != nullptr ? *m_Ports.app : theApp; }

void CMainFrame::ShowMessage(const std::string& text) {
  StreamMessageBox fallback(stderr);
  MessageBoxPort& box =
      m_Ports.messageBox != nullptr ? *m_Ports.messageBox : static_cast<MessageBoxPort&>(fallback);
  box.Show(text, MessageBoxPort::Icon::kStop);
}

// ---- creation and destruction ------------------------------------------------

bool CMainFrame::Create() {
  if (m_pQueue) return true;
  m_pQueue = std::make_unique<msgq::Queue>(m_Ports.timerMode);
  const msgq::Handle h = m_pQueue->handle();
  if (!h) {
    m_pQueue.reset();
    ShowMessage("Error: The main frame could not be created.");
    return false;
  }
  m_bDestroyed = false;
  if (g_bInSysTray.load() && m_Ports.tray != nullptr) {
    m_bTrayIcon = m_Ports.tray->AddIcon(h);
    if (!m_bTrayIcon) {
      m_Ports.tray->ShowStandIn(h);
      m_bStandIn = true;
    }
  }
  if (m_Ports.window != nullptr) {
    m_Ports.window->SetTaskbarButton(!g_bInSysTray.load());
    m_Ports.window->SetTitle(g_strWindowTitle);
    m_Ports.window->AttachLog(g_pLogView.load());
  }
  if (msgq::SetTimer(h, kFrameTimerId, kFrameTimerPeriodMs))
    m_nTimerId = static_cast<uint32_t>(kFrameTimerId);
  g_hFrameWnd.store(h);
  // Lines queued by other threads reach the log view through this queue.
  if (LogBuffer* view = g_pLogView.load())
    view->SetDrainPoster([h] { return msgq::PostMessage(h, WM_LOG_DRAIN, 0, 0); });
  return true;
}

void CMainFrame::ShowAtStart(bool show) {
  if (show) {
    ShowFrame();
    return;
  }
  HideFrame();
  if (LoginStandsInForIcon())
    LogPrintf("The notification-area icon could not be added; showing the login.\n");
  OfferLoginWithoutIcon();
}

bool CMainFrame::LoginStandsInForIcon() const {
  return g_bInSysTray.load() && !m_bTrayIcon && m_Ports.login != nullptr && m_Ports.window != nullptr &&
         !m_bClosed;
}

void CMainFrame::OfferLoginWithoutIcon() {
  // Hidden with no icon to double-click: the login dialog stands in for the
  // icon, so that the operator can still reach the window.
  if (LoginStandsInForIcon()) OpenLoginDialog();
}

void CMainFrame::OpenLoginDialog() {
  if (m_Ports.login == nullptr || !m_pQueue) return;
  // At most one dialog: an open one only comes to the front again (it may
  // be minimised or behind other windows).
  if (m_pLoginDlg == nullptr) m_pLoginDlg = m_Ports.login->CreateLoginDialog(Handle());
  if (m_pLoginDlg) m_pLoginDlg->Open();
}

void CMainFrame::PlaceTrayIcon() {
  TrayPort* tray = m_Ports.tray;
  if (!g_bInSysTray.load() || tray == nullptr || !m_pQueue || m_bClosed) return;
  const bool available = tray->Available();
  if (!m_bTrayIcon && available) {
    m_bTrayIcon = tray->AddIcon(Handle());
    if (m_bTrayIcon) {
      if (m_bStandIn) tray->HideStandIn();
      m_bStandIn = false;
      LogPrintf("The notification-area icon was added.\n");
    }
  } else if (m_bTrayIcon && !available) {
    tray->RemoveIcon();
    m_bTrayIcon = false;
    LogPrintf("The notification area went away; a small window stands in for its icon.\n");
  }
  if (!m_bTrayIcon && !m_bStandIn) {
    tray->ShowStandIn(Handle());
    m_bStandIn = true;
  }
}

void CMainFrame::Destroy() {
  if (m_bDestroyed || !m_pQueue) return;
  m_bDestroyed = true;
  const msgq::Handle h = m_pQueue->handle();
  if (m_nTimerId != 0) {
    msgq::KillTimer(h, kFrameTimerId);
    m_nTimerId = 0;
  }
  if (m_bTrayIcon && m_Ports.tray != nullptr) m_Ports.tray->RemoveIcon();
  if (m_bStandIn && m_Ports.tray != nullptr) m_Ports.tray->HideStandIn();
  m_bTrayIcon = false;
  m_bStandIn = false;
  m_pLoginDlg.reset();
  if (m_Ports.window != nullptr) m_Ports.window->AttachLog(nullptr);
  if (LogBuffer* view = g_pLogView.load()) {
    view->SetDrainPoster(nullptr);
    view->OnDrainQueue();
  }
  msgq::Handle expected = h;
  g_hFrameWnd.compare_exchange_strong(expected, msgq::Handle{});
  ReleaseQueued();
  m_pQueue.reset();
}

void CMainFrame::ReleaseQueued() {
  // Nothing runs any more: what the UI thread owns is freed, the log lines
  // still reach the log.
  msgq::Msg msg;
  while (msgq::PeekMessage(m_pQueue->handle(), &msg)) {
    switch (msg.message) {
      case WM_DOC_MSG_DONE:
      case WM_DOC_RACK_EVENT:
        FreeRackMsg(reinterpret_cast<RackMsg*>(msg.lParam));
        break;
      case WM_DOC_FTP_DONE:
        if (msg.lParam != 0 && m_Ports.handlers != nullptr)
          m_Ports.handlers->DiscardFtpRequest(reinterpret_cast<IoFtpRequest*>(msg.lParam));
        break;
      case WM_DOC_FTP_READ:
      case WM_DOC_FTP_CLOSE:
        // Lent to this thread: it goes back to the comm thread, or ends.
        if (msg.lParam != 0 && m_Ports.handlers != nullptr)
          m_Ports.handlers->ReturnLentFtpRequest(reinterpret_cast<IoFtpRequest*>(msg.lParam));
        break;
      case WM_LOG_DRAIN:
        if (LogBuffer* view = g_pLogView.load()) view->OnDrainQueue();
        break;
      default:
        break;
    }
  }
}

msgq::Handle CMainFrame::Handle() const { return m_pQueue ? m_pQueue->handle() : msgq::Handle{}; }

int CMainFrame::QueueFd() const { return m_pQueue ? m_pQueue->pollFd() : -1; }

int CMainFrame::PumpMessages() {
  int n = 0;
  msgq::Msg msg;
  while (m_pQueue && !m_bClosed && msgq::PeekMessage(m_pQueue->handle(), &msg)) {
    Dispatch(msg);
    ++n;
  }
  return n;
}

// ---- the message map -------------------------------------------------------------

void CMainFrame::Dispatch(const msgq::Msg& msg) {
  FrameHandlers* h = m_Ports.handlers;
  const intptr_t l = msg.lParam;
  switch (msg.message) {
    case WM_DOC_COMM_STOPPED:
      OnCommStopped();
      break;
    case WM_DOC_MSG_DONE:
      if (l != 0) h->OnMsgDone(reinterpret_cast<RackMsg*>(l));
      break;
    case WM_DOC_FTP_DONE:
      if (l != 0) h->OnFtpDone(reinterpret_cast<IoFtpRequest*>(l));
      break;
    case WM_DOC_FTP_READ:
      if (l != 0) h->OnFtpRead(reinterpret_cast<IoFtpRequest*>(l));
      break;
    case WM_DOC_FTP_CLOSE:
      if (l != 0) h->OnFtpClose(reinterpret_cast<IoFtpRequest*>(l));
      break;
    case WM_DOC_RACK_EVENT:
      if (l != 0) h->OnRackEvent(reinterpret_cast<RackMsg*>(l));
      break;
    case WM_DOC_NODE_STATUS:
      h->OnNodeStatus(static_cast<uint32_t>(l), msg.wParam != 0);
      break;
    case WM_DOC_RACK_STATUS:
      h->OnRackStatus(static_cast<uint32_t>(l), msg.wParam != 0);
      break;
    case WM_TRAY_NOTIFY:
      OnTrayNotify(msg.wParam, l);
      break;
    case WM_LOGIN_CLOSED:
      OnLoginClosed();
      break;
    case msgq::WM_TIMER:
      OnTimer(msg.wParam);
      break;
    case WM_LOG_DRAIN:
      if (LogBuffer* view = g_pLogView.load()) view->OnDrainQueue();
      break;
    case WM_FRAME_CLOSE:
      OnClose();
      break;
    case WM_FRAME_COMMAND:
      OnCommand(static_cast<uint32_t>(msg.wParam));
      break;
    default:
      break;
  }
}

void CMainFrame::OnTimer(uintptr_t timerId) {
  if (m_bClosed) return;
  if (timerId == kFrameTimerId) PlaceTrayIcon();
  // The log writes the counts of folded lines whose interval has ended.
  if (LogBuffer* view = g_pLogView.load()) view->OnTimer();
  App().OnTimerTick(static_cast<uint32_t>(timerId));
}

// ---- window, icon and login ------------------------------------------------------

bool CMainFrame::WindowVisible() const {
  // A minimised window is out of sight (in tray mode it has no task-bar
  // button either): it counts as hidden, and showing it restores it.
  return m_Ports.window != nullptr && m_Ports.window->IsWindowVisible() &&
         !m_Ports.window->IsWindowMinimised();
}

void CMainFrame::ShowFrame() {
  if (m_Ports.window != nullptr) m_Ports.window->ShowWindow();
}

void CMainFrame::HideFrame() {
  if (m_Ports.window != nullptr) m_Ports.window->HideWindow();
}

void CMainFrame::OnTrayNotify(uintptr_t iconId, intptr_t mouseMessage) {
  if (iconId != kTrayIconId || mouseMessage != static_cast<intptr_t>(WM_LBUTTONDBLCLK)) return;
  if (m_bClosed) return;
  if (WindowVisible()) {
    g_bWindowShown = false;
    HideFrame();
  } else if (g_bLoggedIn) {
    g_bWindowShown = true;
    ShowFrame();
  } else {
    OpenLoginDialog();
  }
}

void CMainFrame::OnLoginClosed() {
  // The dialog goes in any case; a stray message without one does nothing.
  std::unique_ptr<LoginDialogPort> dialog = std::move(m_pLoginDlg);
  if (!dialog) return;
  // Cancel is no login attempt.
  if (!dialog->Accepted()) return;
  std::string name = dialog->Name();
  std::string password = dialog->Password();
  dialog.reset();
  const bool ok = m_Ports.checkLogin ? m_Ports.checkLogin(name, password) : DbLogin(name, password);
  Wipe(password);
  if (ok) {
    g_bLoggedIn = true;
    g_bWindowShown = true;
    ShowFrame();
  } else {
    ShowMessage("Login failed.");
    // Without an icon to double-click the dialog is the only way in: it
    // comes back after a failed attempt (not after Cancel).
    OfferLoginWithoutIcon();
  }
}

// ---- closing ---------------------------------------------------------------------

void CMainFrame::OnClose() {
  if (m_bClosed) return;
  if (g_bInSysTray.load() && !m_bExiting) {
    g_bWindowShown = false;
    HideFrame();
    OfferLoginWithoutIcon();
    return;
  }
  if (m_bShutdownPosted) return;  // already waiting for the comm thread
  if (PostCommShutdown()) {
    m_bShutdownPosted = true;
    return;
  }
  // No comm thread to wait for: close now rather than never.
  LogPrintf("No communications to shut down; closing.\n");
  CloseForReal();
}

void CMainFrame::OnCommStopped() { CloseForReal(); }

void CMainFrame::CloseForReal() {
  if (m_bClosed) return;
  m_bClosed = true;
  if (m_nTimerId != 0 && m_pQueue) {
    msgq::KillTimer(m_pQueue->handle(), kFrameTimerId);
    m_nTimerId = 0;
  }
  if (m_pQueue) msgq::PostQuitMessage(m_pQueue->handle(), 0);
  if (m_Ports.window != nullptr) m_Ports.window->CloseFrame();
}

// ---- commands ----------------------------------------------------------------------

CommandState CMainFrame::QueryCommand(uint32_t id) const {
  CommandState s;
  if (std::atomic<bool>* flag = SwitchOf(id)) {
    s.checked = flag->load();
    return s;
  }
  switch (id) {
    case ID_DISPLAY_ALL:
      s.checked = AllDebugOn();
      break;
    case ID_FILE_OPEN_NETLOG:
      s.enabled = m_Ports.dialogs != nullptr;
      break;
    case ID_FILE_CLOSE_NETLOG:
      s.enabled = m_bNetLogOpen;
      break;
    case ID_FILE_LOGOUT:
      s.enabled = g_bInSysTray.load();
      break;
    case ID_EDIT_COPY_ALL:
      s.enabled = m_Ports.clipboard != nullptr;
      break;
    case ID_EDIT_COPY:
      s.enabled = m_Ports.window != nullptr;
      break;
    case ID_APP_ABOUT:
      s.enabled = m_Ports.dialogs != nullptr;
      break;
    default:
      break;
  }
  return s;
}

void CMainFrame::ToggleAll() {
  const bool on = !AllDebugOn();
  for (std::atomic<bool>* f :
       {&g_bCommDebug, &g_bIpcCommDebug, &g_bDocDebug, &g_bCommFaults, &g_bDirectConnectDebug})
    f->store(on);
}

void CMainFrame::OpenNetLog() {
  if (m_Ports.dialogs == nullptr) return;
  const std::optional<std::string> path =
      m_Ports.dialogs->AskOpenFile("bin", "net.bin", "Binary Files|*.bin|All files|*.*||");
  if (!path) return;
  m_Ports.handlers->CloseNetLog();
  m_bNetLogOpen = false;
  m_bNetLogOpen = m_Ports.handlers->OpenNetLog(*path);
}

void CMainFrame::OnCommand(uint32_t id) {
  if (m_bClosed) return;
  if (!QueryCommand(id).enabled) return;
  if (std::atomic<bool>* flag = SwitchOf(id)) {
    const bool on = !flag->load();
    flag->store(on);
    if (id == ID_DISPLAY_LOG_TO_DISK) SetLogToDisk(on);
    return;
  }
  if (const std::optional<uint32_t> report = ReportMessageOf(id)) {
    PostToCommWnd(*report, 0, 0);
    return;
  }
  LogBuffer* view = g_pLogView.load();
  switch (id) {
    case ID_FILE_OPEN_NETLOG:
      OpenNetLog();
      break;
    case ID_FILE_CLOSE_NETLOG:
      m_Ports.handlers->CloseNetLog();
      m_bNetLogOpen = false;
      break;
    case ID_FILE_LOGOUT:
      g_bLoggedIn = false;
      g_bWindowShown = false;
      HideFrame();
      OfferLoginWithoutIcon();
      break;
    case ID_APP_EXIT:
      m_bExiting = true;
      OnClose();
      m_bExiting = false;
      break;
    case ID_EDIT_COPY_ALL:
      if (view != nullptr && m_Ports.clipboard != nullptr) {
        m_Ports.clipboard->SetText(view->CopyAllText());
        if (m_Ports.window != nullptr) m_Ports.window->MoveCaretToEnd();
      }
      break;
    case ID_EDIT_COPY:
      if (m_Ports.window != nullptr) m_Ports.window->CopySelection();
      break;
    case ID_EDIT_CLEAR:
      if (view != nullptr) view->Clear();
      break;
    case ID_VIEW_SCHEDULE:
      m_Ports.handlers->ReportSchedule();
      break;
    case ID_DISPLAY_ALL:
      ToggleAll();
      break;
    case ID_APP_ABOUT:
      m_Ports.dialogs->ShowAbout(g_strLongTitle, kVersionText,
                                 std::string("Built on: ") + kBuildDate);
      break;
    default:
      break;
  }
}
