// A main frame on the Qt front end (its window, tray icon and stand-in,
// login dialog), with a manual timer and a fake comm-thread queue, for the
// front end's tests.  Create the QApplication before the rig.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <memory>
#include <string>
#include <vector>

#include "DisplayFlags.h"
#include "IpcComm.h"
#include "LogBuffer.h"
#include "MainFrame.h"
#include "MessageIds.h"
#include "QtFrontEnd.h"
#include "TestSupport.h"
#include "platform/time/fake_clock.h"

struct NoFrameHandlers final : FrameHandlers {
  void OnMsgDone(RackMsg*) override {}
  void OnFtpDone(IoFtpRequest*) override {}
  void OnFtpRead(IoFtpRequest*) override {}
  void OnFtpClose(IoFtpRequest*) override {}
  void OnRackEvent(RackMsg*) override {}
  void OnNodeStatus(uint32_t, bool) override {}
  void OnRackStatus(uint32_t, bool) override {}
  void ReportSchedule() override {}
  bool OpenNetLog(const std::string&) override { return false; }
  void CloseNetLog() override {}
  void DiscardFtpRequest(IoFtpRequest*) override {}
  void ReturnLentFtpRequest(IoFtpRequest*) override {}
};

class QtFrameRig {
 public:
  QtFrameRig() : log_(clock_, dir_.path()) {
    g_bTimeStampLog = false;
    g_bLoggedIn = false;
    g_hCommWnd.store(comm_.handle());
  }
  ~QtFrameRig() {
    if (frame_) frame_->Destroy();
    g_hCommWnd.store(msgq::Handle{});
    g_bLoggedIn = false;
  }

  // The frame, created and shown as at the end of start-up.  Only "admin"
  // with "demo" logs in.
  CMainFrame& Make(bool inSysTray) {
    g_bInSysTray = inSysTray;
    FramePorts p;
    p.app = &app_;
    p.handlers = &handlers_;
    p.messageBox = &boxes_;
    p.window = &window_;
    p.tray = &tray_;
    p.login = &login_;
    p.clipboard = &window_;
    p.dialogs = &window_;
    p.checkLogin = [](const std::string& n, const std::string& pw) {
      return n == "admin" && pw == "demo";
    };
    p.timerMode = msgq::TimerMode::Manual;
    frame_ = std::make_unique<CMainFrame>(p);
    window_.SetFrame(frame_.get());
    EXPECT_TRUE(frame_->Create());
    frame_->ShowAtStart(!inSysTray);
    QCoreApplication::processEvents();
    return *frame_;
  }
  // What the event loop does when the frame's queue polls readable.
  void Service() {
    QCoreApplication::processEvents();
    frame_->PumpMessages();
    QCoreApplication::processEvents();
  }
  // One tick of the frame's one-second timer.
  void Tick() {
    ASSERT_TRUE(msgq::FireTimer(frame_->Handle(), kFrameTimerId));
    Service();
  }
  static QDialog* LoginDialog() {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* d = qobject_cast<QDialog*>(w); d != nullptr && d->isVisible() &&
                                               d->windowTitle() == QStringLiteral("TKZ login required"))
        return d;
    return nullptr;
  }
  // Fills the open login dialog and presses OK.
  void LogIn(const char* name, const char* password) {
    QDialog* d = LoginDialog();
    ASSERT_NE(d, nullptr);
    d->findChild<QLineEdit*>(QStringLiteral("name"))->setText(QString::fromUtf8(name));
    d->findChild<QLineEdit*>(QStringLiteral("password"))->setText(QString::fromUtf8(password));
    d->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    Service();
  }
  // The stand-in of the missing notification area posts what the icon posts.
  void ActivateStandIn() {
    QWidget* standIn = tray_.StandIn();
    ASSERT_NE(standIn, nullptr);
    ASSERT_TRUE(standIn->isVisible());
    standIn->findChild<QPushButton*>(QStringLiteral("showOrHide"))->click();
    Service();
  }
  // What a double-click on the icon posts.
  void ActivateIcon() {
    ASSERT_TRUE(msgq::PostMessage(frame_->Handle(), WM_TRAY_NOTIFY, kTrayIconId, WM_LBUTTONDBLCLK));
    Service();
  }
  // Message ids the comm thread's queue received.
  std::vector<uint32_t> CommPosts() { return TakeMessageIds(comm_.handle()); }

  TempDir dir_;
  FlagGuard flags_;
  platform::time::FakeClock clock_{2026, 3, 14, 9, 30, 0};
  LogBuffer log_;
  CApp app_;
  msgq::Queue comm_{msgq::TimerMode::Manual};
  NoFrameHandlers handlers_;
  RecordingMessageBox boxes_;
  QtFrameWindow window_;
  QtTray tray_;
  QtLoginFactory login_;
  std::unique_ptr<CMainFrame> frame_;
};
