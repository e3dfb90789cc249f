// The server program as an operator runs it: headless on a new site, up,
// then stopped by a signal through the ordered shutdown.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "site.h"

namespace {

struct Child {
  pid_t pid = -1;
  int out = -1;  // standard output
  int err = -1;  // standard error
};

Child Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  int o[2], e[2];
  if (::pipe(o) != 0 || ::pipe(e) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(o[1], 1);
    ::dup2(e[1], 2);
    ::close(o[0]);
    ::close(e[0]);
    ::close(o[1]);
    ::close(e[1]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> all;
    for (char** p = environ; *p != nullptr; ++p) {
      const std::string v = *p;
      // A display would bring up the window.
      if (v.rfind("DISPLAY=", 0) == 0 || v.rfind("WAYLAND_DISPLAY=", 0) == 0) continue;
      all.push_back(v);
    }
    for (const std::string& v : env) all.push_back(v);
    std::vector<char*> envp;
    for (std::string& v : all) envp.push_back(v.data());
    envp.push_back(nullptr);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(o[1]);
  ::close(e[1]);
  return {pid, o[0], e[0]};
}

// Reads standard output until `needle` has appeared (or the output ends).
bool ReadUntil(int fd, std::string& text, const std::string& needle) {
  char buf[4096];
  while (text.find(needle) == std::string::npos) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    text.append(buf, static_cast<size_t>(n));
  }
  return true;
}

std::string ReadAll(int fd) {
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return text;
}

int Wait(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// How long start-up may still take after a stop signal (the server's
// StopSignals::kStartUpGraceMs, rounded up).
constexpr int StopSignalsGraceSeconds = 2;

std::string OwnAddress() { return "127.8." + std::to_string(getpid() % 250 + 1) + ".1"; }

class ServerProcess : public ::testing::Test {
 protected:
  ServerProcess() {
    site_ = (dir_.path() / "site").string();
    drovana::site::CreateSite({site_, "drovana", "admin", "demo"});
    env_ = {"DROVANA_HEADLESS=1",
            "XDG_CONFIG_HOME=" + (dir_.path() / "config").string(),
            // A loopback address of this run's own (127.8.K.1), broadcasts
            // kept to itself.
            "DROVANA_NET_ADDR=" + OwnAddress(), "DROVANA_NET_BIND_OWN=1",
            "DROVANA_NET_BCAST_TO=" + OwnAddress(), "DROVANA_COM1=none", "DROVANA_COM2=none",
            "DROVANA_COM3=none", "LC_ALL=C"};
  }
  TempDir dir_;
  std::string site_;
  std::vector<std::string> env_;
};

TEST_F(ServerProcess, ComesUpAndShutsDownInOrderOnAStopSignal) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    Child c = Spawn({TKZ_APP_EXE, site_}, env_);
    ASSERT_GT(c.pid, 0);
    std::string out;
    ASSERT_TRUE(ReadUntil(c.out, out, "IPC DLL supports")) << out << ReadAll(c.err);
    EXPECT_NE(out.find("Initializing IPC\n"), std::string::npos) << out;
    ASSERT_EQ(::kill(c.pid, sig), 0);
    out += ReadAll(c.out);
    const std::string err = ReadAll(c.err);
    EXPECT_EQ(Wait(c.pid), 0) << out << err;

    // The comm thread shut down first, then the document closed.
    const size_t shut = out.find("Shutting down communications, please wait.\n");
    const size_t closing = out.find("Closing log file...\n");
    const size_t offline = out.rfind("Setting status for all racks and nodes to offline.\n");
    ASSERT_NE(shut, std::string::npos) << out;
    ASSERT_NE(closing, std::string::npos) << out;
    ASSERT_NE(offline, std::string::npos) << out;
    EXPECT_LT(shut, closing);
    EXPECT_LT(closing, offline);
    EXPECT_EQ(err, "");
    // The settings were written back at exit.
    const std::string ini =
        ReadFile(dir_.path() / "config" / "Velmora" / "Drovana Communications System.ini");
    EXPECT_NE(ini.find("InSysTray"), std::string::npos) << ini;
  }
}

TEST_F(ServerProcess, StartUpFailureEndsWithStatusOneAndTheMessageOnStandardError) {
  Child c = Spawn({TKZ_APP_EXE, (dir_.path() / "missing").string()}, env_);
  ASSERT_GT(c.pid, 0);
  const std::string out = ReadAll(c.out);
  const std::string err = ReadAll(c.err);
  EXPECT_EQ(Wait(c.pid), 1);
  EXPECT_NE(err.find("Error: Unable to change to subdirectory"), std::string::npos) << err;
}

// The exit status of the process, or -1 when it has not ended within the
// bound (it is then killed).
int WaitBounded(pid_t pid, int seconds) {
  for (int i = 0; i < seconds * 100; ++i) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0) return -1;
    ::usleep(10000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -1;
}

// A start-up that waits on a database another program holds locked is still
// stopped by a signal, within moments, saying so.
TEST_F(ServerProcess, AStopSignalEndsAStartUpThatIsHeldUp) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((site_ + "/drovana.mdb").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE; UPDATE tblNode SET NodeName = NodeName;", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  Child c = Spawn({TKZ_APP_EXE, site_}, env_);
  ASSERT_GT(c.pid, 0);
  std::string out;
  ASSERT_TRUE(ReadUntil(c.out, out, "Checking TKZ stored queries")) << out;
  ASSERT_EQ(::kill(c.pid, SIGTERM), 0);
  EXPECT_EQ(WaitBounded(c.pid, 2 * StopSignalsGraceSeconds + 3), 1);
  sqlite3_close(db);
  ::close(c.out);
  EXPECT_NE(ReadAll(c.err).find("Stopped by a signal during start-up.\n"), std::string::npos);
}

// One server per site; a second is refused with the reason on standard
// error, and a server killed outright leaves nothing that blocks the next
// start, which fails what the killed one left in process.
TEST_F(ServerProcess, ASecondServerOnASiteIsRefusedAndAKilledOneBlocksNoRestart) {
  Child first = Spawn({TKZ_APP_EXE, site_}, env_);
  ASSERT_GT(first.pid, 0);
  std::string out;
  ASSERT_TRUE(ReadUntil(first.out, out, "IPC DLL supports")) << out << ReadAll(first.err);

  Child second = Spawn({TKZ_APP_EXE, site_}, env_);
  ASSERT_GT(second.pid, 0);
  const std::string secondOut = ReadAll(second.out);
  const std::string secondErr = ReadAll(second.err);
  EXPECT_EQ(Wait(second.pid), 1);
  EXPECT_NE(secondErr.find("Error: Another TKZ_App (process " + std::to_string(first.pid) +
                           ") is already serving the database \"drovana.mdb\""),
            std::string::npos)
      << secondErr;
  EXPECT_EQ(secondOut, "") << "it opened nothing";

  // A request the first server has claimed when it is killed.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((site_ + "/drovana.mdb").c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 5000);
  EXPECT_EQ(sqlite3_exec(db, "INSERT INTO tblTKZRequest (RID, RequestState, RequestType) VALUES (5, 3, 9);",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  ASSERT_EQ(::kill(first.pid, SIGKILL), 0);
  EXPECT_EQ(Wait(first.pid), 128 + SIGKILL);
  ::close(first.out);
  ::close(first.err);

  Child restart = Spawn({TKZ_APP_EXE, site_}, env_);
  ASSERT_GT(restart.pid, 0);
  out.clear();
  ASSERT_TRUE(ReadUntil(restart.out, out, "IPC DLL supports")) << out << ReadAll(restart.err);
  EXPECT_NE(out.find("Ended 1 request(s) that an earlier run of TKZ left in process.\n"), std::string::npos) << out;
  sqlite3_stmt* s = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT RequestState, RequestDiagnostic FROM tblTKZRequest WHERE RID = 5", -1, &s,
                               nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(s, 0), 5);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(s, 1)),
               "Error: TKZ stopped while this request was in process; it is not run again.");
  sqlite3_finalize(s);
  sqlite3_close(db);
  ASSERT_EQ(::kill(restart.pid, SIGTERM), 0);
  out += ReadAll(restart.out);
  const std::string err = ReadAll(restart.err);
  EXPECT_EQ(Wait(restart.pid), 0) << out << err;
}

#ifdef TKZ_APP_HAS_WINDOW
// True once the process blocks SIGTERM (its stop signals are taken by the
// server from then on), read from its status in /proc; false if it ended.
bool StopSignalsTaken(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  for (int i = 0; i < 2000; ++i) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return false;
    char line[256];
    unsigned long long blocked = 0;
    bool zombie = false;
    while (std::fgets(line, sizeof line, f) != nullptr) {
      if (std::strncmp(line, "SigBlk:", 7) == 0) blocked = std::strtoull(line + 7, nullptr, 16);
      if (std::strncmp(line, "State:", 6) == 0) zombie = std::strchr(line, 'Z') != nullptr;
    }
    std::fclose(f);
    if (zombie) return false;
    if ((blocked & (1ull << (SIGTERM - 1))) != 0) return true;
    ::usleep(5000);
  }
  return false;
}

// With a display the fatal start-up error waits in a message box; a stop
// signal then closes the box and ends the program instead of being held
// back until the box is answered.
TEST_F(ServerProcess, AStopSignalEndsAStartUpWaitingInItsErrorBox) {
  std::vector<std::string> env = env_;
  env.erase(std::remove(env.begin(), env.end(), std::string("DROVANA_HEADLESS=1")), env.end());
  env.push_back("DISPLAY=:0");
  env.push_back("QT_QPA_PLATFORM=offscreen");
  Child c = Spawn({TKZ_APP_EXE, (dir_.path() / "missing").string()}, env);
  ASSERT_GT(c.pid, 0);
  ASSERT_TRUE(StopSignalsTaken(c.pid));
  ASSERT_EQ(::kill(c.pid, SIGTERM), 0);
  EXPECT_EQ(WaitBounded(c.pid, 30), 1);
  ::close(c.out);
  ::close(c.err);
}

// The text of the site's day log files.
std::string DayLogs(const std::string& site) {
  std::string all;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(site, ec))
    if (e.path().extension() == ".log") all += ReadFile(e.path());
  return all;
}

// With the window (offscreen there is no notification area: the login
// dialog and the icon's stand-in are up, and the stand-in refuses to be
// closed), a stop signal still runs the ordered shutdown and ends the
// program.
TEST_F(ServerProcess, AStopSignalEndsTheServerWithItsWindowUp) {
  std::vector<std::string> env = env_;
  env.erase(std::remove(env.begin(), env.end(), std::string("DROVANA_HEADLESS=1")), env.end());
  env.push_back("DISPLAY=:0");
  env.push_back("QT_QPA_PLATFORM=offscreen");
  Child c = Spawn({TKZ_APP_EXE, site_}, env);
  ASSERT_GT(c.pid, 0);
  // Up once the comm thread has started (the log also goes to the day file).
  bool up = false;
  for (int i = 0; i < 3000 && !up; ++i) {
    up = DayLogs(site_).find("IPC DLL supports") != std::string::npos;
    if (!up) ::usleep(10000);
  }
  ASSERT_TRUE(up) << DayLogs(site_);
  ASSERT_EQ(::kill(c.pid, SIGTERM), 0);
  EXPECT_EQ(WaitBounded(c.pid, 30), 0) << DayLogs(site_);
  EXPECT_NE(DayLogs(site_).find("Shutting down communications, please wait."), std::string::npos);
  ::close(c.out);
  ::close(c.err);
}
#endif

}  // namespace
