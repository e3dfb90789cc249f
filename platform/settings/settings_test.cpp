#include "platform/settings/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace fs = std::filesystem;
using platform::settings::ConfigHome;
using platform::settings::Profile;

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/settings_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    const char* old = getenv("XDG_CONFIG_HOME");
    hadXdg_ = old != nullptr;
    if (hadXdg_) oldXdg_ = old;
    setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (hadXdg_)
      setenv("XDG_CONFIG_HOME", oldXdg_.c_str(), 1);
    else
      unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(dir_);
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  fs::path dir_;
  bool hadXdg_ = false;
  std::string oldXdg_;
};

}  // namespace

TEST_F(SettingsTest, FileLiesUnderXdgConfigHomeInTheCallersFolder) {
  Profile p("Velmora", "Drovana Communications System");
  EXPECT_EQ(p.File(), dir_ / "Velmora" / "Drovana Communications System.ini");
}

TEST_F(SettingsTest, ConfigHomeFallsBackToHomeDotConfig) {
  const char* home = getenv("HOME");
  const std::string oldHome = home ? home : "";
  setenv("HOME", "/home/someone", 1);
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(ConfigHome(), fs::path("/home/someone/.config"));
  setenv("XDG_CONFIG_HOME", "relative/ignored", 1);  // not absolute: ignored
  EXPECT_EQ(ConfigHome(), fs::path("/home/someone/.config"));
  if (home)
    setenv("HOME", oldHome.c_str(), 1);
  else
    unsetenv("HOME");
}

TEST_F(SettingsTest, MissingFileIsEmptyAndGivesDefaults) {
  Profile p("Velmora", "Drovana Communications System");
  ASSERT_TRUE(p.Load());
  EXPECT_FALSE(p.Has("Settings", "InSysTray"));
  EXPECT_EQ(p.GetInt("Settings", "InSysTray", 1), 1);
  EXPECT_EQ(p.GetString("Settings", "Name", "x"), "x");
}

TEST_F(SettingsTest, SaveWritesKeysWithBlanksInOrderAndCreatesFolder) {
  Profile p("Velmora", "App");
  p.SetInt("Settings", "Comm Debug Messages", 0);
  p.SetInt("Settings", "Time Stamp Log", 1);
  p.SetString("Other", "Path", "a b=c");
  p.SetInt("Settings", "Comm Debug Messages", 1);  // in place, not appended
  ASSERT_TRUE(p.Save());
  EXPECT_EQ(Read(p.File()),
            "[Settings]\nComm Debug Messages=1\nTime Stamp Log=1\n\n[Other]\nPath=a b=c\n");
  // Nothing but the target is left in the folder (the temporary is renamed).
  int files = 0;
  for (const auto& e : fs::directory_iterator(dir_ / "Velmora")) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 1);
}

TEST_F(SettingsTest, LoadReadsBackWhatWasSavedIgnoringCaseAndBlanks) {
  fs::create_directories(dir_ / "Startell");
  std::ofstream(dir_ / "Startell" / "Startell.ini")
      << "; comment\n[settings]\r\n  MainLeft = 120 \r\nMainTop=-5\nbroken line\n"
         "MainWidth=12x\nMainHeight=99999999999\n[Empty]\n";
  Profile p("Startell", "Startell");
  ASSERT_TRUE(p.Load());
  EXPECT_EQ(p.GetInt("Settings", "mainleft", 0), 120);
  EXPECT_EQ(p.GetInt("SETTINGS", "MainTop", 0), -5);
  // Values that are not integers of int range give the default.
  EXPECT_EQ(p.GetInt("Settings", "MainWidth", 7), 7);
  EXPECT_EQ(p.GetInt("Settings", "MainHeight", 7), 7);
  // Unknown keys survive a save.
  p.SetInt("Settings", "MainLeft", 3);
  ASSERT_TRUE(p.Save());
  Profile q("Startell", "Startell");
  ASSERT_TRUE(q.Load());
  EXPECT_EQ(q.GetInt("Settings", "MainLeft", 0), 3);
  EXPECT_EQ(q.GetString("Settings", "MainWidth", ""), "12x");
}

TEST_F(SettingsTest, ByteOrderMarkDoesNotHideTheFirstSectionNorLoseItsKeysOnSave) {
  std::ofstream(dir_ / "x.ini") << "\xEF\xBB\xBF[Settings]\r\nInSysTray=0\r\nRecent=site1\r\n";
  Profile p(dir_ / "x.ini");
  ASSERT_TRUE(p.Load());
  EXPECT_EQ(p.GetInt("Settings", "InSysTray", 1), 0);
  p.SetInt("Settings", "Log to disk", 0);
  ASSERT_TRUE(p.Save());
  EXPECT_EQ(Read(dir_ / "x.ini"), "[Settings]\nInSysTray=0\nRecent=site1\nLog to disk=0\n");
}

TEST_F(SettingsTest, NamesCannotBreakTheFileLayout) {
  Profile p(dir_ / "x.ini");
  p.SetString("Sec]tion", "Key=With\nBreak", "va\nlue");
  ASSERT_TRUE(p.Save());
  Profile q(dir_ / "x.ini");
  ASSERT_TRUE(q.Load());
  EXPECT_EQ(q.GetString("Section", "KeyWithBreak", ""), "value");
}

TEST_F(SettingsTest, FailedSaveLeavesTheOldFile) {
  Profile p(dir_ / "x.ini");
  p.SetInt("Settings", "A", 1);
  ASSERT_TRUE(p.Save());
  // Nothing is written that the next load would refuse as too large.
  Profile big(dir_ / "x.ini");
  big.SetString("Settings", "Big", std::string(Profile::kMaxFileBytes, 'b'));
  EXPECT_FALSE(big.Save());
  // A directory in the way of the folder makes the save fail.
  Profile blocked(dir_ / "x.ini" / "inner.ini");
  blocked.SetInt("Settings", "A", 2);
  EXPECT_FALSE(blocked.Save());
  EXPECT_EQ(Read(dir_ / "x.ini"), "[Settings]\nA=1\n");
}

// Whatever stands in place of the settings file, Load() returns at once with
// an empty profile and says why, and Save() leaves the thing as it is.
TEST_F(SettingsTest, ASettingsFileThatIsNotARegularFileOfBoundedSizeIsNeitherReadNorReplaced) {
  const fs::path dir = dir_ / "Velmora";
  fs::create_directories(dir);
  const fs::path file = dir / "App.ini";
  struct Case {
    const char* name;
    std::function<void()> make;
    const char* error;
  } cases[] = {
      {"FIFO without a writer", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); },
       "not a regular file"},
      {"link to /dev/zero", [&] { fs::create_symlink("/dev/zero", file); }, "not a regular file"},
      {"directory", [&] { fs::create_directory(file); }, "not a regular file"},
      {"one byte over the bound",
       [&] {
         std::ofstream(file) << "[Settings]\nInSysTray=0\n"
                             << std::string(Profile::kMaxFileBytes - 23, ';') << "\n";
       },
       "larger than 262144 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(file);
    c.make();
    const auto type = fs::symlink_status(file).type();
    Profile p("Velmora", "App");
    EXPECT_FALSE(p.Load());
    EXPECT_EQ(p.LoadError(), c.error);
    EXPECT_EQ(p.GetInt("Settings", "InSysTray", 1), 1);
    p.SetInt("Settings", "InSysTray", 0);
    EXPECT_FALSE(p.Save());
    EXPECT_EQ(fs::symlink_status(file).type(), type);
  }
  // Once a regular file is back, it is read and written again.
  fs::remove_all(file);
  std::ofstream(file) << "[Settings]\nInSysTray=0\n";
  Profile p("Velmora", "App");
  ASSERT_TRUE(p.Load());
  EXPECT_EQ(p.LoadError(), "");
  EXPECT_EQ(p.GetInt("Settings", "InSysTray", 1), 0);
  EXPECT_TRUE(p.Save());
}

// Many sections and many keys, repeated in other letter cases: each name is
// one section or key, the last value wins, and the order of first
// appearance is kept on save.
TEST_F(SettingsTest, ManySectionsAndKeysKeepOneEntryPerNameInFirstOrder) {
  std::string text;
  constexpr int kSections = 4000;
  for (int i = 0; i < kSections; ++i) text += "[S" + std::to_string(i) + "]\nK=" + std::to_string(i) + "\n";
  for (int i = 0; i < kSections; ++i) text += "[s" + std::to_string(i) + "]\nk=x" + std::to_string(i) + "\n";
  text += "[Settings]\n";
  for (int i = 0; i < 3000; ++i) text += "Key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
  text += "KEY7=seven\n";
  ASSERT_LE(text.size(), Profile::kMaxFileBytes);
  std::ofstream(dir_ / "x.ini") << text;
  Profile p(dir_ / "x.ini");
  ASSERT_TRUE(p.Load());
  EXPECT_EQ(p.GetString("S0", "K", ""), "x0");
  EXPECT_EQ(p.GetString("s3999", "k", ""), "x3999");
  EXPECT_EQ(p.GetString("SETTINGS", "key7", ""), "seven");
  EXPECT_EQ(p.GetInt("Settings", "Key2999", 0), 2999);
  p.Remove("Settings", "KEY5");
  EXPECT_FALSE(p.Has("Settings", "Key5"));
  EXPECT_EQ(p.GetInt("Settings", "Key6", 0), 6);  // the index survives the removal
  ASSERT_TRUE(p.Save());
  const std::string saved = Read(dir_ / "x.ini");
  EXPECT_EQ(saved.rfind("[S0]\nK=x0\n\n[S1]\nK=x1\n", 0), 0u);
  EXPECT_NE(saved.find("[Settings]\nKey0=0\nKey1=1\nKey2=2\nKey3=3\nKey4=4\nKey6=6\nKey7=seven\n"),
            std::string::npos);
  EXPECT_EQ(saved.find("[s0]"), std::string::npos);
}
