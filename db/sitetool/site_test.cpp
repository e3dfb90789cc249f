#include "site.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "dao/engine.h"
#include "dao/errors.h"

namespace drovana::site {
namespace {

namespace fs = std::filesystem;

class SiteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = fs::temp_directory_path().string() + "/site.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  static std::string Slurp(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  std::string root_;
};

TEST_F(SiteTest, NewSiteOpensAndTheOperatorLogsInAsAdministrator) {
  SiteOptions o{root_ + "/plant", "drovana", "Operator", "open sesame"};
  CreateSite(o);
  dao::Engine engine;
  engine.SetSystemDatabase(root_ + "/plant/drovana.mdw");
  engine.Start();
  dao::Workspace server = engine.CreateWorkspace("", kServerUser, kServerPassword);
  dao::Database db = server.OpenDatabase(root_ + "/plant/drovana.mdb");
  EXPECT_TRUE(db.OpenTable("tblTKZRequest").IsEOF());
  dao::User tkz = server.Users(kServerUser);
  for (int i = 0; i < tkz.GroupCount(); ++i) EXPECT_NE(tkz.GroupName(i), "Administrators");

  dao::Workspace op = engine.CreateWorkspace("", "operator", "open sesame");
  dao::User u = op.Users("Operator");
  ASSERT_GE(u.GroupCount(), 1);
  EXPECT_EQ(u.GroupName(0), "Administrators");
  EXPECT_EQ(Slurp(root_ + "/plant/drovana.mdw").find("open sesame"), std::string::npos);
  for (const auto& e : fs::directory_iterator(root_ + "/plant"))  // no temporary files left
    EXPECT_EQ(e.path().filename().string().find(".new."), std::string::npos) << e.path();
}

TEST_F(SiteTest, ASecondRunRefusesToOverwrite) {
  SiteOptions o{root_, "calvera", "Operator", "pw1"};
  CreateSite(o);
  const std::string mdb = Slurp(root_ + "/calvera.mdb"), mdw = Slurp(root_ + "/calvera.mdw");
  SiteOptions again{root_, "calvera", "Other", "pw2"};
  EXPECT_THROW(CreateSite(again), SiteError);
  EXPECT_EQ(Slurp(root_ + "/calvera.mdb"), mdb);
  EXPECT_EQ(Slurp(root_ + "/calvera.mdw"), mdw);
  // Only the workgroup present: still refused, and the database is not made.
  fs::remove(root_ + "/calvera.mdb");
  EXPECT_THROW(CreateSite(again), SiteError);
  EXPECT_FALSE(fs::exists(root_ + "/calvera.mdb"));
}

TEST_F(SiteTest, RefusesBadNamesAndTheServerAccountName) {
  EXPECT_THROW(CreateSite({root_, "a.b", "Op", "pw"}), SiteError);
  EXPECT_THROW(CreateSite({root_, "", "Op", "pw"}), SiteError);
  EXPECT_THROW(CreateSite({root_, "x", "tkz", "pw"}), SiteError);
  EXPECT_THROW(CreateSite({root_, "x", "Op", ""}), SiteError);
  EXPECT_THROW(CreateSite({root_, "x", "", "pw"}), SiteError);
  EXPECT_TRUE(fs::is_empty(root_));
}

// Runs the tool with the password on standard input (not a terminal).
int RunTool(const std::vector<std::string>& args, const std::string& input, std::string* out) {
  int in_pipe[2], out_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(out_pipe[1], 2);
    close(in_pipe[1]);
    close(out_pipe[0]);
    std::vector<char*> argv;
    std::string exe = DROVANA_SITE_EXE;
    argv.push_back(exe.data());
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  if (write(in_pipe[1], input.data(), input.size()) < 0) {}
  close(in_pipe[1]);
  char buf[512];
  ssize_t n;
  while ((n = read(out_pipe[0], buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
  close(out_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(SiteTest, TheToolReadsThePasswordFromInputAndNeverPrintsIt) {
  std::string out;
  EXPECT_EQ(RunTool({root_ + "/s", "--operator", "Admin"}, "hidden pw\n", &out), 0) << out;
  EXPECT_EQ(out.find("hidden pw"), std::string::npos);
  dao::Engine engine;
  engine.SetSystemDatabase(root_ + "/s/drovana.mdw");
  EXPECT_NO_THROW(engine.CreateWorkspace("", "Admin", "hidden pw"));
  out.clear();
  EXPECT_EQ(RunTool({root_ + "/s", "--operator", "Admin", "--password", "x"}, "", &out), 1);
  EXPECT_NE(out.find("already exists"), std::string::npos) << out;
  out.clear();
  EXPECT_EQ(RunTool({"--operator"}, "", &out), 2);
}

}  // namespace
}  // namespace drovana::site
