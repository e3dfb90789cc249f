// CMainFrame: the server's main frame, without a toolkit.  It owns the UI
// thread's message queue (g_hFrameWnd) and its one-second timer, which
// drives every periodic job of the UI thread through theApp's timer
// callbacks; it hands each WM_DOC_ message of the comm thread to its
// handler, carries the menu commands, the notification-area icon and the
// operator login, and closes in order: a close request asks the comm thread
// to shut down, and the frame closes for real only when the comm thread
// reports WM_DOC_COMM_STOPPED.
//
// With "InSysTray" the frame lives hidden behind its notification-area icon:
// a double-click opens a login dialog, and the window is shown only after a
// workgroup user of the group "Administrators" has logged in (DbLogin).  A
// minimised window counts as hidden.  While there is no notification area a
// small stand-in window takes the icon's place; the one-second timer looks
// for a notification area and moves the icon there when one appears (and
// back to the stand-in when it goes).
//
// The front end (Qt window, or nothing when headless) implements the ports
// of FramePorts.h and services the frame's queue from its event loop:
// PumpMessages() whenever QueueFd() polls readable, or GetMessage on
// Handle() and Dispatch.
//
// Threads: the UI thread only; the comm thread reaches the frame only by
// posting to g_hFrameWnd.
// Ownership: the frame owns its queue, its timer and the open login dialog;
// it does not own its ports, the application or the log view.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "App.h"
#include "FrameHandlers.h"
#include "FramePorts.h"
#include "MessageBox.h"
#include "msgqueue.h"

// Messages of the frame (the toolkit's own ids where it has them).
inline constexpr uint32_t WM_FRAME_CLOSE = 0x0010;    // the close box / a close request
inline constexpr uint32_t WM_FRAME_COMMAND = 0x0111;  // a menu command, wParam its id
inline constexpr uint32_t WM_LBUTTONDBLCLK = 0x0203;
inline constexpr uint32_t WM_TRAY_NOTIFY = 0x8009;    // wParam icon id, lParam mouse message
inline constexpr uint32_t WM_LOGIN_CLOSED = 0x800A;
inline constexpr uintptr_t kTrayIconId = 128;
inline constexpr uintptr_t kFrameTimerId = 1;
inline constexpr uint32_t kFrameTimerPeriodMs = 1000;

// Menu commands.
enum FrameCommand : uint32_t {
  ID_VIEW_WHO = 32771,
  ID_FILE_OPEN_NETLOG = 32773,
  ID_FILE_CLOSE_NETLOG = 32774,
  ID_VIEW_NET_STATS = 32776,
  ID_VIEW_RACK_STATUS = 32777,
  ID_DISPLAY_ALL = 32778,
  ID_EDIT_CLEAR = 32779,
  ID_VIEW_RACK_VERSION = 32780,
  ID_EDIT_COPY_ALL = 32781,
  ID_DISPLAY_DOC = 32783,
  ID_DISPLAY_COMM = 32784,
  ID_DISPLAY_IPC_COMM = 32785,
  ID_VIEW_SCHEDULE = 32786,
  ID_APP_EXIT = 32787,
  ID_FILE_LOGOUT = 32788,
  ID_DISPLAY_TIME_STAMP = 32789,
  ID_DISPLAY_LOG_TO_DISK = 32790,
  ID_DISPLAY_DIRECT_CONNECT = 32791,
  ID_DISPLAY_COMM_FAULTS = 32792,
  ID_EDIT_COPY = 57634,
  ID_APP_ABOUT = 57664,
};

// One item of menu 128, in menu order: the front end builds its menus from
// this table.
struct FrameMenuItem {
  const char* menu;     // "&File", "&Edit", "&View", "&Display", "&Help"
  const char* caption;  // with its '&' mnemonic
  uint32_t id;
  const char* prompt;   // status-bar prompt
  bool checkable;
};
std::span<const FrameMenuItem> FrameMenu();

struct CommandState {
  bool enabled = true;
  bool checked = false;
};

// The operator login against the workgroup: a temporary workspace for the
// name and password; true when the user is a member of "Administrators"
// (exact case).  Logs its steps with the Doc Layer switch on.  The first
// form uses the site's workgroup file (g_strWorkgroupFile).
bool DbLogin(const std::string& name, const std::string& password);
bool DbLogin(const std::string& workgroupFile, const std::string& name,
             const std::string& password);

struct FramePorts {
  CApp* app = nullptr;                   // theApp
  FrameHandlers* handlers = nullptr;     // required
  MessageBoxPort* messageBox = nullptr;  // standard error
  FrameWindowPort* window = nullptr;     // none: headless
  TrayPort* tray = nullptr;
  LoginDialogFactory* login = nullptr;
  ClipboardPort* clipboard = nullptr;
  FrameDialogsPort* dialogs = nullptr;
  // The login check; empty: DbLogin on the site's workgroup.
  std::function<bool(const std::string& name, const std::string& password)> checkLogin;
  // Manual: the one-second timer fires only through msgq::FireTimer.
  msgq::TimerMode timerMode = msgq::TimerMode::Real;
};

class CMainFrame final : public AppFrame {
 public:
  explicit CMainFrame(const FramePorts& ports);
  ~CMainFrame() override;
  CMainFrame(const CMainFrame&) = delete;
  CMainFrame& operator=(const CMainFrame&) = delete;

  // ---- AppFrame (start-up) ----
  // Creation: the queue (g_hFrameWnd), the notification-area icon with
  // InSysTray, the title, the one-second timer, the log view's drain
  // message.  False when the queue cannot be made.
  bool Create() override;
  // Shown at the end of start-up, or left hidden with InSysTray.
  void ShowAtStart(bool show) override;

  // Destruction: timer killed, icon removed, g_hFrameWnd cleared; what is
  // still queued is released (returned rack messages freed).  Idempotent.
  void Destroy();

  // ---- the queue ----
  msgq::Handle Handle() const;
  // Polls readable while messages may wait (for a foreign event loop).
  int QueueFd() const;
  // Handles everything waiting now; returns how many messages.
  int PumpMessages();
  void Dispatch(const msgq::Msg& msg);

  // ---- handlers (also reachable by posting their messages) ----
  void OnTimer(uintptr_t timerId);
  void OnTrayNotify(uintptr_t iconId, intptr_t mouseMessage);
  void OnLoginClosed();
  // The close box: hides with InSysTray (unless exiting), else starts the
  // ordered shutdown.
  void OnClose();
  void OnCommand(uint32_t id);
  CommandState QueryCommand(uint32_t id) const;
  void OnCommStopped();

  // ---- state ----
  uint32_t TimerId() const { return m_nTimerId; }
  bool NetLogOpen() const { return m_bNetLogOpen; }
  bool LoginDialogOpen() const { return m_pLoginDlg != nullptr; }
  bool TrayIconShown() const { return m_bTrayIcon; }
  bool StandInShown() const { return m_bStandIn; }
  // WM_IPC_SHUTDOWN was posted; the frame waits for WM_DOC_COMM_STOPPED.
  bool ShuttingDown() const { return m_bShutdownPosted; }
  // The frame has closed for real; the front end's loop ends.
  bool Closed() const { return m_bClosed; }

 private:
  CApp& App() const;
  void ShowMessage(const std::string& text);
  bool WindowVisible() const;
  void OpenLoginDialog();
  // With InSysTray but no notification-area icon, a hidden frame offers the
  // login dialog in the icon's place.
  bool LoginStandsInForIcon() const;
  void OfferLoginWithoutIcon();
  // Icon or stand-in, whichever the notification area allows now.
  void PlaceTrayIcon();
  void ShowFrame();
  void HideFrame();
  void ToggleAll();
  void OpenNetLog();
  void CloseForReal();
  void ReleaseQueued();

  FramePorts m_Ports;
  std::unique_ptr<msgq::Queue> m_pQueue;
  uint32_t m_nTimerId = 0;
  bool m_bNetLogOpen = false;
  bool m_bTrayIcon = false;
  bool m_bStandIn = false;
  bool m_bExiting = false;
  std::unique_ptr<LoginDialogPort> m_pLoginDlg;
  bool m_bShutdownPosted = false;
  bool m_bClosed = false;
  bool m_bDestroyed = false;
};
