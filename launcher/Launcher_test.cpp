#include "Launcher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "FakeProgramStarter.h"

namespace startell {
namespace {

namespace fs = std::filesystem;

}  // namespace

void PrintTo(const Rect& r, std::ostream* os) {
  *os << "{" << r.left << ", " << r.top << ", " << r.width << ", " << r.height << "}";
}
void PrintTo(const StartRequest& r, std::ostream* os) {
  *os << "{\"" << r.commandLine << "\", "
      << (r.mode == WindowMode::kNormalFocus ? "normal" : "minimised") << "}";
}

namespace {

class FakeView final : public LauncherView {
 public:
  Rect ScreenArea() const override { return screen; }
  Rect MainRect() const override { return rect; }
  void SetMainRect(const Rect& r) override {
    rect = r;
    log.push_back("place");
  }
  bool MainMinimised() const override { return minimised; }
  void ShowForm(Form f) override { log.push_back(Name("show ", f)); }
  void CloseForm(Form f) override { log.push_back(Name("close ", f)); }
  void EndProgram() override { log.push_back("end"); }
  void ReportError(const std::string& text) override { errors.push_back(text); }

  static std::string Name(const char* what, Form f) {
    return std::string(what) + (f == Form::frmInfo ? "frmInfo" : "frmRuntime");
  }

  Rect screen{0, 0, 28800, 16200};
  Rect rect{};
  bool minimised = false;
  std::vector<std::string> log;
  std::vector<std::string> errors;
};

const StartRequest kSetup{"data\\setup", WindowMode::kNormalFocus};
const StartRequest kRuntimeSetup{"data\\rtsetup.bat", WindowMode::kNormalFocus};
const StartRequest kReleaseNotes{"autoutil.bat readme", WindowMode::kMinimisedNoFocus};

class LauncherTest : public ::testing::Test {
 protected:
  LauncherTest() {
    std::string t = (fs::temp_directory_path() / "startell_logic_XXXXXX").string();
    dir_ = ::mkdtemp(t.data());
    file_ = dir_ / "Startell" / "Startell.ini";
  }
  ~LauncherTest() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // One run of the program: a fresh profile, view and launcher, loaded.
  struct Run {
    explicit Run(const fs::path& file) : profile(file), launcher(view, starter, profile) {
      launcher.Load();
    }
    FakeView view;
    FakeProgramStarter starter;
    platform::settings::Profile profile;
    Launcher launcher;
  };

  void WriteSettings(const std::string& text) {
    fs::create_directories(file_.parent_path());
    std::ofstream(file_) << text;
  }
  std::string ReadSettings() const {
    std::ifstream in(file_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  fs::path dir_;
  fs::path file_;
};

TEST_F(LauncherTest, FirstUseOpensAtTheDefaultPlace) {
  Run run(file_);
  EXPECT_EQ(run.view.rect, (Rect{1000, 1000, 6500, 6500}));
  EXPECT_FALSE(run.launcher.ReleaseNotesRead());
}

TEST_F(LauncherTest, PlaceSavedOnCloseIsRestoredNextRunAndOtherKeysSurvive) {
  WriteSettings("[Other]\nKeep=1\n");
  {
    Run run(file_);
    run.view.rect = Rect{2000, 1500, 8000, 7000};
    EXPECT_TRUE(run.launcher.Unload());
  }
  platform::settings::Profile p(file_);
  ASSERT_TRUE(p.Load());
  EXPECT_EQ(p.GetInt("Other", "Keep", 0), 1);
  EXPECT_EQ(ReadMainRect(p), (Rect{2000, 1500, 8000, 7000}));
  Run next(file_);
  EXPECT_EQ(next.view.rect, (Rect{2000, 1500, 8000, 7000}));
}

TEST_F(LauncherTest, StoredPlaceOffTheScreenIsBroughtBack) {
  WriteSettings("[Settings]\nMainLeft=99999\nMainTop=junk\nMainWidth=-4\nMainHeight=6500\n");
  Run run(file_);
  EXPECT_EQ(run.view.rect, (Rect{28800 - kMinMainSize, 1000, kMinMainSize, 6500}));
}

TEST_F(LauncherTest, ClosingWhileMinimisedLeavesTheStoredPlaceUnchanged) {
  const std::string stored =
      "[Settings]\nMainLeft=10\nMainTop=20\nMainWidth=3000\nMainHeight=4000\n";
  WriteSettings(stored);
  Run run(file_);
  run.view.rect = Rect{-32000, -32000, 2400, 400};
  run.view.minimised = true;
  EXPECT_TRUE(run.launcher.Unload());
  EXPECT_EQ(ReadSettings(), stored);
}

TEST_F(LauncherTest, PlaceThatCannotBeSavedIsReportedAsFailure) {
  // The settings folder's name is taken by a file.
  std::ofstream(dir_ / "Startell") << "x";
  Run run(file_);
  run.view.rect = Rect{2000, 1500, 8000, 7000};
  EXPECT_FALSE(run.launcher.Unload());
}

TEST_F(LauncherTest, InstallBeforeReleaseNotesAsksFirstAndStartsNothing) {
  Run run(file_);
  run.launcher.OnInstall();
  EXPECT_TRUE(run.starter.requests.empty());
  EXPECT_EQ(run.launcher.OpenForms(), std::vector<Form>{Form::frmInfo});
  EXPECT_EQ(run.view.log.back(), "show frmInfo");
}

TEST_F(LauncherTest, ReleaseNotesStartMinimisedThenInstallStartsAtOnce) {
  Run run(file_);
  run.launcher.OnRelease();
  EXPECT_TRUE(run.launcher.ReleaseNotesRead());
  run.launcher.OnInstall();
  EXPECT_EQ(run.starter.requests, (std::vector<StartRequest>{kReleaseNotes, kSetup}));
  EXPECT_TRUE(run.launcher.OpenForms().empty());
}

TEST_F(LauncherTest, WarningAnswers) {
  struct Case {
    bool yes;
    std::vector<StartRequest> started;
    bool read;
  } cases[] = {
      {true, {kSetup}, true},
      {false, {}, false},
  };
  for (const Case& c : cases) {
    Run run(file_);
    run.launcher.OnInstall();
    if (c.yes)
      run.launcher.OnYes();
    else
      run.launcher.OnNo();
    EXPECT_EQ(run.view.log.back(), "close frmInfo");
    EXPECT_TRUE(run.launcher.OpenForms().empty()) << c.yes;
    EXPECT_EQ(run.starter.requests, c.started) << c.yes;
    EXPECT_EQ(run.launcher.ReleaseNotesRead(), c.read) << c.yes;
    // After Yes the next Install starts at once; after No it asks again.
    run.launcher.OnInstall();
    EXPECT_EQ(run.launcher.OpenForms().empty(), c.yes);
  }
}

TEST_F(LauncherTest, YesClosesTheWarningBeforeStartingTheInstaller) {
  Run run(file_);
  run.launcher.OnInstall();
  run.starter.failures[kSetup.commandLine] = "no setup";
  run.launcher.OnYes();
  EXPECT_EQ(run.view.log.back(), "close frmInfo");
  EXPECT_EQ(run.view.errors, std::vector<std::string>{"no setup"});
  EXPECT_TRUE(run.launcher.ReleaseNotesRead());
}

TEST_F(LauncherTest, RuntimeInstallerOnlyAfterConfirmation) {
  {
    Run run(file_);
    run.launcher.OnRuntime();
    EXPECT_EQ(run.launcher.OpenForms(), std::vector<Form>{Form::frmRuntime});
    EXPECT_TRUE(run.starter.requests.empty());
    run.launcher.OnRuntimeCancel();
    EXPECT_TRUE(run.launcher.OpenForms().empty());
    EXPECT_TRUE(run.starter.requests.empty());
    EXPECT_EQ(run.view.log.back(), "close frmRuntime");
  }
  {
    Run run(file_);
    run.launcher.OnRuntime();
    run.launcher.OnRuntimeInstall();
    EXPECT_TRUE(run.launcher.OpenForms().empty());
    EXPECT_EQ(run.starter.requests, std::vector<StartRequest>{kRuntimeSetup});
    EXPECT_FALSE(run.launcher.ReleaseNotesRead());
  }
}

TEST_F(LauncherTest, ReleaseNotesFlagIsNotKeptBetweenRuns) {
  {
    Run run(file_);
    run.launcher.OnRelease();
    run.launcher.Unload();
  }
  Run next(file_);
  EXPECT_FALSE(next.launcher.ReleaseNotesRead());
  next.launcher.OnInstall();
  EXPECT_TRUE(next.starter.requests.empty());
  EXPECT_EQ(next.launcher.OpenForms(), std::vector<Form>{Form::frmInfo});
}

TEST_F(LauncherTest, ReleaseNotesThatFailToStartAreReportedAndNotCountedAsRead) {
  Run run(file_);
  run.starter.failures[kReleaseNotes.commandLine] = "Cannot start \"autoutil.bat readme\"";
  run.launcher.OnRelease();
  EXPECT_EQ(run.view.errors, std::vector<std::string>{"Cannot start \"autoutil.bat readme\""});
  EXPECT_FALSE(run.launcher.ReleaseNotesRead());
  // The launcher carries on.
  run.launcher.OnInstall();
  EXPECT_EQ(run.launcher.OpenForms(), std::vector<Form>{Form::frmInfo});
}

TEST_F(LauncherTest, ShowingAnOpenWindowAgainRaisesItWithoutASecondCopy) {
  Run run(file_);
  run.launcher.OnInstall();
  run.launcher.OnInstall();
  run.launcher.OnRuntime();
  EXPECT_EQ(run.launcher.OpenForms(), (std::vector<Form>{Form::frmInfo, Form::frmRuntime}));
  EXPECT_EQ(std::count(run.view.log.begin(), run.view.log.end(), "show frmInfo"), 2);
}

TEST_F(LauncherTest, QuitClosesConfirmationsLastOpenedFirstSavesOnceAndEnds) {
  Run run(file_);
  run.launcher.OnRuntime();
  run.launcher.OnInstall();
  run.view.log.clear();
  run.view.rect = Rect{3000, 3000, 5000, 5000};
  run.launcher.OnQuit();
  EXPECT_EQ(run.view.log,
            (std::vector<std::string>{"close frmInfo", "close frmRuntime", "end"}));
  EXPECT_TRUE(run.launcher.OpenForms().empty());
  // The window's close that follows does not save again.
  const std::string saved = ReadSettings();
  run.view.rect = Rect{1, 2, 3000, 4000};
  EXPECT_TRUE(run.launcher.Unload());
  EXPECT_EQ(ReadSettings(), saved);
  platform::settings::Profile p(file_);
  ASSERT_TRUE(p.Load());
  EXPECT_EQ(ReadMainRect(p), (Rect{3000, 3000, 5000, 5000}));
}

TEST_F(LauncherTest, WindowClosedByItsFrameIsNotClosedAgain) {
  Run run(file_);
  run.launcher.OnInstall();
  run.launcher.OnRuntime();
  run.launcher.FormClosed(Form::frmInfo);
  EXPECT_EQ(run.launcher.OpenForms(), std::vector<Form>{Form::frmRuntime});
  run.view.log.clear();
  run.launcher.Unload();
  EXPECT_EQ(run.view.log, std::vector<std::string>{"close frmRuntime"});
}

}  // namespace
}  // namespace startell
