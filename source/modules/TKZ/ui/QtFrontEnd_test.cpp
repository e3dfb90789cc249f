// The Qt front end on the offscreen platform (which keeps real window
// states and frames): the window shows the log, its menus carry the frame's
// commands and check marks, the close box goes to the frame, the login
// dialog logs an operator in, a minimised window comes back, the stand-in
// of the missing notification area leads back to the login, the windows
// carry the program's icon, dialogs show their titles, and the log view
// follows its end only while it is at the end with nothing selected.
#include "QtFrontEnd.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QClipboard>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>

#include "DisplayFlags.h"
#include "IpcComm.h"
#include "LogSink.h"
#include "MainFrame.h"
#include "QtFrameRig.h"
#include "QtWindowLook.h"
#include "TestSupport.h"
#include "ThreadMsgs.h"
#include "platform/time/fake_clock.h"

// Fontconfig keeps caches for the life of the process that LeakSanitizer
// would report as leaks; they are not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

class QtFrame : public ::testing::Test, protected QtFrameRig {
 protected:
  static void SetUpTestSuite() {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char arg0[] = "tkz_qt_frame_test";
    static char* argv[] = {arg0, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
  }
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

namespace {

TEST_F(QtFrame, MinimisedWindowInTrayModeComesBackOnActivation) {
  Make(true);
  LogIn("admin", "demo");
  ASSERT_TRUE(window_.isVisible());
  window_.showMinimized();  // the window's own minimise button
  QCoreApplication::processEvents();
  ASSERT_TRUE(window_.isMinimized());

  ActivateStandIn();
  EXPECT_TRUE(window_.isVisible());
  EXPECT_FALSE(window_.isMinimized());
  ActivateStandIn();
  EXPECT_FALSE(window_.isVisible());
  ActivateStandIn();
  EXPECT_TRUE(window_.isVisible());
  EXPECT_FALSE(window_.isMinimized());

  // Hidden while minimised (Logout), then logged in again: restored.
  window_.showMinimized();
  QCoreApplication::processEvents();
  window_.Action(ID_FILE_LOGOUT)->trigger();
  QCoreApplication::processEvents();
  LogIn("admin", "demo");
  EXPECT_TRUE(window_.isVisible());
  EXPECT_FALSE(window_.isMinimized());
}

TEST_F(QtFrame, WithoutANotificationAreaCancelLeavesAWayBackToTheLogin) {
  Make(true);
  QDialog* d = LoginDialog();
  ASSERT_NE(d, nullptr);
  d->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
  Service();
  EXPECT_EQ(LoginDialog(), nullptr);
  EXPECT_FALSE(window_.isVisible());
  QWidget* standIn = tray_.StandIn();
  ASSERT_NE(standIn, nullptr);
  EXPECT_TRUE(standIn->isVisible());

  // Its close box only minimises it.
  standIn->close();
  QCoreApplication::processEvents();
  EXPECT_TRUE(standIn->isVisible());
  EXPECT_TRUE(standIn->isMinimized());

  ActivateStandIn();
  d = LoginDialog();
  ASSERT_NE(d, nullptr);
  d->reject();  // Escape or the dialog's close box
  Service();
  EXPECT_EQ(LoginDialog(), nullptr);
  ActivateStandIn();
  LogIn("admin", "demo");
  EXPECT_TRUE(window_.isVisible());
}

TEST_F(QtFrame, TrayWindowAndDialogsCarryTheProgramsIcon) {
  const QIcon icon = ProgramIcon();
  ASSERT_FALSE(icon.isNull());
  // Built in: every size is there.
  EXPECT_EQ(icon.availableSizes(),
            (QList<QSize>{QSize(16, 16), QSize(32, 32), QSize(48, 48), QSize(64, 64)}));
  Make(true);
  ASSERT_NE(LoginDialog(), nullptr);
  ASSERT_NE(tray_.Icon(), nullptr);
  const std::unique_ptr<QMessageBox> box =
      QtMessageBox::Make("Login failed.", MessageBoxPort::Icon::kStop);
  struct Case {
    const char* what;
    QIcon shown;
  } cases[] = {
      {"tray icon", tray_.Icon()->icon()},
      {"window", window_.windowIcon()},
      {"login dialog", LoginDialog()->windowIcon()},
      {"tray stand-in", tray_.StandIn()->windowIcon()},
      {"message box", box->windowIcon()},
  };
  for (const Case& c : cases) EXPECT_EQ(c.shown.cacheKey(), icon.cacheKey()) << c.what;
}

TEST_F(QtFrame, DialogsShowTheirTitlesWithoutMinimiseOrMaximiseButtons) {
  Make(true);
  const std::unique_ptr<QMessageBox> box =
      QtMessageBox::Make("Login failed.", MessageBoxPort::Icon::kStop);
  box->show();
  QCoreApplication::processEvents();
  QWidget* dialogs[] = {LoginDialog(), box.get()};
  for (QWidget* d : dialogs) {
    ASSERT_NE(d, nullptr);
    SCOPED_TRACE(d->windowTitle().toStdString());
    EXPECT_TRUE(d->isVisible());
    EXPECT_GE(d->width(), TitleFitWidth(d->windowTitle()));
    const Qt::WindowFlags f = d->windowFlags();
    EXPECT_TRUE(f.testFlag(Qt::CustomizeWindowHint));
    EXPECT_TRUE(f.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(f.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(f.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(d->minimumSize(), d->maximumSize());  // not resizable, so not maximisable
  }
  // The estimate leaves room beside the text itself.
  const QString title = QStringLiteral("TKZ login required");
  EXPECT_GT(TitleFitWidth(title), QFontMetrics(QApplication::font()).horizontalAdvance(title));
}

// The line at the top of the log view.
QString TopLine(QPlainTextEdit* w) { return w->cursorForPosition(QPoint(4, 4)).block().text(); }

TEST_F(QtFrame, LogViewFollowsItsEndOnlyAtTheEndWithNothingSelected) {
  Make(false);
  QPlainTextEdit* w = window_.LogWidget();
  QScrollBar* bar = w->verticalScrollBar();
  for (int i = 0; i < 100; ++i) LogPrintf("line %d\n", i);
  QCoreApplication::processEvents();
  ASSERT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());

  // Scrolled back: the same lines stay in view.
  bar->setValue(10);
  const QString top = TopLine(w);
  for (int i = 100; i < 110; ++i) LogPrintf("line %d\n", i);
  EXPECT_EQ(TopLine(w), top);

  // At the end but with text marked: neither the view nor the marked text
  // moves, also when the oldest lines go at the cap, and Copy copies it.
  QTextCursor c(w->document()->findBlockByNumber(105));
  c.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, 2);
  w->setTextCursor(c);
  bar->setValue(bar->maximum());
  QString marked = w->textCursor().selectedText();
  marked.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
  EXPECT_EQ(marked, QStringLiteral("line 105\nline 106\n"));
  const QString atTop = TopLine(w);
  for (int i = 110; i < LogBuffer::kMaxLines + 50; ++i) LogPrintf("line %d\n", i);
  EXPECT_EQ(w->document()->firstBlock().text(), QStringLiteral("line 50"));
  EXPECT_EQ(TopLine(w), atTop);
  EXPECT_LT(bar->value(), bar->maximum());
  window_.Action(ID_EDIT_COPY)->trigger();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), marked);

  // Nothing marked and scrolled back to the end: it follows again.
  c = w->textCursor();
  c.clearSelection();
  w->setTextCursor(c);
  bar->setValue(bar->maximum());
  LogPrintf("one more\n");
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_NE(TopLine(w), atTop);
}

}  // namespace
