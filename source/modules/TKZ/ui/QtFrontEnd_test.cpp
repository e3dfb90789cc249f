// The Qt front end on the offscreen platform: the window shows the log, its
// menus carry the frame's commands and check marks, the close box goes to
// the frame, and the login dialog logs an operator in.
#include "QtFrontEnd.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>

#include "DisplayFlags.h"
#include "IpcComm.h"
#include "LogSink.h"
#include "MainFrame.h"
#include "TestSupport.h"
#include "ThreadMsgs.h"
#include "platform/time/fake_clock.h"

// Fontconfig keeps caches for the life of the process that LeakSanitizer
// would report as leaks; they are not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

struct NoHandlers final : FrameHandlers {
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

class QtFrame : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char arg0[] = "tkz_qt_frame_test";
    static char* argv[] = {arg0, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
  }

  QtFrame() : log_(clock_, dir_.path()) {
    g_bTimeStampLog = false;
    g_bLoggedIn = false;
    g_hCommWnd.store(comm_.handle());
  }
  ~QtFrame() override {
    if (frame_) frame_->Destroy();
    g_hCommWnd.store(msgq::Handle{});
    g_bLoggedIn = false;
  }

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
  // What the event loop would do when the queue polls readable.
  void Service() {
    QCoreApplication::processEvents();
    frame_->PumpMessages();
    QCoreApplication::processEvents();
  }
  QDialog* LoginDialog() {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* d = qobject_cast<QDialog*>(w); d != nullptr && d->isVisible() &&
                                               d->windowTitle() == QStringLiteral("TKZ login required"))
        return d;
    return nullptr;
  }
  std::vector<uint32_t> CommPosts() {
    std::vector<uint32_t> ids;
    msgq::Msg m;
    while (msgq::PeekMessage(comm_.handle(), &m)) ids.push_back(m.message);
    return ids;
  }

  TempDir dir_;
  FlagGuard flags_;
  platform::time::FakeClock clock_{2026, 3, 14, 9, 30, 0};
  LogBuffer log_;
  CApp app_;
  msgq::Queue comm_{msgq::TimerMode::Manual};
  NoHandlers handlers_;
  RecordingMessageBox boxes_;
  QtFrameWindow window_;
  QtTray tray_;
  QtLoginFactory login_;
  std::unique_ptr<CMainFrame> frame_;
};

TEST_F(QtFrame, WindowShowsTheLogKeepingItsLineCap) {
  LogPrintf("before the window\n");
  Make(false);
  EXPECT_TRUE(window_.isVisible());
  EXPECT_EQ(window_.windowTitle(), QString::fromStdString(g_strWindowTitle));
  for (int i = 0; i < LogBuffer::kMaxLines + 5; ++i) LogPrintf("line %d\n", i);
  QPlainTextEdit* w = window_.LogWidget();
  EXPECT_TRUE(w->isReadOnly());
  // 400 complete lines plus the empty line being written.
  EXPECT_EQ(w->document()->blockCount(), LogBuffer::kMaxLines + 1);
  EXPECT_EQ(w->document()->firstBlock().text(), QStringLiteral("line 5"));
  EXPECT_EQ(w->toPlainText().toStdString(), log_.CopyAllText());

  window_.Action(ID_EDIT_CLEAR)->trigger();
  EXPECT_EQ(w->toPlainText(), QString());
}

TEST_F(QtFrame, MenusCarryTheCommandsAndTheirCheckMarks) {
  Make(false);
  g_bLogToDisk = false;
  g_bCommFaults = false;
  QAction* toDisk = window_.Action(ID_DISPLAY_LOG_TO_DISK);
  ASSERT_NE(toDisk, nullptr);
  EXPECT_EQ(toDisk->text(), QStringLiteral("&Log to Disk"));
  EXPECT_EQ(toDisk->statusTip(), QStringLiteral("Copy screen output to disk file"));
  toDisk->trigger();
  EXPECT_TRUE(g_bLogToDisk.load());

  // Opening a menu refreshes its items from the frame.
  for (QAction* menu : window_.menuBar()->actions())
    if (menu->menu() != nullptr) emit menu->menu()->aboutToShow();
  EXPECT_TRUE(toDisk->isChecked());
  EXPECT_FALSE(window_.Action(ID_DISPLAY_COMM_FAULTS)->isChecked());
  EXPECT_FALSE(window_.Action(ID_FILE_LOGOUT)->isEnabled());  // not behind the icon
  EXPECT_FALSE(window_.Action(ID_FILE_CLOSE_NETLOG)->isEnabled());

  window_.Action(ID_VIEW_WHO)->trigger();
  EXPECT_EQ(CommPosts(), std::vector<uint32_t>{WM_IPC_NODE_LIST});
}

TEST_F(QtFrame, CloseBoxStartsTheOrderedShutdownAndCommStoppedClosesTheWindow) {
  CMainFrame& f = Make(false);
  window_.close();  // the close box
  QCoreApplication::processEvents();
  EXPECT_TRUE(window_.isVisible());  // stays while the comm thread shuts down
  EXPECT_EQ(CommPosts(), std::vector<uint32_t>{WM_IPC_SHUTDOWN});
  ASSERT_TRUE(msgq::PostMessage(f.Handle(), WM_DOC_COMM_STOPPED, 0, 0));
  Service();
  EXPECT_TRUE(f.Closed());
  EXPECT_FALSE(window_.isVisible());
}

// A tray host that never reports a double-click still reaches the login:
// the icon's menu item posts what a double-click posts, while an icon is
// there to carry it.
TEST_F(QtFrame, TrayMenuItemAsksTheFrameWhatADoubleClickAsks) {
  msgq::Queue frame{msgq::TimerMode::Manual};
  QtTray tray;
  tray.AddIcon(frame.handle());
  ASSERT_NE(tray.Menu(), nullptr);
  ASSERT_EQ(tray.Menu()->actions().size(), 1);
  tray.Menu()->actions().front()->trigger();
  msgq::Msg m;
  ASSERT_TRUE(msgq::PeekMessage(frame.handle(), &m));
  EXPECT_EQ(m.message, WM_TRAY_NOTIFY);
  EXPECT_EQ(m.wParam, kTrayIconId);
  EXPECT_EQ(m.lParam, static_cast<intptr_t>(WM_LBUTTONDBLCLK));
  tray.RemoveIcon();
  tray.Menu()->actions().front()->trigger();
  EXPECT_FALSE(msgq::PeekMessage(frame.handle(), &m));
}

TEST_F(QtFrame, LoginDialogShowsTheWindowToAnAdministrator) {
  Make(true);
  EXPECT_FALSE(window_.isVisible());
  // Offscreen there is no notification area: the login comes at once.
  QDialog* d = LoginDialog();
  ASSERT_NE(d, nullptr);
  auto* name = d->findChild<QLineEdit*>(QStringLiteral("name"));
  auto* password = d->findChild<QLineEdit*>(QStringLiteral("password"));
  ASSERT_NE(name, nullptr);
  ASSERT_NE(password, nullptr);
  EXPECT_EQ(password->echoMode(), QLineEdit::Password);

  name->setText(QStringLiteral("admin"));
  password->setText(QStringLiteral("wrong"));
  d->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
  Service();
  EXPECT_EQ(boxes_.texts(), std::vector<std::string>{"Login failed."});
  EXPECT_FALSE(window_.isVisible());
  // No icon to ask again with: the login comes back by itself.
  EXPECT_TRUE(frame_->LoginDialogOpen());
  d = LoginDialog();
  ASSERT_NE(d, nullptr);
  d->findChild<QLineEdit*>(QStringLiteral("name"))->setText(QStringLiteral("admin"));
  d->findChild<QLineEdit*>(QStringLiteral("password"))->setText(QStringLiteral("demo"));
  d->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
  Service();
  EXPECT_TRUE(g_bLoggedIn);
  EXPECT_TRUE(window_.isVisible());

  // With InSysTray the close box only hides; with no icon to double-click
  // the login dialog comes in its place.
  window_.close();
  QCoreApplication::processEvents();
  EXPECT_FALSE(window_.isVisible());
  EXPECT_TRUE(CommPosts().empty());
  EXPECT_NE(LoginDialog(), nullptr);
}

}  // namespace
