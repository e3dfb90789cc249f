// What the main frame asks of the front end that shows it, as small ports:
// the window, the notification-area icon, the login dialog, the clipboard
// and the file and About dialogs.  A headless server has none of them (null
// ports): the frame then keeps its rules and simply shows nothing.
//
// Threads: every port is called on the UI thread only.
// Ownership: the frame does not own its ports (they outlive it), except the
// login dialogs the factory makes, which the frame owns from creation until
// it has read them after WM_LOGIN_CLOSED.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "msgqueue.h"

class LogBuffer;

// The frame window with its log view.
class FrameWindowPort {
 public:
  virtual ~FrameWindowPort() = default;
  virtual void SetTitle(const std::string& title) = 0;
  // Whether the window has a task-bar button (none while it lives behind the
  // notification-area icon).
  virtual void SetTaskbarButton(bool shown) = 0;
  // The log view the window shows (it observes it); null when it goes.
  virtual void AttachLog(LogBuffer* view) = 0;
  // Shows the window restored (a minimised window comes back to its normal
  // size) and brings it to the foreground.
  virtual void ShowWindow() = 0;
  virtual void HideWindow() = 0;
  // Shown, whether minimised or not.
  virtual bool IsWindowVisible() const = 0;
  virtual bool IsWindowMinimised() const = 0;
  // The log view's own copy of its selection (Edit, Copy).
  virtual void CopySelection() = 0;
  // After Copy All the caret goes to the end of the log.
  virtual void MoveCaretToEnd() = 0;
  // The frame closes for real: the front end ends its event loop.
  virtual void CloseFrame() = 0;
};

// The one notification-area icon, and the small window that stands in for
// it while there is no notification area.
class TrayPort {
 public:
  virtual ~TrayPort() = default;
  // Whether a notification area exists now (one may come or go while the
  // program runs).
  virtual bool Available() const = 0;
  // Adds the icon, without a tip; a double-click on it is posted to `frame`
  // as WM_TRAY_NOTIFY (wParam kTrayIconId, lParam WM_LBUTTONDBLCLK).  False
  // when there is no notification area to add it to.
  virtual bool AddIcon(msgq::Handle frame) = 0;
  virtual void RemoveIcon() = 0;
  // A small window of its own in the icon's place: activating it posts to
  // `frame` what a double-click on the icon posts.  It cannot be closed,
  // only minimised, so that it stays a way back to the window.
  virtual void ShowStandIn(msgq::Handle frame) = 0;
  virtual void HideStandIn() = 0;
};

// A modeless login dialog.  Its OK and Cancel post WM_LOGIN_CLOSED to the
// frame (PostLoginClosed) and close the dialog's window; the frame then
// reads the fields and destroys the object.
class LoginDialogPort {
 public:
  virtual ~LoginDialogPort() = default;
  // Shows the dialog (restored when it was minimised) and brings it to the
  // foreground; also called again while it is open.
  virtual void Open() = 0;
  // OK closed it (the fields were taken); false for Cancel.
  virtual bool Accepted() const = 0;
  virtual std::string Name() const = 0;
  virtual std::string Password() const = 0;
};

class LoginDialogFactory {
 public:
  virtual ~LoginDialogFactory() = default;
  // A new dialog owned by the caller, whose closing is posted to `frame`.
  virtual std::unique_ptr<LoginDialogPort> CreateLoginDialog(msgq::Handle frame) = 0;
};

class ClipboardPort {
 public:
  virtual ~ClipboardPort() = default;
  virtual void SetText(const std::string& text) = 0;
};

class FrameDialogsPort {
 public:
  virtual ~FrameDialogsPort() = default;
  // A file-open dialog (hide read-only); the chosen path, or none for
  // Cancel.  filter: "Binary Files|*.bin|All files|*.*||".
  virtual std::optional<std::string> AskOpenFile(const std::string& defaultExt,
                                                 const std::string& defaultName,
                                                 const std::string& filter) = 0;
  // The About dialog, modal.
  virtual void ShowAbout(const std::string& longTitle, const std::string& version,
                         const std::string& builtOn) = 0;
};

// Posts WM_LOGIN_CLOSED (wParam 0, lParam 0) to the frame.
bool PostLoginClosed(msgq::Handle frame);
