#include "platform/settings/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
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
  // A directory in the way of the folder makes the save fail.
  Profile blocked(dir_ / "x.ini" / "inner.ini");
  blocked.SetInt("Settings", "A", 2);
  EXPECT_FALSE(blocked.Save());
  EXPECT_EQ(Read(dir_ / "x.ini"), "[Settings]\nA=1\n");
}
