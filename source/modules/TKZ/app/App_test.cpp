#include "App.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <vector>

#include "CommandLine.h"
#include "DisplayFlags.h"
#include "LogSink.h"
#include "TestSupport.h"
#include "platform/time/fake_clock.h"

namespace fs = std::filesystem;

namespace {

// ---- command line ------------------------------------------------------------

TEST(CommandLine, SelectsDirectoryFilesAndTitles) {
  struct Case {
    const char* text;
    const char* directory;
    const char* db;
    const char* wg;
    const char* title;
    const char* longTitle;
  } cases[] = {
      {"", "", "drovana.mdb", "drovana.mdw", "Drovana - TKZ", "Drovana Communications Server"},
      {"    ", "", "drovana.mdb", "drovana.mdw", "Drovana - TKZ",
       "Drovana Communications Server"},
      {"site", "site", "drovana.mdb", "drovana.mdw", "Drovana - TKZ",
       "Drovana Communications Server"},
      {"site site1", "site", "site1.mdb", "site1.mdw", "Calvera - TKZ",
       "Calvera Communications Server"},
      {"site site1.old", "site", "site1.mdb", "site1.mdw", "Calvera - TKZ",
       "Calvera Communications Server"},
      // The last blank separates, so the directory keeps the first one.
      {"site  site1", "site ", "site1.mdb", "site1.mdw", "Calvera - TKZ",
       "Calvera Communications Server"},
      {"site ", "site", "drovana.mdb", "drovana.mdw", "Drovana - TKZ",
       "Drovana Communications Server"},
      {"   site", "site", "drovana.mdb", "drovana.mdw", "Drovana - TKZ",
       "Drovana Communications Server"},
      {"  \t site site1", "site", "site1.mdb", "site1.mdw", "Calvera - TKZ",
       "Calvera Communications Server"},
      // A blank inside the directory name needs a database name after it.
      {"my site", "my", "site.mdb", "site.mdw", "Calvera - TKZ", "Calvera Communications Server"},
      {"my site x", "my site", "x.mdb", "x.mdw", "Calvera - TKZ",
       "Calvera Communications Server"},
      // A name that is only an extension leaves the default files.
      {"site .old", "site", "drovana.mdb", "drovana.mdw", "Drovana - TKZ",
       "Drovana Communications Server"},
      {"/srv/sites/a b.c.d", "/srv/sites/a", "b.mdb", "b.mdw", "Calvera - TKZ",
       "Calvera Communications Server"},
  };
  for (const Case& c : cases) {
    const SiteChoice s = ParseCommandLine(c.text);
    SCOPED_TRACE(std::string("command line \"") + c.text + "\"");
    EXPECT_EQ(s.directory, c.directory);
    EXPECT_EQ(s.databaseFile, c.db);
    EXPECT_EQ(s.workgroupFile, c.wg);
    EXPECT_EQ(s.windowTitle, c.title);
    EXPECT_EQ(s.longTitle, c.longTitle);
  }
}

TEST(CommandLine, ArgumentsAreJoinedBySingleBlanks) {
  const char* argv[] = {"TKZ_App", "my site", "name.x"};
  EXPECT_EQ(JoinArguments(3, argv), "my site name.x");
  EXPECT_EQ(JoinArguments(1, argv), "");
  EXPECT_EQ(ParseCommandLine(JoinArguments(3, argv)).directory, "my site");
}

// ---- start-up and settings -----------------------------------------------------

class AppTest : public ::testing::Test {
 protected:
  AppTest() {
    const char* old = getenv("XDG_CONFIG_HOME");
    hadXdg_ = old != nullptr;
    if (hadXdg_) oldXdg_ = old;
    setenv("XDG_CONFIG_HOME", (config_.path()).c_str(), 1);
    g_bDiskLogActive = false;
    app_.SetMessageBox(&box_);
    app_.SetClock(&clock_);
    app_.SetHeadless(false);
  }
  ~AppTest() override {
    if (hadXdg_)
      setenv("XDG_CONFIG_HOME", oldXdg_.c_str(), 1);
    else
      unsetenv("XDG_CONFIG_HOME");
  }
  fs::path SettingsPath() const {
    return config_.path() / "Velmora" / "Drovana Communications System.ini";
  }
  // A site directory holding the given files.
  fs::path MakeSite(const char* name, std::initializer_list<const char*> files) {
    const fs::path dir = sites_.path() / name;
    fs::create_directories(dir);
    for (const char* f : files) WriteFile(dir / f, "");
    return dir;
  }

  // Started on a new site with time stamps off (the day file's lines are
  // then as logged); returns the site.
  fs::path StartWithoutTimeStamps() {
    const fs::path site = MakeSite("s", {"drovana.mdb", "drovana.mdw"});
    g_bTimeStampLog = false;
    fs::create_directories(SettingsPath().parent_path());
    WriteFile(SettingsPath(), "[Settings]\nTime Stamp Log=0\n");
    app_.SetCommandLine(site.string());
    EXPECT_TRUE(app_.InitInstance());
    return site;
  }

  FlagGuard flags_;
  CwdGuard cwd_;
  TempDir config_, sites_;
  bool hadXdg_ = false;
  std::string oldXdg_;
  RecordingMessageBox box_;
  platform::time::FakeClock clock_;
  CApp app_;
};

TEST_F(AppTest, StartupFailuresShowTheirMessageAndStartNoDocument) {
  const fs::path empty = MakeSite("empty", {});
  const fs::path noWorkgroup = MakeSite("nowg", {"drovana.mdb"});
  const fs::path calvera = MakeSite("calvera", {"drovana.mdb", "drovana.mdw"});
  WriteFile(sites_.path() / "plainfile", "");
  struct Case {
    std::string commandLine;
    std::string message;
  } cases[] = {
      {"", "Error: Database subdirectory not specified.\n  Usage: TKZ_App <Database subdirectory>\n"},
      {"   ", "Error: Database subdirectory not specified.\n  Usage: TKZ_App <Database subdirectory>\n"},
      {(sites_.path() / "missing").string(),
       "Error: Unable to change to subdirectory \"" + (sites_.path() / "missing").string() + "\"."},
      {(sites_.path() / "plainfile").string(),
       "Error: Unable to change to subdirectory \"" + (sites_.path() / "plainfile").string() +
           "\"."},
      {empty.string(), "Error: Unable to open \"drovana.mdb\"."},
      {noWorkgroup.string(), "Error: Unable to open \"drovana.mdw\"."},
      {calvera.string() + " site1.old", "Error: Unable to open \"site1.mdb\"."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("command line \"" + c.commandLine + "\"");
    box_.Clear();
    app_.SetCommandLine(c.commandLine);
    EXPECT_FALSE(app_.InitInstance());
    ASSERT_EQ(box_.texts().size(), 1u);
    EXPECT_EQ(box_.texts()[0], c.message);
    EXPECT_EQ(box_.icons()[0], MessageBoxPort::Icon::kStop);
    EXPECT_FALSE(app_.ReachedDocument());
    EXPECT_EQ(app_.LogView(), nullptr);
    EXPECT_EQ(g_pLogView.load(), nullptr);
  }
}

TEST_F(AppTest, StartsOnASiteAndSelectsItsFilesAndTitles) {
  const fs::path site = MakeSite("s", {"site1.mdb", "site1.mdw"});
  app_.SetCommandLine(site.string() + " site1.old");
  ASSERT_TRUE(app_.InitInstance());
  EXPECT_TRUE(box_.texts().empty());
  EXPECT_EQ(fs::current_path(), fs::canonical(site));
  EXPECT_EQ(g_strDatabaseFile, "site1.mdb");
  EXPECT_EQ(g_strWorkgroupFile, "site1.mdw");
  EXPECT_EQ(g_strWindowTitle, "Calvera - TKZ");
  EXPECT_EQ(g_strLongTitle, "Calvera Communications Server");
  ASSERT_NE(app_.LogView(), nullptr);
  EXPECT_EQ(g_pLogView.load(), app_.LogView());
  EXPECT_NE(app_.LogView()->CopyAllText().find("no database is opened"), std::string::npos);
  EXPECT_EQ(app_.ExitInstance(), 0);
  EXPECT_EQ(g_pLogView.load(), nullptr);
}

TEST_F(AppTest, OneServerPerSiteASecondIsRefusedUntilTheFirstHasExited) {
  const fs::path site = MakeSite("s", {"drovana.mdb", "drovana.mdw", "site1.mdb", "site1.mdw"});
  app_.SetCommandLine(site.string());
  ASSERT_TRUE(app_.InitInstance());
  EXPECT_EQ(ReadFile(site / "drovana.mdb.lock"), std::to_string(getpid()) + "\n");

  RecordingMessageBox box;
  CApp second;
  second.SetMessageBox(&box);
  second.SetClock(&clock_);
  second.SetCommandLine(site.string());
  EXPECT_FALSE(second.InitInstance());
  ASSERT_EQ(box.texts().size(), 1u);
  EXPECT_EQ(box.texts()[0], "Error: Another TKZ_App (process " + std::to_string(getpid()) +
                                ") is already serving the database \"drovana.mdb\" in \"" + site.string() +
                                "\".\nOnly one server may run on a site; this one does not start.");
  EXPECT_FALSE(second.ReachedDocument());

  // The site's other database is another site's server.
  second.SetCommandLine(site.string() + " site1");
  EXPECT_TRUE(second.InitInstance());
  second.ExitInstance();

  app_.ExitInstance();
  box.Clear();
  second.SetCommandLine(site.string());
  EXPECT_TRUE(second.InitInstance());
  EXPECT_TRUE(box.texts().empty());
  second.ExitInstance();
}

TEST_F(AppTest, ALockFileThatCannotBeMadeIsSaidAndStartUpGoesOn) {
  const fs::path site = MakeSite("s", {"drovana.mdb", "drovana.mdw"});
  fs::create_symlink(site / "elsewhere", site / "drovana.mdb.lock");  // never followed
  app_.SetCommandLine(site.string());
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(app_.InitInstance());
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("Warning: The site lock \"drovana.mdb.lock\" cannot be made (", 0), 0u) << err;
  EXPECT_FALSE(fs::exists(site / "elsewhere"));
  app_.ExitInstance();
}

// Records what the application does with its document.
class RecordingDocument final : public CDocument {
 public:
  RecordingDocument(std::vector<std::string>& events, bool opens) : events_(events), opens_(opens) {}
  ~RecordingDocument() override { events_.push_back("destroyed"); }
  bool OnNewDocument() override {
    events_.push_back("open");
    return opens_;
  }
  void OnCloseDocument() override {
    // The log view still exists while the document closes.
    events_.push_back(g_pLogView.load() != nullptr ? "close, log view there" : "close, no log view");
  }

 private:
  std::vector<std::string>& events_;
  bool opens_;
};

TEST_F(AppTest, TheDocumentIsOpenedOnTheSiteAndClosedBeforeTheLogViewGoes) {
  const fs::path site = MakeSite("s", {"drovana.mdb", "drovana.mdw"});
  for (bool opens : {true, false}) {
    SCOPED_TRACE(opens ? "open succeeds" : "open fails");
    std::vector<std::string> events;
    app_.SetDocumentFactory([&events, opens] { return std::make_unique<RecordingDocument>(events, opens); });
    app_.SetCommandLine(site.string());
    EXPECT_EQ(app_.InitInstance(), opens);
    if (opens) {
      EXPECT_NE(app_.Document(), nullptr);
      app_.ExitInstance();
      EXPECT_EQ(events, (std::vector<std::string>{"open", "close, log view there", "destroyed"}));
    } else {
      // A failed open destroys the document without its close.
      EXPECT_EQ(app_.Document(), nullptr);
      EXPECT_EQ(events, (std::vector<std::string>{"open", "destroyed"}));
    }
    app_.SetDocumentFactory(nullptr);
  }
}

TEST_F(AppTest, NoSettingsFileGivesEverySwitchOn) {
  for (std::atomic<bool>* f : {&g_bCommDebug, &g_bIpcCommDebug, &g_bDocDebug, &g_bInSysTray,
                               &g_bTimeStampLog, &g_bLogToDisk, &g_bDirectConnectDebug})
    f->store(false);
  g_bCommFaults = false;
  app_.SetCommandLine("");
  EXPECT_FALSE(app_.InitInstance());  // settings are read before the command line
  EXPECT_EQ(app_.SettingsFile(), SettingsPath());
  EXPECT_TRUE(g_bCommDebug && g_bIpcCommDebug && g_bDocDebug && g_bInSysTray && g_bTimeStampLog &&
              g_bLogToDisk && g_bDirectConnectDebug);
  EXPECT_FALSE(g_bCommFaults);
  EXPECT_TRUE(g_bDiskLogActive);  // "Log to disk" switches the disk log on at once
}

TEST_F(AppTest, ZerosAreReadBack) {
  fs::create_directories(SettingsPath().parent_path());
  WriteFile(SettingsPath(),
            "[Settings]\nComm Debug Messages=0\nIPC Comm Debug Messages=0\n"
            "Doc Debug Messages=0\nInSysTray=0\nTime Stamp Log=0\nLog to disk=0\n"
            "Direct Connect Comms Debug=0\n");
  app_.SetCommandLine("");
  app_.InitInstance();
  EXPECT_FALSE(g_bCommDebug || g_bIpcCommDebug || g_bDocDebug || g_bInSysTray ||
               g_bTimeStampLog || g_bLogToDisk || g_bDirectConnectDebug);
  EXPECT_FALSE(g_bDiskLogActive);
}

TEST_F(AppTest, NonZeroValuesReadAsOn) {
  fs::create_directories(SettingsPath().parent_path());
  WriteFile(SettingsPath(), "[Settings]\nInSysTray=7\nDoc Debug Messages=-1\nLog to disk=0\n");
  app_.SetCommandLine("");
  app_.InitInstance();
  EXPECT_TRUE(g_bInSysTray);
  EXPECT_TRUE(g_bDocDebug);
  EXPECT_FALSE(g_bLogToDisk);
  EXPECT_TRUE(g_bCommDebug);
}

TEST_F(AppTest, ExitWritesTheSevenSettingsInOrderAndNeverCommFaults) {
  const fs::path site = MakeSite("s", {"drovana.mdb", "drovana.mdw"});
  app_.SetCommandLine(site.string());
  ASSERT_TRUE(app_.InitInstance());
  // The menu commands change the switches in between.
  g_bIpcCommDebug = false;
  g_bInSysTray = false;
  g_bCommFaults = true;
  EXPECT_EQ(app_.ExitInstance(), 0);
  EXPECT_EQ(ReadFile(SettingsPath()),
            "[Settings]\n"
            "Comm Debug Messages=1\n"
            "IPC Comm Debug Messages=0\n"
            "Doc Debug Messages=1\n"
            "Time Stamp Log=1\n"
            "Log to disk=1\n"
            "InSysTray=0\n"
            "Direct Connect Comms Debug=1\n");
}

TEST_F(AppTest, ExitWritesTheSevenSettingsInOrderOverAFileHoldingThemInAnother) {
  const fs::path site = MakeSite("s", {"drovana.mdb", "drovana.mdw"});
  fs::create_directories(SettingsPath().parent_path());
  WriteFile(SettingsPath(),
            "[Window]\nLeft=10\n\n"
            "[Settings]\nInSysTray=0\nDirect Connect Comms Debug=0\nRecent=site1\n"
            "Comm Debug Messages=0\nLog to disk=0\ntime stamp log=0\nDoc Debug Messages=1\n"
            "IPC Comm Debug Messages=1\n\n"
            "[Other]\nKey=value\n");
  app_.SetCommandLine(site.string());
  ASSERT_TRUE(app_.InitInstance());
  g_bDocDebug = false;
  EXPECT_EQ(app_.ExitInstance(), 0);
  // Other keys and sections stay; the seven follow in the write order.
  EXPECT_EQ(ReadFile(SettingsPath()),
            "[Window]\nLeft=10\n\n"
            "[Settings]\n"
            "Recent=site1\n"
            "Comm Debug Messages=0\n"
            "IPC Comm Debug Messages=1\n"
            "Doc Debug Messages=0\n"
            "Time Stamp Log=0\n"
            "Log to disk=0\n"
            "InSysTray=0\n"
            "Direct Connect Comms Debug=0\n\n"
            "[Other]\nKey=value\n");
}

TEST_F(AppTest, DayFileLandsInTheSiteDirectory) {
  const fs::path site = StartWithoutTimeStamps();
  app_.ExitInstance();
  const std::string day = ReadFile(site / "Thursday.log");  // the fake clock's day
  EXPECT_EQ(day.rfind("Drovana - TKZ: site directory \"" + site.string() + "\"", 0), 0u) << day;
}

// The counts of lines folded when the program ends are in the day file.
TEST_F(AppTest, ExitWritesTheCountOfAFloodIntoTheDayFile) {
  const fs::path site = StartWithoutTimeStamps();
  for (int i = 0; i < 10; ++i) LogPrintf("Error: flooded.\n");
  app_.ExitInstance();
  const std::string day = ReadFile(site / "Thursday.log");
  EXPECT_NE(day.find("Error: flooded.\nError: flooded.\nError: flooded.\n"
                     "Error: flooded. (repeated 7 more times in 1 s)\n"),
            std::string::npos)
      << day;
}

// A FIFO in place of the settings file neither holds start-up nor is
// replaced at exit: the defaults are used and both ends say so.
TEST_F(AppTest, ASettingsFileThatIsAFifoGivesTheDefaultsAndIsLeftAsItIs) {
  const fs::path site = MakeSite("s", {"drovana.mdb", "drovana.mdw"});
  fs::create_directories(SettingsPath().parent_path());
  ASSERT_EQ(::mkfifo(SettingsPath().c_str(), 0600), 0);
  g_bInSysTray = false;
  app_.SetCommandLine(site.string());
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(app_.InitInstance());
  EXPECT_TRUE(g_bInSysTray);
  EXPECT_EQ(app_.ExitInstance(), 0);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("was not read (not a regular file); the defaults are used."), std::string::npos) << err;
  EXPECT_NE(err.find("Warning: the settings were not written"), std::string::npos) << err;
  EXPECT_TRUE(fs::is_fifo(SettingsPath()));
}

// ---- timer and idle slots ----------------------------------------------------

struct Calls {
  std::vector<std::pair<int, std::uint32_t>> ticks;
};
int TickA(void* ctx, std::uint32_t id) {
  static_cast<Calls*>(ctx)->ticks.push_back({1, id});
  return 0;
}
int TickB(void* ctx, std::uint32_t id) {
  static_cast<Calls*>(ctx)->ticks.push_back({2, id});
  return 0;
}
std::uint8_t IdleMore(void* ctx) {
  ++*static_cast<int*>(ctx);
  return 1;
}

TEST(AppSlots, TimerSlotKeepsItsFirstRegistrationUntilRemovedByTheSamePair) {
  CApp app;
  Calls a, b;
  EXPECT_TRUE(app.AddTimerCallback(TickA, &a));
  EXPECT_TRUE(app.AddTimerCallback(TickB, &b));  // slot taken: ignored
  app.OnTimerTick(1);
  EXPECT_TRUE(app.RemoveTimerCallback(TickA, &b));  // other ctx: ignored
  EXPECT_TRUE(app.RemoveTimerCallback(TickB, &a));  // other fn: ignored
  app.OnTimerTick(1);
  EXPECT_TRUE(app.RemoveTimerCallback(TickA, &a));
  app.OnTimerTick(1);
  EXPECT_EQ(a.ticks, (std::vector<std::pair<int, std::uint32_t>>{{1, 1}, {1, 1}}));
  EXPECT_TRUE(b.ticks.empty());
}

TEST(AppSlots, DisabledCallbacksAreNotCalled) {
  CApp app;
  Calls a;
  int idle = 0;
  app.AddTimerCallback(TickA, &a);
  app.SetIdleCallback(IdleMore, &idle);
  EXPECT_TRUE(app.OnIdle(0));
  EXPECT_EQ(app.EnableCallbacks(0), 1);
  app.OnTimerTick(1);
  EXPECT_FALSE(app.OnIdle(0));
  EXPECT_EQ(app.EnableCallbacks(1), 0);
  app.OnTimerTick(7);
  EXPECT_EQ(a.ticks, (std::vector<std::pair<int, std::uint32_t>>{{1, 7}}));
  EXPECT_EQ(idle, 1);
  app.ClearIdleCallback(IdleMore, &idle);
  EXPECT_FALSE(app.OnIdle(0));
}

// ---- AdjustTime --------------------------------------------------------------

class TzGuard {
 public:
  explicit TzGuard(const char* tz) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~TzGuard() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

constexpr std::time_t kJan15_2021 = 1610712000;  // 2021-01-15 12:00:00 UTC
constexpr std::time_t kJul15_2021 = 1626350400;  // 2021-07-15 12:00:00 UTC

TEST(AdjustTime, AddsTheLocalOffsetAndAnHourOfDaylightSaving) {
  struct Case {
    const char* tz;
    std::time_t t;
    std::time_t offset;
  } cases[] = {
      {"UTC0", kJan15_2021, 0},
      {"IST-5:30", kJan15_2021, 19800},
      {"EST5EDT,M3.2.0,M11.1.0", kJan15_2021, -18000},
      {"EST5EDT,M3.2.0,M11.1.0", kJul15_2021, -14400},
      {"NZST-12NZDT,M9.5.0,M4.1.0/3", kJan15_2021, 46800},
      {"NZST-12NZDT,M9.5.0,M4.1.0/3", kJul15_2021, 43200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tz);
    TzGuard tz(c.tz);
    EXPECT_EQ(CApp::AdjustTime(c.t, false), c.t + c.offset);
    EXPECT_EQ(CApp::AdjustTime(c.t, true), c.t - c.offset);
  }
}

TEST(AdjustTime, RoundTripReturnsTheTimeExceptAcrossADaylightSavingChange) {
  TzGuard tz("EST5EDT,M3.2.0,M11.1.0");
  for (std::time_t t : {kJan15_2021, kJul15_2021, kJan15_2021 + 86400 * 100 + 1234}) {
    EXPECT_EQ(CApp::AdjustTime(CApp::AdjustTime(t, false), true), t);
    EXPECT_EQ(CApp::AdjustTime(CApp::AdjustTime(t, true), false), t);
  }
  // 2021-03-14 08:00 UTC is 04:00 EDT, an hour after the change; its local
  // value falls before the change, so the way back uses standard time.
  const std::time_t afterChange = 1615708800;
  EXPECT_EQ(CApp::AdjustTime(CApp::AdjustTime(afterChange, false), true), afterChange + 3600);
}

TEST(AdjustTime, UnconvertibleTimeIsLoggedAndReturnedUnchanged) {
  FlagGuard flags;
  g_bTimeStampLog = false;
  g_bDiskLogActive = false;
  platform::time::FakeClock clock;
  LogBuffer log(clock);
  const std::time_t huge = std::numeric_limits<std::time_t>::max();
  EXPECT_EQ(CApp::AdjustTime(huge, false), huge);
  EXPECT_EQ(log.CopyAllText(), "Error: CApp::AdjustTime() failed, TimeT = 0x7fffffffffffffff.\n");
}

}  // namespace
