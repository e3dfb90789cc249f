// The Qt 6 Widgets front end of the server: the frame window with its log
// view and menus, the notification-area icon and its stand-in window, the
// login dialog and the message boxes.  Each implements a port of
// FramePorts.h; no rule of the frame lives here (CMainFrame holds them all,
// LogViewFollow where the log view scrolls).
//
// Threads: the UI thread (the Qt GUI thread) only.
// Ownership: the window observes the log view it is given until it is
// given null; it does not own the frame.  Dialogs made by the factory are
// owned by the frame.
#pragma once

#include <QDialog>
#include <QMainWindow>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <memory>
#include <vector>

#include "FramePorts.h"
#include "LogBuffer.h"
#include "LogViewFollow.h"
#include "MessageBox.h"

class CMainFrame;
class QAction;
class QLineEdit;
class QMenu;
class QPlainTextEdit;

class QtFrameWindow final : public QMainWindow,
                            public FrameWindowPort,
                            public ClipboardPort,
                            public FrameDialogsPort,
                            private LogBuffer::Observer,
                            private LogScrollPort {
 public:
  QtFrameWindow();
  ~QtFrameWindow() override;

  // The frame whose commands the menus carry (before it is created).
  void SetFrame(CMainFrame* frame) { frame_ = frame; }
  QPlainTextEdit* LogWidget() const { return log_; }
  // The menu action of a command, or null.
  QAction* Action(uint32_t id) const;

  // FrameWindowPort
  void SetTitle(const std::string& title) override;
  void SetTaskbarButton(bool shown) override;
  void AttachLog(LogBuffer* view) override;
  void ShowWindow() override;
  void HideWindow() override;
  bool IsWindowVisible() const override;
  bool IsWindowMinimised() const override;
  void CopySelection() override;
  void MoveCaretToEnd() override;
  void CloseFrame() override;
  // ClipboardPort
  void SetText(const std::string& text) override;
  // FrameDialogsPort
  std::optional<std::string> AskOpenFile(const std::string& defaultExt,
                                         const std::string& defaultName,
                                         const std::string& filter) override;
  void ShowAbout(const std::string& longTitle, const std::string& version,
                 const std::string& builtOn) override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // LogBuffer::Observer
  void OnText(std::string_view text) override;
  void OnRemoveOldestLine() override;
  void OnClear() override;
  // LogScrollPort
  bool AtEnd() const override;
  bool HasSelection() const override;
  int FirstVisibleLine() const override;
  void ScrollToLine(int line) override;
  void ScrollToEnd() override;

  void BuildMenus();
  void UpdateMenu(QMenu* menu);

  CMainFrame* frame_ = nullptr;
  LogBuffer* view_ = nullptr;
  QPlainTextEdit* log_ = nullptr;
  std::vector<std::pair<uint32_t, QAction*>> actions_;
  LogViewFollow follow_{*this};
  bool closing_ = false;
};

// The notification-area icon.  Besides the double-click it carries a
// context menu whose one item posts what a double-click posts: tray hosts
// that speak the StatusNotifierItem protocol report a click but never a
// double-click, and there the menu is the way to the login.  Its stand-in
// is a small window with the program's icon and a button with that item's
// caption; its close box only minimises it.
class QtTray final : public TrayPort {
 public:
  QtTray();
  ~QtTray() override;
  bool Available() const override;
  bool AddIcon(msgq::Handle frame) override;
  void RemoveIcon() override;
  void ShowStandIn(msgq::Handle frame) override;
  void HideStandIn() override;
  QSystemTrayIcon* Icon() const { return icon_.get(); }
  QMenu* Menu() const { return menu_.get(); }
  QWidget* StandIn() const { return standIn_.get(); }

 private:
  msgq::Handle iconFrame_{};
  msgq::Handle standInFrame_{};
  std::unique_ptr<QMenu> menu_;
  std::unique_ptr<QSystemTrayIcon> icon_;
  std::unique_ptr<QWidget> standIn_;
};

class QtLoginDialog final : public QDialog, public LoginDialogPort {
 public:
  explicit QtLoginDialog(msgq::Handle frame);
  void Open() override;
  bool Accepted() const override { return accepted_; }
  std::string Name() const override { return name_; }
  std::string Password() const override { return password_; }

 private:
  void Finish(bool ok);

  msgq::Handle frame_;
  QLineEdit* nameEdit_ = nullptr;
  QLineEdit* passwordEdit_ = nullptr;
  bool accepted_ = false;
  bool finished_ = false;
  std::string name_, password_;
};

class QtLoginFactory final : public LoginDialogFactory {
 public:
  std::unique_ptr<LoginDialogPort> CreateLoginDialog(msgq::Handle frame) override {
    return std::make_unique<QtLoginDialog>(frame);
  }
};

class QtMessageBox final : public MessageBoxPort {
 public:
  void Show(const std::string& text, Icon icon) override;
  // The box that Show runs, not yet shown.
  static std::unique_ptr<QMessageBox> Make(const std::string& text, Icon icon);
};
