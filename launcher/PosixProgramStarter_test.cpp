#include "PosixProgramStarter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace startell {
namespace {

namespace fs = std::filesystem;

// A scratch installation medium.
class Medium {
 public:
  Medium() {
    std::string t = (fs::temp_directory_path() / "startell_medium_XXXXXX").string();
    root_ = ::mkdtemp(t.data());
  }
  ~Medium() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const fs::path& root() const { return root_; }

  fs::path Add(const std::string& rel, const std::string& text, bool executable) {
    const fs::path p = root_ / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
    ::chmod(p.c_str(), executable ? 0755 : 0644);
    return p;
  }

 private:
  fs::path root_;
};

std::string Slurp(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Waits for a file that a started program writes; a hang guard only.
bool WaitForFile(const fs::path& p) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code ec;
    if (fs::exists(p, ec) && !Slurp(p).empty() && Slurp(p).back() == '\n') return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(PosixProgramStarterResolve, FindsTheLinuxFormOfEachMediumCommand) {
  struct Case {
    const char* file;  // the one file on the medium
    bool executable;
    const char* command;
    std::vector<std::string> want;  // argv, with @ for the medium's root
  } cases[] = {
      {"data/setup", true, "data\\setup", {"@/data/setup"}},
      {"data/setup.sh", false, "data\\setup", {"/bin/sh", "@/data/setup.sh"}},
      {"data/rtsetup.sh", false, "data\\rtsetup.bat", {"/bin/sh", "@/data/rtsetup.sh"}},
      {"data/rtsetup", true, "data\\rtsetup.bat", {"@/data/rtsetup"}},
      {"autoutil.sh", false, "autoutil.bat readme", {"/bin/sh", "@/autoutil.sh", "readme"}},
      // Media written on Windows may have any case.
      {"DATA/RTSETUP.SH", false, "data\\rtsetup.bat", {"/bin/sh", "@/DATA/RTSETUP.SH"}},
      {"Data/Setup", true, "data\\SETUP", {"@/Data/Setup"}},
      // Blanks around and between the words do not matter.
      {"autoutil.sh", false, "  autoutil.bat \t readme ", {"/bin/sh", "@/autoutil.sh", "readme"}},
  };
  for (const Case& c : cases) {
    Medium m;
    m.Add(c.file, "exit 0\n", c.executable);
    std::vector<std::string> want;
    for (std::string w : c.want) {
      if (w[0] == '@') w = m.root().string() + w.substr(1);
      want.push_back(w);
    }
    const ResolvedCommand r = PosixProgramStarter(m.root()).Resolve(c.command);
    EXPECT_EQ(r.error, "") << c.file << " " << c.command;
    EXPECT_EQ(r.argv, want) << c.file << " " << c.command;
  }
}

TEST(PosixProgramStarterResolve, ProgramWithoutALinuxFormIsAClearError) {
  struct Case {
    const char* file;  // nullptr: empty medium
    bool executable;
    const char* command;
    const char* mentions;
  } cases[] = {
      {nullptr, false, "data\\setup", "found neither data/setup (executable) nor data/setup.sh"},
      {"data/setup.exe", false, "data\\setup", "data/setup.exe is a Windows program"},
      {"data/rtsetup.bat", false, "data\\rtsetup.bat", "data/rtsetup.bat is a Windows program"},
      {"AUTOUTIL.BAT", false, "autoutil.bat readme", "autoutil.bat is a Windows program"},
      // A file without the execute bit is not run directly.
      {"data/setup", false, "data\\setup", "found neither data/setup (executable)"},
      // A directory is not a program.
      {"data/setup/x", false, "data\\setup", "found neither"},
      {nullptr, false, "   ", "no program named"},
  };
  for (const Case& c : cases) {
    Medium m;
    if (c.file) m.Add(c.file, "x\n", c.executable);
    const ResolvedCommand r = PosixProgramStarter(m.root()).Resolve(c.command);
    EXPECT_TRUE(r.argv.empty()) << c.command;
    EXPECT_NE(r.error.find(c.mentions), std::string::npos) << r.error;
    EXPECT_NE(r.error.find(std::string("\"") + c.command + "\""), std::string::npos) << r.error;
  }
}

TEST(PosixProgramStarterStart, RunsTheScriptWithItsArgumentsInTheCurrentDirectory) {
  Medium m;
  m.Add("autoutil.sh", "echo \"$# $1 $(pwd)\" > started.txt\n", false);
  const fs::path before = fs::current_path();
  fs::current_path(m.root());
  PosixProgramStarter starter;  // the current directory
  const StartResult r = starter.Start({"autoutil.bat readme", WindowMode::kMinimisedNoFocus});
  fs::current_path(before);
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_TRUE(WaitForFile(m.root() / "started.txt"));
  EXPECT_EQ(Slurp(m.root() / "started.txt"),
            "1 readme " + fs::canonical(m.root()).string() + "\n");
}

TEST(PosixProgramStarterStart, ExecutableRunsDirectly) {
  Medium m;
  const fs::path out = m.root() / "ran.txt";
  m.Add("data/setup", "#!/bin/sh\necho \"setup $#\" > '" + out.string() + "'\n", true);
  const StartResult r = PosixProgramStarter(m.root()).Start({"data\\setup", WindowMode::kNormalFocus});
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_TRUE(WaitForFile(out));
  EXPECT_EQ(Slurp(out), "setup 0\n");
}

TEST(PosixProgramStarterStart, ProgramThatCannotBeExecutedIsReportedNotStarted) {
  Medium m;
  m.Add("data/setup", "#!/nonexistent/interpreter\n", true);
  const StartResult r = PosixProgramStarter(m.root()).Start({"data\\setup", WindowMode::kNormalFocus});
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("Cannot start \"data\\setup\""), std::string::npos) << r.error;
  EXPECT_NE(r.error.find("No such file or directory"), std::string::npos) << r.error;
}

TEST(PosixProgramStarterStart, MissingProgramIsReportedNotStarted) {
  Medium m;
  const StartResult r = PosixProgramStarter(m.root()).Start({"data\\rtsetup.bat", WindowMode::kNormalFocus});
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("data/rtsetup.sh"), std::string::npos) << r.error;
}

}  // namespace
}  // namespace startell
