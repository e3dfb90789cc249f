#include "QtLauncherView.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <filesystem>

#include "FakeProgramStarter.h"
#include "Module1.h"
#include "Texts.h"

// Fontconfig keeps caches for the life of the process that LeakSanitizer
// would report as leaks; they are not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace startell {
namespace {

namespace fs = std::filesystem;

class QtLauncherSmoke : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char arg0[] = "launcher_qt_smoke_test";
    static char* argv[] = {arg0, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
  }

  QtLauncherSmoke() {
    std::string t = (fs::temp_directory_path() / "startell_qt_XXXXXX").string();
    dir_ = ::mkdtemp(t.data());
    profile_.emplace(dir_ / "Startell" / "Startell.ini");
    launcher_.emplace(view_, starter_, *profile_);
    view_.Attach(&*launcher_);
    view_.SetErrorSink([this](const std::string& e) { errors_.push_back(e); });
    launcher_->Load();
    view_.Main()->show();
    QCoreApplication::processEvents();
  }
  ~QtLauncherSmoke() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  QPushButton* ButtonOf(QWidget* w, const char* name) {
    auto* b = w->findChild<QPushButton*>(QString::fromUtf8(name));
    EXPECT_NE(b, nullptr) << name;
    return b;
  }
  void Click(QWidget* w, const char* name) {
    if (QPushButton* b = ButtonOf(w, name)) b->click();
    QCoreApplication::processEvents();
  }
  QWidget* Info() { return view_.FormWindow(Form::frmInfo); }
  Rect Saved() const {
    platform::settings::Profile saved(dir_ / "Startell" / "Startell.ini");
    EXPECT_TRUE(saved.Load());
    return ReadMainRect(saved);
  }
  QWidget* Runtime() { return view_.FormWindow(Form::frmRuntime); }

  fs::path dir_;
  QtLauncherView view_;
  FakeProgramStarter starter_;
  std::optional<platform::settings::Profile> profile_;
  std::optional<Launcher> launcher_;
  std::vector<std::string> errors_;
};

TEST_F(QtLauncherSmoke, WindowsCarryTheirCaptionsAndTexts) {
  QWidget* m = view_.Main();
  EXPECT_EQ(m->windowTitle().toStdString(), texts::kMainCaption);
  EXPECT_EQ(Info()->windowTitle().toStdString(), texts::kInfoCaption);
  EXPECT_EQ(Runtime()->windowTitle().toStdString(), texts::kRuntimeCaption);
  struct Case {
    QWidget* window;
    const char* name;
    const char* text;
  } buttons[] = {
      {m, "Install", "Install Calvera"},      {m, "release", "Read Release Notes"},
      {m, "runtime", "Install Access Runtime"}, {m, "Quit", "Quit"},
      {Info(), "yesButton", "Yes"},           {Info(), "noButton", "No"},
      {Runtime(), "OKButton", "Install"},     {Runtime(), "CancelButton", "Cancel"},
  };
  for (const Case& c : buttons) {
    QPushButton* b = ButtonOf(c.window, c.name);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->text().toStdString(), c.text);
    if (c.window != m) {
      EXPECT_EQ(b->font().family().toStdString(), "Tahoma") << c.name;
    }
  }
  EXPECT_EQ(m->findChild<QLabel*>("Version")->text().toStdString(), "Version 5.0.1");
  EXPECT_EQ(Info()->findChild<QLabel*>("Label1")->text().toStdString(), texts::kInfoText);
  EXPECT_EQ(Runtime()->findChild<QLabel*>("Label1")->text().toStdString(), texts::kRuntimeText);
  EXPECT_EQ(Info()->findChild<QLabel*>("Label1")->font().family().toStdString(), "Tahoma");
}

TEST_F(QtLauncherSmoke, OpensAtTheDefaultPlaceWithThePictureInView) {
  QWidget* m = view_.Main();
  const double dpi = m->screen()->logicalDotsPerInchX();
  // Position and size are the window's outer rectangle.
  EXPECT_EQ(m->frameGeometry().width(), TwipsToPixels(6500, dpi));
  EXPECT_EQ(m->frameGeometry().x(), TwipsToPixels(1000, dpi));
  auto* image = m->findChild<QLabel*>("BackImage");
  ASSERT_NE(image, nullptr);
  EXPECT_FALSE(image->pixmap().isNull());
  EXPECT_TRUE(image->parentWidget()->rect().contains(image->geometry()));
}

TEST_F(QtLauncherSmoke, ButtonsDriveTheLauncher) {
  QWidget* m = view_.Main();
  Click(m, "Install");
  EXPECT_TRUE(Info()->isVisible());
  Click(Info(), "noButton");
  EXPECT_FALSE(Info()->isVisible());
  EXPECT_TRUE(starter_.requests.empty());

  Click(m, "release");
  Click(m, "Install");
  EXPECT_FALSE(Info()->isVisible());

  Click(m, "runtime");
  EXPECT_TRUE(Runtime()->isVisible());
  Click(Runtime(), "CancelButton");
  EXPECT_FALSE(Runtime()->isVisible());
  Click(m, "runtime");
  Click(Runtime(), "OKButton");
  EXPECT_FALSE(Runtime()->isVisible());
  EXPECT_EQ(starter_.requests, (std::vector<StartRequest>{ReleaseNotesRequest(),
                                                          ProductInstallerRequest(),
                                                          RuntimeInstallerRequest()}));
}

TEST_F(QtLauncherSmoke, FailedStartIsReportedAndClosingSavesThePlace) {
  starter_.failures[kReleaseNotesCommand] = "no release notes here";
  QWidget* m = view_.Main();
  Click(m, "release");
  EXPECT_EQ(errors_, std::vector<std::string>{"no release notes here"});
  Click(m, "Install");  // not read: asks first
  EXPECT_TRUE(Info()->isVisible());
  Click(m, "runtime");

  const double dpi = m->screen()->logicalDotsPerInchX();
  m->resize(500, 400);
  m->move(30, 60);
  QCoreApplication::processEvents();
  const QRect outer = m->frameGeometry();
  m->close();
  QCoreApplication::processEvents();
  EXPECT_FALSE(Info()->isVisible());
  EXPECT_FALSE(Runtime()->isVisible());
  EXPECT_EQ(Saved(), (Rect{PixelsToTwips(outer.x(), dpi), PixelsToTwips(outer.y(), dpi),
                           PixelsToTwips(outer.width(), dpi), PixelsToTwips(outer.height(), dpi)}));
}

// The stored place is the window's outer rectangle, frame included, and it
// comes back as it was stored: run after run, the window neither grows by
// its frame nor creeps by pixel rounding.
TEST_F(QtLauncherSmoke, StoresTheOuterRectangleAndGivesItBackRunAfterRun) {
  QWidget* m = view_.Main();
  const double dpi = m->screen()->logicalDotsPerInchX();
  auto pixels = [dpi](const Rect& r) {
    return QRect(TwipsToPixels(r.left, dpi), TwipsToPixels(r.top, dpi),
                 TwipsToPixels(r.width, dpi), TwipsToPixels(r.height, dpi));
  };
  // The platform frames its windows, or this would show nothing.
  ASSERT_NE(m->frameGeometry().size(), m->size());
  EXPECT_EQ(m->frameGeometry(), pixels(kDefaultMainRect));
  m->close();
  QCoreApplication::processEvents();
  EXPECT_EQ(Saved(), kDefaultMainRect);

  QRect userOuter;
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    QtLauncherView view;
    FakeProgramStarter starter;
    platform::settings::Profile profile(dir_ / "Startell" / "Startell.ini");
    Launcher launcher(view, starter, profile);
    view.Attach(&launcher);
    launcher.Load();
    view.Main()->show();
    QCoreApplication::processEvents();
    if (run == 0) {
      EXPECT_EQ(view.Main()->frameGeometry(), pixels(kDefaultMainRect));
      // The user moves and sizes the window.
      view.Main()->move(40, 50);
      view.Main()->resize(520, 380);
      QCoreApplication::processEvents();
      userOuter = view.Main()->frameGeometry();
    } else {
      EXPECT_EQ(view.Main()->frameGeometry(), userOuter);
    }
    view.Main()->close();
    QCoreApplication::processEvents();
    EXPECT_EQ(pixels(Saved()), userOuter);
  }
}

// Writes pictures of the three windows when STARTELL_GRAB_DIR names a
// directory; otherwise does nothing.
TEST_F(QtLauncherSmoke, GrabsWindowsWhenAsked) {
  const QByteArray dir = qgetenv("STARTELL_GRAB_DIR");
  if (dir.isEmpty()) GTEST_SKIP() << "STARTELL_GRAB_DIR not set";
  Click(view_.Main(), "Install");
  Click(view_.Main(), "runtime");
  const QString d = QString::fromUtf8(dir);
  EXPECT_TRUE(view_.Main()->grab().save(d + "/frmMain.png"));
  EXPECT_TRUE(Info()->grab().save(d + "/frmInfo.png"));
  EXPECT_TRUE(Runtime()->grab().save(d + "/frmRuntime.png"));
}

}  // namespace
}  // namespace startell
