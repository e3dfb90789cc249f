#include "MainFrame.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "DisplayFlags.h"
#include "FrameHandlers.h"
#include "IoFtpRequest.h"
#include "IpcComm.h"
#include "LogBuffer.h"
#include "LogSink.h"
#include "MessageIds.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "TestSupport.h"
#include "ThreadMsgs.h"
#include "dao/workgroup.h"
#include "platform/time/fake_clock.h"
#include "site.h"

namespace {

// ---- fakes of the front end -----------------------------------------------------

struct FakeWindow final : FrameWindowPort {
  void SetTitle(const std::string& t) override { title = t; }
  void AttachLog(LogBuffer* v) override { view = v; }
  void SetTaskbarButton(bool shown) override { taskbar = shown; }
  void ShowWindow() override {
    visible = true;
    minimised = false;
    ++shows;
  }
  void HideWindow() override { visible = false; }
  bool IsWindowVisible() const override { return visible; }
  bool IsWindowMinimised() const override { return minimised; }
  void CopySelection() override { ++copies; }
  void MoveCaretToEnd() override { ++caretToEnd; }
  void CloseFrame() override { ++closes; }
  std::string title;
  LogBuffer* view = nullptr;
  bool taskbar = true;
  bool visible = false;
  bool minimised = false;
  int shows = 0, copies = 0, caretToEnd = 0, closes = 0;
};

struct FakeTray final : TrayPort {
  bool Available() const override { return available; }
  bool AddIcon(msgq::Handle) override {
    shown = available;
    return available;
  }
  void RemoveIcon() override { shown = false; }
  void ShowStandIn(msgq::Handle) override { standIn = true; }
  void HideStandIn() override { standIn = false; }
  bool available = true;
  bool shown = false;
  bool standIn = false;
};

struct FakeLoginDialog final : LoginDialogPort {
  explicit FakeLoginDialog(int* alive) : alive_(alive) { ++*alive_; }
  ~FakeLoginDialog() override { --*alive_; }
  void Open() override {
    open = true;
    ++opens;
  }
  bool Accepted() const override { return accepted; }
  std::string Name() const override { return name; }
  std::string Password() const override { return password; }
  bool open = false, accepted = false;
  int opens = 0;
  std::string name, password;
  int* alive_;
};

struct FakeLoginFactory final : LoginDialogFactory {
  std::unique_ptr<LoginDialogPort> CreateLoginDialog(msgq::Handle f) override {
    frame = f;
    ++created;
    auto d = std::make_unique<FakeLoginDialog>(&alive);
    last = d.get();
    return d;
  }
  // The operator fills the dialog and presses OK (or Cancel).
  void Close(bool ok, const std::string& name = "", const std::string& password = "") {
    ASSERT_NE(last, nullptr);
    last->accepted = ok;
    last->name = name;
    last->password = password;
    last = nullptr;
    PostLoginClosed(frame);
  }
  msgq::Handle frame;
  FakeLoginDialog* last = nullptr;
  int created = 0, alive = 0;
};

struct FakeClipboard final : ClipboardPort {
  void SetText(const std::string& t) override { text = t; }
  std::string text;
};

struct FakeDialogs final : FrameDialogsPort {
  std::optional<std::string> AskOpenFile(const std::string& ext, const std::string& name,
                                         const std::string& filter) override {
    asked.push_back(ext + " " + name + " " + filter);
    return answer;
  }
  void ShowAbout(const std::string& l, const std::string& v, const std::string& b) override {
    about = l + "/" + v + "/" + b;
  }
  std::optional<std::string> answer;
  std::vector<std::string> asked;
  std::string about;
};

struct RecordingHandlers final : FrameHandlers {
  void OnMsgDone(RackMsg* m) override { Take("msg done", m); }
  void OnFtpDone(IoFtpRequest* r) override { Note("ftp done", r); }
  void OnFtpRead(IoFtpRequest* r) override { Note("ftp read", r); }
  void OnFtpClose(IoFtpRequest* r) override { Note("ftp close", r); }
  void OnRackEvent(RackMsg* m) override { Take("rack event", m); }
  void OnNodeStatus(uint32_t id, bool up) override {
    calls.push_back("node " + std::to_string(id) + (up ? " up" : " down"));
  }
  void OnRackStatus(uint32_t rack, bool up) override {
    calls.push_back("rack " + std::to_string(rack) + (up ? " up" : " down"));
  }
  void ReportSchedule() override { calls.push_back("schedule"); }
  bool OpenNetLog(const std::string& path) override {
    calls.push_back("open " + path);
    return openResult;
  }
  void CloseNetLog() override { calls.push_back("close"); }
  void DiscardFtpRequest(IoFtpRequest* r) override { Note("ftp discarded", r); }
  void ReturnLentFtpRequest(IoFtpRequest* r) override { Note("ftp lent back", r); }

  void Take(const char* what, RackMsg* m) {
    calls.push_back(std::string(what) + " rack " + std::to_string(m->Rack));
    FreeRackMsg(m);
  }
  void Note(const char* what, IoFtpRequest* r) {
    calls.push_back(std::string(what) + " " + std::to_string(reinterpret_cast<intptr_t>(r)));
  }
  std::vector<std::string> calls;
  bool openResult = true;
};

// ---- fixture -------------------------------------------------------------------------

class FrameTest : public ::testing::Test {
 protected:
  FrameTest() : log_(clock_, dir_.path()) {
    log_.AddObserver(&observer_);
    g_bTimeStampLog = false;
    g_bLoggedIn = false;
    g_bWindowShown = false;
    g_hCommWnd.store(comm_.handle());
  }
  ~FrameTest() override {
    frame_.reset();
    g_hCommWnd.store(msgq::Handle{});
    g_bLoggedIn = false;
    g_bWindowShown = false;
  }

  FramePorts Ports() {
    FramePorts p;
    p.app = &app_;
    p.handlers = &handlers_;
    p.messageBox = &box_;
    p.window = &window_;
    p.tray = &tray_;
    p.login = &login_;
    p.clipboard = &clipboard_;
    p.dialogs = &dialogs_;
    p.checkLogin = [this](const std::string& n, const std::string& pw) {
      logins_.push_back(n + ":" + pw);
      return n == "admin" && pw == "demo";
    };
    p.timerMode = msgq::TimerMode::Manual;
    return p;
  }
  CMainFrame& Make(bool inSysTray, FramePorts ports) {
    g_bInSysTray = inSysTray;
    frame_ = std::make_unique<CMainFrame>(ports);
    EXPECT_TRUE(frame_->Create());
    frame_->ShowAtStart(!inSysTray);
    return *frame_;
  }
  CMainFrame& Make(bool inSysTray) { return Make(inSysTray, Ports()); }

  void Post(uint32_t message, uintptr_t w = 0, intptr_t l = 0) {
    ASSERT_TRUE(msgq::PostMessage(frame_->Handle(), message, w, l));
  }
  void Pump() { frame_->PumpMessages(); }
  void DoubleClick() {
    Post(WM_TRAY_NOTIFY, kTrayIconId, WM_LBUTTONDBLCLK);
    Pump();
  }
  void Tick() {
    ASSERT_TRUE(msgq::FireTimer(frame_->Handle(), kFrameTimerId));
    Pump();
  }
  void LogIn() {
    login_.Close(true, "admin", "demo");
    Pump();
  }
  // Message ids the comm thread's queue received.
  std::vector<uint32_t> CommPosts() { return TakeMessageIds(comm_.handle()); }

  TempDir dir_;
  FlagGuard flags_;
  platform::time::FakeClock clock_{2026, 3, 14, 9, 30, 0};
  RecordingObserver observer_;
  LogBuffer log_;
  CApp app_;
  msgq::Queue comm_{msgq::TimerMode::Manual};
  RecordingHandlers handlers_;
  RecordingMessageBox box_;
  FakeWindow window_;
  FakeTray tray_;
  FakeLoginFactory login_;
  FakeClipboard clipboard_;
  FakeDialogs dialogs_;
  std::vector<std::string> logins_;
  std::unique_ptr<CMainFrame> frame_;
};

// ---- the timer and the comm thread's messages ------------------------------------

std::vector<uint32_t> g_ticks;
int RecordTick(void*, uint32_t id) {
  g_ticks.push_back(id);
  return 0;
}

TEST_F(FrameTest, OneSecondTimerDrivesTheAppCallbacksUntilTheFrameCloses) {
  g_ticks.clear();
  app_.AddTimerCallback(&RecordTick, nullptr);
  CMainFrame& f = Make(false);
  EXPECT_EQ(f.TimerId(), kFrameTimerId);
  EXPECT_EQ(g_hFrameWnd.load(), f.Handle());
  ASSERT_TRUE(msgq::FireTimer(f.Handle(), kFrameTimerId));
  Pump();
  ASSERT_TRUE(msgq::FireTimer(f.Handle(), kFrameTimerId));
  Pump();
  EXPECT_EQ(g_ticks, (std::vector<uint32_t>{1, 1}));

  Post(WM_DOC_COMM_STOPPED);
  Pump();
  EXPECT_FALSE(msgq::FireTimer(f.Handle(), kFrameTimerId));  // killed
  EXPECT_EQ(f.TimerId(), 0u);
  EXPECT_EQ(g_ticks.size(), 2u);
  app_.RemoveTimerCallback(&RecordTick, nullptr);
}

// A flood that stops before its interval ends still gets its count, from the
// one-second timer, without another line to carry it.
TEST_F(FrameTest, TheTimerWritesTheCountOfAFloodThatHasStopped) {
  CMainFrame& f = Make(false);
  for (int i = 0; i < 50; ++i) LogPrintf("Error: the same line.\n");
  const std::string before = observer_.text();
  clock_.AdvanceMs(LogRepeats::kIntervalMs);
  ASSERT_TRUE(msgq::FireTimer(f.Handle(), kFrameTimerId));
  Pump();
  EXPECT_EQ(observer_.text(), before + "Error: the same line. (repeated 47 more times in 10 s)\n");
}

TEST_F(FrameTest, CommThreadMessagesReachTheirHandlersWithTheirArguments) {
  Make(false);
  RackMsg* done = AllocRackMsg();
  done->Rack = 7;
  RackMsg* event = AllocRackMsg();
  event->Rack = 9;
  Post(WM_DOC_MSG_DONE, 0, reinterpret_cast<intptr_t>(done));
  Post(WM_DOC_RACK_EVENT, 0, reinterpret_cast<intptr_t>(event));
  Post(WM_DOC_FTP_DONE, 0, 0x1000);
  Post(WM_DOC_FTP_READ, 0, 0x2000);
  Post(WM_DOC_FTP_CLOSE, 0, 0x3000);
  Post(WM_DOC_NODE_STATUS, 1, 42);
  Post(WM_DOC_NODE_STATUS, 0, 43);
  Post(WM_DOC_RACK_STATUS, 0, 12);
  // A null object is nobody's to handle.
  Post(WM_DOC_MSG_DONE, 0, 0);
  Pump();
  EXPECT_EQ(handlers_.calls,
            (std::vector<std::string>{"msg done rack 7", "rack event rack 9", "ftp done 4096",
                                      "ftp read 8192", "ftp close 12288", "node 42 up",
                                      "node 43 down", "rack 12 down"}));
}

TEST_F(FrameTest, LinesQueuedByOtherThreadsAreDrainedThroughTheFrameQueue) {
  CMainFrame& f = Make(false);
  std::thread([] { LogPrintfQueued("from the comm thread\n"); }).join();
  EXPECT_EQ(observer_.text().find("from the comm thread"), std::string::npos);
  msgq::Msg m;
  ASSERT_TRUE(msgq::PeekMessage(f.Handle(), &m));
  EXPECT_EQ(m.message, WM_LOG_DRAIN);
  f.Dispatch(m);
  EXPECT_NE(observer_.text().find("from the comm thread\n"), std::string::npos);
}

// ---- closing ---------------------------------------------------------------------------

TEST_F(FrameTest, CloseBoxShutsDownWithoutTrayButOnlyHidesWithTray) {
  struct Case {
    bool inSysTray;
    bool shutsDown;
  } cases[] = {{false, true}, {true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inSysTray);
    window_ = FakeWindow{};
    CMainFrame& f = Make(c.inSysTray);
    if (c.inSysTray) g_bLoggedIn = true;
    window_.visible = true;
    Post(WM_FRAME_CLOSE);
    Pump();
    EXPECT_EQ(f.ShuttingDown(), c.shutsDown);
    EXPECT_EQ(CommPosts(), c.shutsDown ? std::vector<uint32_t>{WM_IPC_SHUTDOWN}
                                       : std::vector<uint32_t>{});
    EXPECT_EQ(window_.visible, c.shutsDown);  // the window stays while shutting down
    EXPECT_FALSE(f.Closed());
    EXPECT_TRUE(g_bLoggedIn == c.inSysTray);  // hiding keeps the login
    g_bLoggedIn = false;
  }
}

TEST_F(FrameTest, ExitShutsDownOnceAndTheFrameClosesOnlyWhenCommStops) {
  CMainFrame& f = Make(true);
  Post(WM_FRAME_COMMAND, ID_APP_EXIT);
  Post(WM_FRAME_COMMAND, ID_APP_EXIT);  // a second request while waiting
  Post(WM_FRAME_CLOSE);
  Pump();
  EXPECT_EQ(CommPosts(), std::vector<uint32_t>{WM_IPC_SHUTDOWN});
  EXPECT_FALSE(f.Closed());
  EXPECT_EQ(window_.closes, 0);

  Post(WM_DOC_COMM_STOPPED);
  Pump();
  EXPECT_TRUE(f.Closed());
  EXPECT_EQ(window_.closes, 1);
  msgq::Msg m;
  ASSERT_TRUE(msgq::PeekMessage(f.Handle(), &m));
  EXPECT_EQ(m.message, msgq::WM_QUIT);  // a headless loop ends too
}

TEST_F(FrameTest, CloseWithoutACommThreadClosesAtOnceInsteadOfWaitingForever) {
  g_hCommWnd.store(msgq::Handle{});
  CMainFrame& f = Make(false);
  Post(WM_FRAME_CLOSE);
  Pump();
  EXPECT_TRUE(f.Closed());
  EXPECT_EQ(window_.closes, 1);
}

TEST_F(FrameTest, DestroyReleasesWhatIsStillQueuedAndClearsTheTargets) {
  CMainFrame& f = Make(true);
  EXPECT_TRUE(tray_.shown);
  EXPECT_FALSE(window_.taskbar);  // behind the icon: no task-bar button
  Post(WM_DOC_MSG_DONE, 0, reinterpret_cast<intptr_t>(AllocRackMsg()));
  Post(WM_DOC_RACK_EVENT, 0, reinterpret_cast<intptr_t>(AllocRackMsg()));
  Post(WM_DOC_FTP_DONE, 0, 0x40);
  Post(WM_DOC_FTP_READ, 0, 0x41);
  Post(WM_DOC_FTP_CLOSE, 0, 0x42);
  f.Destroy();  // the sanitizer build tells a leaked message
  EXPECT_FALSE(tray_.shown);
  EXPECT_FALSE(g_hFrameWnd.load());
  EXPECT_EQ(handlers_.calls, (std::vector<std::string>{"ftp discarded 64", "ftp lent back 65",
                                                       "ftp lent back 66"}));
}

// The server's handlers: a job lent to the UI thread for a read or a close
// that is still queued when the frame goes is handed back to the comm
// thread with RC_FLUSHED; with no comm thread it is freed (the sanitizer
// build tells a leaked job).
TEST_F(FrameTest, LentFtpJobStillQueuedAtDestroyGoesBackToTheCommThreadOrIsFreed) {
  for (const bool commThere : {true, false}) {
    SCOPED_TRACE(commThere ? "comm thread there" : "comm thread gone");
    if (!commThere) g_hCommWnd.store(msgq::Handle{});
    ServerFrameHandlers server;
    FramePorts ports = Ports();
    ports.handlers = &server;
    CMainFrame& f = Make(false, ports);
    auto* read = new IoFtpRequest;
    auto* close = new IoFtpRequest;
    read->lent = close->lent = true;
    Post(WM_DOC_FTP_READ, 0, reinterpret_cast<intptr_t>(read));
    Post(WM_DOC_FTP_CLOSE, 0, reinterpret_cast<intptr_t>(close));
    f.Destroy();
    std::vector<IoFtpRequest*> back;
    msgq::Msg m;
    while (msgq::PeekMessage(comm_.handle(), &m)) {
      EXPECT_EQ(m.message, WM_IPC_FTP_CONTINUE);
      back.push_back(reinterpret_cast<IoFtpRequest*>(m.lParam));
    }
    if (commThere) {
      EXPECT_EQ(back, (std::vector<IoFtpRequest*>{read, close}));
      for (IoFtpRequest* job : back) EXPECT_EQ(job->Rcode, RC_FLUSHED);
    } else {
      EXPECT_TRUE(back.empty());
    }
    for (IoFtpRequest* job : back) delete job;
    frame_.reset();
  }
}

// ---- notification icon and login ----------------------------------------------------

TEST_F(FrameTest, DoubleClickLogsInThenTogglesTheWindow) {
  Make(true);
  EXPECT_FALSE(window_.visible);
  DoubleClick();
  ASSERT_EQ(login_.created, 1);
  EXPECT_TRUE(login_.last->open);
  DoubleClick();  // the dialog is open: no second one, it only comes forward
  EXPECT_EQ(login_.created, 1);
  EXPECT_EQ(login_.last->opens, 2);

  login_.Close(true, "admin", "demo");
  Pump();
  EXPECT_EQ(logins_, std::vector<std::string>{"admin:demo"});
  EXPECT_TRUE(g_bLoggedIn);
  EXPECT_TRUE(window_.visible);
  EXPECT_EQ(login_.alive, 0);  // the dialog is freed

  DoubleClick();
  EXPECT_FALSE(window_.visible);
  EXPECT_FALSE(g_bWindowShown);
  DoubleClick();  // logged in: shown without a new login
  EXPECT_TRUE(window_.visible);
  EXPECT_TRUE(g_bWindowShown);
  EXPECT_EQ(login_.created, 1);

  // Logout hides and forgets the login.
  Post(WM_FRAME_COMMAND, ID_FILE_LOGOUT);
  Pump();
  EXPECT_FALSE(window_.visible);
  EXPECT_FALSE(g_bLoggedIn);
  DoubleClick();
  EXPECT_EQ(login_.created, 2);
}

TEST_F(FrameTest, FailedOrCancelledLoginLeavesTheWindowHidden) {
  Make(true);
  DoubleClick();
  login_.Close(true, "admin", "wrong");
  Pump();
  EXPECT_EQ(box_.texts(), std::vector<std::string>{"Login failed."});
  EXPECT_FALSE(window_.visible);
  EXPECT_FALSE(g_bLoggedIn);
  EXPECT_EQ(login_.alive, 0);

  DoubleClick();  // a new dialog after a failure
  EXPECT_EQ(login_.created, 2);
  login_.Close(false);
  Pump();
  EXPECT_EQ(logins_.size(), 1u);  // Cancel is no login attempt
  EXPECT_EQ(box_.texts().size(), 1u);
  EXPECT_EQ(login_.alive, 0);
  EXPECT_FALSE(window_.visible);
}

TEST_F(FrameTest, OnlyADoubleClickOnTheIconCounts) {
  Make(true);
  Post(WM_TRAY_NOTIFY, kTrayIconId, 0x0201);  // a single click
  Post(WM_TRAY_NOTIFY, kTrayIconId + 1, WM_LBUTTONDBLCLK);
  Post(WM_LOGIN_CLOSED);  // a stray close without a dialog
  Pump();
  EXPECT_EQ(login_.created, 0);
  EXPECT_TRUE(logins_.empty());
}

TEST_F(FrameTest, WithoutANotificationAreaTheLoginIsOfferedAtStart) {
  tray_.available = false;
  Make(true);
  EXPECT_EQ(login_.created, 1);
  // A failed attempt brings the dialog back: there is no icon to ask again.
  login_.Close(true, "admin", "typo");
  Pump();
  EXPECT_EQ(box_.texts(), std::vector<std::string>{"Login failed."});
  EXPECT_EQ(login_.created, 2);
  login_.Close(true, "admin", "demo");
  Pump();
  EXPECT_TRUE(window_.visible);
}

TEST_F(FrameTest, WithoutANotificationAreaTheHiddenWindowStaysReachableThroughTheLogin) {
  tray_.available = false;
  Make(true);
  login_.Close(true, "admin", "demo");
  Pump();
  ASSERT_TRUE(window_.visible);
  // The close box (logged in stays) and Logout (logged out) hide the window;
  // with no icon to double-click the login dialog takes its place.
  struct Case {
    const char* what;
    uint32_t message;
    uintptr_t command;
    bool loggedInAfter;
  } cases[] = {
      {"close box", WM_FRAME_CLOSE, 0, true},
      {"logout", WM_FRAME_COMMAND, ID_FILE_LOGOUT, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int created = login_.created;
    Post(c.message, c.command);
    Pump();
    EXPECT_FALSE(window_.visible);
    EXPECT_EQ(g_bLoggedIn, c.loggedInAfter);
    ASSERT_EQ(login_.created, created + 1);
    EXPECT_TRUE(login_.last->open);
    login_.Close(true, "admin", "demo");
    Pump();
    EXPECT_TRUE(window_.visible);
  }
  EXPECT_TRUE(CommPosts().empty());  // hiding never shuts down
}

TEST_F(FrameTest, MinimisedWindowCountsAsHiddenAndADoubleClickRestoresIt) {
  Make(true);
  DoubleClick();
  LogIn();
  ASSERT_TRUE(window_.visible);
  // The window's own minimise button: still "visible", but out of sight,
  // and in tray mode without a task-bar button to bring it back.
  window_.minimised = true;
  DoubleClick();
  EXPECT_TRUE(window_.visible);
  EXPECT_FALSE(window_.minimised);
  EXPECT_TRUE(g_bWindowShown);
  DoubleClick();  // shown and restored: the next one hides
  EXPECT_FALSE(window_.visible);
}

TEST_F(FrameTest, IconMovesBetweenTheNotificationAreaAndTheStandInAsTheAreaComesAndGoes) {
  tray_.available = false;
  CMainFrame& f = Make(true);
  EXPECT_FALSE(f.TrayIconShown());
  EXPECT_TRUE(tray_.standIn);
  Tick();
  EXPECT_TRUE(tray_.standIn);
  EXPECT_FALSE(tray_.shown);

  tray_.available = true;  // a tray host starts
  Tick();
  EXPECT_TRUE(f.TrayIconShown());
  EXPECT_TRUE(tray_.shown);
  EXPECT_FALSE(tray_.standIn);
  EXPECT_NE(observer_.text().find("The notification-area icon was added.\n"), std::string::npos);

  tray_.available = false;  // and goes away again
  Tick();
  EXPECT_FALSE(f.TrayIconShown());
  EXPECT_FALSE(tray_.shown);
  EXPECT_TRUE(tray_.standIn);

  f.Destroy();
  EXPECT_FALSE(tray_.standIn);
}

TEST_F(FrameTest, WithoutInSysTrayThereIsNeitherIconNorStandIn) {
  tray_.available = true;
  CMainFrame& f = Make(false);
  Tick();
  EXPECT_FALSE(f.TrayIconShown());
  EXPECT_FALSE(tray_.shown);
  EXPECT_FALSE(tray_.standIn);
}

TEST_F(FrameTest, WithoutANotificationAreaCancelLeavesTheStandInAsTheWayBack) {
  tray_.available = false;
  CMainFrame& f = Make(true);
  ASSERT_EQ(login_.created, 1);
  login_.Close(false);  // Cancel, Escape or the dialog's close box
  Pump();
  EXPECT_FALSE(f.LoginDialogOpen());
  EXPECT_EQ(login_.created, 1);  // not forced back on the operator
  EXPECT_TRUE(tray_.standIn);
  DoubleClick();  // what the stand-in posts
  EXPECT_EQ(login_.created, 2);
  LogIn();
  EXPECT_TRUE(window_.visible);
}

// ---- DbLogin against a workgroup --------------------------------------------------------

TEST(DbLogin, OnlyAMemberOfAdministratorsInExactCaseLogsIn) {
  TempDir dir;
  FlagGuard flags;
  const std::string site = (dir.path() / "site").string();
  drovana::site::CreateSite({site, "drovana", "admin", "demo"});
  const std::string wg = site + "/drovana.mdw";
  const std::string other = (dir.path() / "other.mdw").string();
  {
    dao::WorkgroupWriter w = dao::WorkgroupWriter::Create(other);
    w.AddGroup("administrators");
    w.AddGroup("Users");
    w.AddUser("tech", "pw");
    w.AddMembership("tech", "Users");
    w.AddMembership("tech", "administrators");
  }
  struct Case {
    const std::string* file;
    const char* name;
    const char* password;
    bool ok;
  } cases[] = {
      {&wg, "admin", "demo", true},
      {&wg, "ADMIN", "demo", true},  // user names ignore case
      {&wg, "admin", "Demo", false},
      {&wg, "admin", "", false},
      {&wg, "", "", false},  // what an untouched dialog holds
      {&wg, "TKZ", "vqd", false},  // the server's own account is no operator
      {&wg, "nobody", "demo", false},
      {&other, "tech", "pw", false},  // "administrators" is not "Administrators"
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ":" + c.password);
    EXPECT_EQ(DbLogin(*c.file, c.name, c.password), c.ok);
  }
}

TEST(DbLogin, LogsItsStepsWithTheDocLayerSwitch) {
  TempDir dir;
  FlagGuard flags;
  platform::time::FakeClock clock{2026, 3, 14, 9, 30, 0};
  RecordingObserver observer;
  LogBuffer log(clock, dir.path());
  log.AddObserver(&observer);
  g_bTimeStampLog = false;
  const std::string site = (dir.path() / "site").string();
  drovana::site::CreateSite({site, "drovana", "admin", "demo"});
  const std::string wg = site + "/drovana.mdw";

  g_bDocDebug = true;
  EXPECT_TRUE(DbLogin(wg, "admin", "demo"));
  EXPECT_FALSE(DbLogin(wg, "admin", "nope"));
  EXPECT_EQ(observer.text(),
            "User admin belongs to the following groups:\n"
            "\n"
            "Login succeeded.\n"
            "doc.cpp#5432: Error 3029 : Not a valid account name or password.\n"
            "Login failed.\n");
  g_bDocDebug = false;
  const size_t before = observer.text().size();
  EXPECT_FALSE(DbLogin(wg, "admin", "nope"));
  EXPECT_EQ(observer.text().size(), before);
}

// ---- menu commands ------------------------------------------------------------------------

TEST_F(FrameTest, DisplayAllTurnsFiveSwitchesOnUnlessFourAreOn) {
  Make(false);
  g_bDocDebug = g_bCommDebug = g_bIpcCommDebug = true;
  g_bCommFaults = false;
  g_bDirectConnectDebug = false;
  EXPECT_FALSE(frame_->QueryCommand(ID_DISPLAY_ALL).checked);
  frame_->OnCommand(ID_DISPLAY_ALL);
  for (auto* f : {&g_bDocDebug, &g_bCommDebug, &g_bIpcCommDebug, &g_bCommFaults,
                  &g_bDirectConnectDebug})
    EXPECT_TRUE(f->load());
  EXPECT_TRUE(frame_->QueryCommand(ID_DISPLAY_ALL).checked);
  frame_->OnCommand(ID_DISPLAY_ALL);
  for (auto* f : {&g_bDocDebug, &g_bCommDebug, &g_bIpcCommDebug, &g_bCommFaults,
                  &g_bDirectConnectDebug})
    EXPECT_FALSE(f->load());
  // Direct Connect is not one of the four: with the four on, All turns it off.
  g_bDocDebug = g_bCommDebug = g_bIpcCommDebug = g_bCommFaults = true;
  g_bDirectConnectDebug = false;
  frame_->OnCommand(ID_DISPLAY_ALL);
  EXPECT_FALSE(g_bDirectConnectDebug.load());
  EXPECT_FALSE(g_bDocDebug.load());
}

TEST_F(FrameTest, EachSwitchTogglesAndShowsItsCheckMark) {
  Make(false);
  const std::map<uint32_t, std::atomic<bool>*> switches = {
      {ID_DISPLAY_DOC, &g_bDocDebug},         {ID_DISPLAY_COMM, &g_bCommDebug},
      {ID_DISPLAY_COMM_FAULTS, &g_bCommFaults}, {ID_DISPLAY_IPC_COMM, &g_bIpcCommDebug},
      {ID_DISPLAY_DIRECT_CONNECT, &g_bDirectConnectDebug},
      {ID_DISPLAY_TIME_STAMP, &g_bTimeStampLog}, {ID_DISPLAY_LOG_TO_DISK, &g_bLogToDisk}};
  for (const auto& [id, flag] : switches) {
    SCOPED_TRACE(id);
    const bool before = flag->load();
    EXPECT_EQ(frame_->QueryCommand(id).checked, before);
    frame_->OnCommand(id);
    EXPECT_EQ(flag->load(), !before);
    EXPECT_EQ(frame_->QueryCommand(id).checked, !before);
    if (id == ID_DISPLAY_LOG_TO_DISK) {
      EXPECT_EQ(g_bDiskLogActive.load(), !before);
    }
  }
}

TEST_F(FrameTest, LogoutIsOnlyOfferedBehindTheIcon) {
  Make(false);
  EXPECT_FALSE(frame_->QueryCommand(ID_FILE_LOGOUT).enabled);
  g_bLoggedIn = true;
  window_.visible = true;
  frame_->OnCommand(ID_FILE_LOGOUT);
  EXPECT_TRUE(g_bLoggedIn);  // disabled: nothing happened
  EXPECT_TRUE(window_.visible);
  g_bInSysTray = true;
  EXPECT_TRUE(frame_->QueryCommand(ID_FILE_LOGOUT).enabled);
}

TEST_F(FrameTest, OpeningANetworkLogClosesTheOpenOneFirst) {
  Make(false);
  EXPECT_FALSE(frame_->QueryCommand(ID_FILE_CLOSE_NETLOG).enabled);
  dialogs_.answer = std::nullopt;  // Cancel
  frame_->OnCommand(ID_FILE_OPEN_NETLOG);
  EXPECT_TRUE(handlers_.calls.empty());
  ASSERT_EQ(dialogs_.asked.size(), 1u);
  EXPECT_EQ(dialogs_.asked[0], "bin net.bin Binary Files|*.bin|All files|*.*||");

  dialogs_.answer = "/tmp/a.bin";
  frame_->OnCommand(ID_FILE_OPEN_NETLOG);
  dialogs_.answer = "/tmp/b.bin";
  frame_->OnCommand(ID_FILE_OPEN_NETLOG);
  EXPECT_EQ(handlers_.calls, (std::vector<std::string>{"close", "open /tmp/a.bin", "close",
                                                        "open /tmp/b.bin"}));
  EXPECT_TRUE(frame_->NetLogOpen());
  EXPECT_TRUE(frame_->QueryCommand(ID_FILE_CLOSE_NETLOG).enabled);

  handlers_.openResult = false;  // a failed open leaves it closed
  frame_->OnCommand(ID_FILE_OPEN_NETLOG);
  EXPECT_FALSE(frame_->NetLogOpen());
  handlers_.openResult = true;
  frame_->OnCommand(ID_FILE_OPEN_NETLOG);
  frame_->OnCommand(ID_FILE_CLOSE_NETLOG);
  EXPECT_FALSE(frame_->NetLogOpen());
  EXPECT_EQ(handlers_.calls.back(), "close");
}

TEST_F(FrameTest, ViewReportsArePostedToTheCommThread) {
  Make(false);
  for (uint32_t id : {ID_VIEW_WHO, ID_VIEW_NET_STATS, ID_VIEW_RACK_STATUS, ID_VIEW_RACK_VERSION})
    frame_->OnCommand(id);
  frame_->OnCommand(ID_VIEW_SCHEDULE);
  EXPECT_EQ(CommPosts(), (std::vector<uint32_t>{WM_IPC_NODE_LIST, WM_IPC_NET_STATS,
                                                 WM_IPC_RACK_TABLE, WM_IPC_RACK_VERSIONS}));
  EXPECT_EQ(handlers_.calls, std::vector<std::string>{"schedule"});
}

TEST_F(FrameTest, EditCommandsWorkOnTheLog) {
  // The app's own log view is the one the Edit menu works on.
  CwdGuard cwd;
  const char* oldXdg = getenv("XDG_CONFIG_HOME");
  const std::string savedXdg = oldXdg != nullptr ? oldXdg : "";
  setenv("XDG_CONFIG_HOME", (dir_.path() / "config").c_str(), 1);
  const std::string site = (dir_.path() / "site").string();
  drovana::site::CreateSite({site, "drovana", "admin", "demo"});
  app_.SetCommandLine(site);
  app_.SetClock(&clock_);
  g_bLogToDisk = false;
  g_bInSysTray = false;
  FramePorts p = Ports();
  frame_ = std::make_unique<CMainFrame>(p);
  app_.SetFrame(frame_.get());
  ASSERT_TRUE(app_.InitInstance());
  // "InSysTray" defaults to 1: created hidden behind the icon, and it stays so.
  EXPECT_FALSE(window_.visible);
  EXPECT_TRUE(tray_.shown);
  EXPECT_EQ(window_.title, "Drovana - TKZ");
  EXPECT_EQ(window_.view, app_.LogView());  // the window shows the app's log
  LogPrintf("second line\n");
  frame_->OnCommand(ID_EDIT_COPY_ALL);
  EXPECT_NE(clipboard_.text.find("second line\n"), std::string::npos);
  EXPECT_EQ(window_.caretToEnd, 1);
  frame_->OnCommand(ID_EDIT_COPY);
  EXPECT_EQ(window_.copies, 1);
  frame_->OnCommand(ID_EDIT_CLEAR);
  EXPECT_EQ(app_.LogView()->CopyAllText(), "");
  frame_->OnCommand(ID_APP_ABOUT);
  EXPECT_EQ(dialogs_.about, "Drovana Communications Server/Version 5.0.1/Built on: Feb  5 2004");
  frame_->Destroy();
  EXPECT_EQ(window_.view, nullptr);
  app_.SetFrame(nullptr);
  app_.ExitInstance();
  if (oldXdg != nullptr)
    setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1);
  else
    unsetenv("XDG_CONFIG_HOME");
}

TEST_F(FrameTest, HeadlessFrameKeepsItsRulesWithoutAWindow) {
  FramePorts p;
  p.app = &app_;
  p.handlers = &handlers_;
  p.messageBox = &box_;
  p.timerMode = msgq::TimerMode::Manual;
  CMainFrame& f = Make(true, p);
  for (uint32_t id : {ID_FILE_OPEN_NETLOG, ID_EDIT_COPY_ALL, ID_EDIT_COPY, ID_APP_ABOUT})
    EXPECT_FALSE(f.QueryCommand(id).enabled) << id;
  DoubleClick();  // no icon, no dialog: nothing
  f.OnCommand(ID_APP_EXIT);
  EXPECT_EQ(CommPosts(), std::vector<uint32_t>{WM_IPC_SHUTDOWN});
  Post(WM_DOC_COMM_STOPPED);
  Pump();
  EXPECT_TRUE(f.Closed());
}

}  // namespace
