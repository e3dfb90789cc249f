// The Qt front end under a real X server with a window manager and a tray
// host (Xvfb, openbox, trayer), where window states and the notification
// area are the window manager's: a window minimised through the window
// manager comes back on one activation of the icon, and a tray host that
// starts after the server gets the icon while the stand-in goes (and comes
// back when the tray host ends).  Each test skips when Xvfb, openbox or
// trayer is missing or the display cannot be made.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QSystemTrayIcon>
#include <QWindow>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "QtFrameRig.h"

namespace {

// The full path of a program on PATH, or empty.
std::string FindProgram(const char* program) {
  const char* path = std::getenv("PATH");
  const std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    const size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string file = dirs.substr(start, end - start) + "/" + program;
    if (::access(file.c_str(), X_OK) == 0) return file;
    start = end + 1;
  }
  return {};
}

// A program started in the background, its output thrown away; stopped
// (SIGTERM, then SIGKILL) when the object goes, and by the system when the
// test process dies first.
class Background {
 public:
  // fdForChild: a descriptor the child gets as descriptor 3, or -1.
  static std::unique_ptr<Background> Start(const std::vector<std::string>& args, int fdForChild = -1) {
    const std::string exe = FindProgram(args.front().c_str());
    if (exe.empty()) return nullptr;
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) return nullptr;
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(127);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::dup2(null, 2);
      if (fdForChild >= 0) ::dup2(fdForChild, 3);
      ::execv(exe.c_str(), argv.data());
      ::_exit(127);
    }
    return std::unique_ptr<Background>(new Background(pid));
  }
  ~Background() {
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 300; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
      ::usleep(10000);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }

 private:
  explicit Background(pid_t pid) : pid_(pid) {}
  pid_t pid_;
};

// Processes events until `done` holds or `ms` have passed.
bool WaitFor(const std::function<bool()>& done, int ms = 10000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ::usleep(10000);
  }
  return true;
}

// The X server with its window manager, and the QApplication on it; one per
// test process.
class XSession : public ::testing::Environment {
 public:
  const std::string& SkipReason() const { return skip_; }

  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
    // The X keyboard library reads past its strings' ends in a way that
    // AddressSanitizer's strict string checks report; the offscreen tests
    // cover this code under the sanitizer.
    skip_ = "not under AddressSanitizer";
    return;
#endif
    for (const char* p : {"Xvfb", "openbox", "trayer"})
      if (FindProgram(p).empty()) {
        skip_ = std::string(p) + " is not installed";
        return;
      }
    int fds[2];
    if (::pipe(fds) != 0) {
      skip_ = "no pipe";
      return;
    }
    xvfb_ = Background::Start({"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24",
                               "-nolisten", "tcp"},
                              fds[1]);
    ::close(fds[1]);
    std::string display;
    pollfd p{fds[0], POLLIN, 0};
    char buf[32];
    while (xvfb_ && ::poll(&p, 1, 10000) == 1) {
      const ssize_t n = ::read(fds[0], buf, sizeof buf);
      if (n <= 0) break;
      display.append(buf, static_cast<size_t>(n));
      if (display.find('\n') != std::string::npos) break;
    }
    ::close(fds[0]);
    while (!display.empty() && (display.back() == '\n' || display.back() == ' ')) display.pop_back();
    if (display.empty()) {
      skip_ = "Xvfb did not start";
      xvfb_.reset();
      return;
    }
    ::setenv("DISPLAY", (":" + display).c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::unsetenv("WAYLAND_DISPLAY");
    openbox_ = Background::Start({"openbox"});
    static int argc = 1;
    static char arg0[] = "tkz_qt_xvfb_test";
    static char* argv[] = {arg0, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
    // The window manager is up once it frames a window (mapped again until
    // it does: one mapped before the manager ran may stay unframed).
    QWidget probe;
    probe.resize(100, 60);
    bool framed = false;
    for (int i = 0; i < 10 && openbox_ && !framed; ++i) {
      probe.show();
      framed = WaitFor([&] { return probe.frameGeometry().size() != probe.size(); }, 1000);
      probe.hide();
    }
    if (!framed) skip_ = "openbox did not manage the display";
  }
  void TearDown() override {
    app_.reset();
    openbox_.reset();
    xvfb_.reset();
  }

 private:
  std::string skip_;
  std::unique_ptr<Background> xvfb_, openbox_;
  std::unique_ptr<QApplication> app_;
};

XSession* const g_session =
    static_cast<XSession*>(::testing::AddGlobalTestEnvironment(new XSession));

class QtFrameOnX : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!g_session->SkipReason().empty()) GTEST_SKIP() << g_session->SkipReason();
    rig_ = std::make_unique<QtFrameRig>();
  }
  void TearDown() override {
    rig_.reset();
    trayer_.reset();
  }
  void StartTrayHost() {
    trayer_ = Background::Start({"trayer", "--edge", "bottom", "--align", "right", "--widthtype",
                                 "pixel", "--width", "100", "--height", "24", "--SetDockType",
                                 "true"});
    ASSERT_NE(trayer_, nullptr);
    ASSERT_TRUE(WaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }))
        << "trayer did not take the notification area";
  }
  // Ticks the frame's timer until `done` holds.
  bool TickUntil(const std::function<bool()>& done) {
    return WaitFor([&] {
      rig_->Tick();
      return done();
    });
  }
  bool Exposed(QWidget& w) { return w.windowHandle() != nullptr && w.windowHandle()->isExposed(); }

  std::unique_ptr<QtFrameRig> rig_;
  std::unique_ptr<Background> trayer_;
};

TEST_F(QtFrameOnX, IconMovesIntoATrayHostStartedLaterAndBackToTheStandInWhenItGoes) {
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
  CMainFrame& f = rig_->Make(true);
  EXPECT_FALSE(f.TrayIconShown());
  QWidget* standIn = rig_->tray_.StandIn();
  ASSERT_NE(standIn, nullptr);
  EXPECT_TRUE(WaitFor([&] { return Exposed(*standIn); }));

  StartTrayHost();
  ASSERT_TRUE(TickUntil([&] { return f.TrayIconShown(); }));
  EXPECT_FALSE(standIn->isVisible());
  // Embedded in the tray host: the icon has a place on the screen.
  EXPECT_TRUE(WaitFor([&] { return !rig_->tray_.Icon()->geometry().isEmpty(); }));

  trayer_.reset();
  ASSERT_TRUE(TickUntil([&] { return !f.TrayIconShown(); }));
  EXPECT_TRUE(WaitFor([&] { return Exposed(*standIn); }));
}

TEST_F(QtFrameOnX, WindowMinimisedThroughTheWindowManagerComesBackOnOneActivation) {
  StartTrayHost();
  CMainFrame& f = rig_->Make(true);
  ASSERT_TRUE(f.TrayIconShown());
  rig_->ActivateIcon();
  rig_->LogIn("admin", "demo");
  QtFrameWindow& w = rig_->window_;
  ASSERT_TRUE(WaitFor([&] { return Exposed(w); }));

  w.showMinimized();  // the window manager iconifies it
  ASSERT_TRUE(WaitFor([&] { return w.isMinimized() && !Exposed(w); }));
  rig_->ActivateIcon();
  EXPECT_TRUE(WaitFor([&] { return Exposed(w) && !w.isMinimized(); }));
  rig_->ActivateIcon();
  EXPECT_TRUE(WaitFor([&] { return !w.isVisible(); }));
}

}  // namespace
