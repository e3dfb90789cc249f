#include "site.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "RunProgram.h"
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

// Under an open umask the site still lets nobody but its owner (and group)
// write to it: not the directories made for it, nor its files.  A directory
// that was there before is left as it was.
TEST_F(SiteTest, NoPartOfANewSiteIsWritableByOthersWhateverTheUmask) {
  fs::permissions(root_, fs::perms::all);
  const mode_t old = ::umask(0);
  SiteOptions o{root_ + "/a/b/plant", "drovana", "Operator", "pw"};
  CreateSite(o);
  ::umask(old);
  for (const std::string& p : {root_ + "/a", root_ + "/a/b", o.dir, o.dir + "/drovana.mdb",
                              o.dir + "/drovana.mdw"}) {
    SCOPED_TRACE(p);
    ASSERT_TRUE(fs::exists(p));
    EXPECT_EQ(fs::status(p).permissions() & fs::perms::others_write, fs::perms::none);
  }
  EXPECT_EQ(fs::status(root_).permissions(), fs::perms::all);
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
  return drovana::test::RunProgram(DROVANA_SITE_EXE, args, input, out);
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

TEST_F(SiteTest, ARefusedCommandLineNamesItsFaultAndMakesNothing) {
  const std::string dir = root_ + "/s";
  struct Case {
    std::vector<std::string> args;
    std::string printed;
  };
  const Case cases[] = {
      {{dir, "--password", "x"}, "--operator OPERATOR is required"},
      {{dir, "--operator"}, "--operator needs a value."},
      {{dir, "--operator", "Admin", "--pasword", "x"}, "unknown option \"--pasword\"."},
      {{dir, root_ + "/t", "--operator", "Admin"}, "bad argument \"" + root_ + "/t\": the site directory " + dir + " is given already."},
      {{"--operator", "Admin", "--password", "x"}, "no site directory given."},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(RunTool(c.args, "pw\n", &out), 2) << c.printed;
    EXPECT_EQ(out.rfind("drovana-site: " + c.printed, 0), 0u) << out;  // first, before the usage
    EXPECT_NE(out.find("\nusage: drovana-site DIR"), std::string::npos) << out;
  }
  EXPECT_FALSE(fs::exists(dir));
}

// Runs one query on a site's database and returns the first column of the
// first row as text.
std::string QueryText(const std::string& mdb, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(mdb.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  std::string out = "(error)";
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
    out.clear();
    if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0))
      out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

TEST_F(SiteTest, TheDemoSeedGivesAPlantTheServerCanLoad) {
  SiteOptions o{root_ + "/demo", "drovana", "admin", "demo"};
  o.seed_sql = ReadSeedFile(DROVANA_DEMO_SEED);
  o.seed_name = DROVANA_DEMO_SEED;
  CreateSite(o);
  const std::string mdb = root_ + "/demo/drovana.mdb";
  struct Check {
    const char* what;
    const char* sql;
    const char* expected;
  };
  const Check checks[] = {
      {"nodes", "SELECT count(*) FROM tblNode", "3"},
      {"nodes with a status row and a type", "SELECT count(*) FROM tblNode n JOIN tblNodeStatus s USING (NodeID) "
       "JOIN tblNodeType t USING (NodeType) WHERE t.Name NOT LIKE '%Test%'", "3"},
      {"rack ports off the six slots", "SELECT count(*) FROM tblNodePort WHERE PortCategory = 2 AND "
       "(PortNumber + 1 < 0 OR PortNumber + 1 > 5)", "0"},
      {"racks on node ports", "SELECT count(DISTINCT RackNumber) FROM tblNodePortRack r JOIN tblNodePort p "
       "USING (PortID) WHERE p.PortCategory = 2", "6"},
      {"configured racks with their own zone and a status row", "SELECT count(*) FROM tblRackConfig c JOIN "
       "tblRackStatus s ON s.ZoneID = c.ZoneID AND s.ZoneParentID = c.ZoneParentID WHERE c.ZoneID = 10000 + "
       "c.RackNumber AND c.DigitalDimsFitted BETWEEN 1 AND c.DigitalDims", "6"},
      {"racks in the tree under their zone", "SELECT count(*) FROM tblRackConfig c JOIN tblZoneTree t ON "
       "t.ZoneID = c.ZoneID AND t.ZoneParentID = c.ZoneParentID AND t.ZoneType = 'Rack'", "6"},
      {"dimmers numbered by their rack", "SELECT count(*) FROM tblDimConfig d JOIN tblRackConfig c ON "
       "c.ZoneID = d.ZoneID WHERE d.DimID <> c.RackNumber * 1000 + d.DimNumber OR d.DimNumber > "
       "c.DigitalDimsFitted", "0"},
      {"cleaner inputs in zones that hold racks", "SELECT count(*) FROM tblCleanerIO WHERE ZoneID NOT IN "
       "(SELECT ZoneParentID FROM tblRackConfig)", "0"},
      // The server looks a macro input up by the rack's own zone and the
      // input's bit (4 to 7) in the rack's input word.
      {"macro inputs on a configured rack's own zone and a macro input bit", "SELECT count(*) FROM tblMacroIO m "
       "JOIN tblRackConfig c ON c.ZoneID = m.ZoneID WHERE m.AnalogIn BETWEEN 4 AND 7", "1"},
      {"macro inputs elsewhere", "SELECT count(*) FROM tblMacroIO WHERE ZoneID NOT IN (SELECT ZoneID FROM "
       "tblRackConfig) OR AnalogIn NOT BETWEEN 4 AND 7", "0"},
      // A rack outage's record carries the rack number, a node outage's the
      // node's name.
      {"outage formats that fit their argument", "SELECT count(*) FROM tblFaultType WHERE (FaultType = 1000 "
       "AND instr(DisplayFormat, '%d') > 0) OR (FaultType = 1001 AND instr(DisplayFormat, '%s') > 0)", "2"},
      {"level table", "SELECT count(*) FROM tblLevel2Percent WHERE Percent BETWEEN 0 AND 100", "256"},
      {"macro steps", "SELECT count(*) FROM tblMacroStep WHERE MacroID = 1", "3"},
      {"pending schedule entry today", "SELECT count(*) FROM tblSchedule WHERE RequestState = 0 AND EventTime "
       "BETWEEN 0 AND 1 AND ScheduleDate > 40000", "1"},
  };
  for (const Check& c : checks) EXPECT_EQ(QueryText(mdb, c.sql), c.expected) << c.what;
}

TEST_F(SiteTest, ASeedThatFailsLeavesNoSiteBehind) {
  const char* seeds[] = {
      "INSERT INTO tblNode (NodeID) VALUES (1); INSERT INTO nosuchtable VALUES (1);",
      "INSERT INTO tblNode (NodeID) VALUES (1); INSERT INTO tblRackConfig (ZoneID, RackNumber) VALUES (10300, 300);",
      "INSERT INTO tblNode (NodeID) VALUES (1); COMMIT; INSERT INTO tblNode (NodeID) VALUES (1);",
      "ROLLBACK;",
      "this is not SQL",
  };
  for (const char* seed : seeds) {
    SiteOptions o{root_ + "/s", "drovana", "admin", "pw"};
    o.seed_sql = seed;
    o.seed_name = "bad.sql";
    try {
      CreateSite(o);
      ADD_FAILURE() << "accepted: " << seed;
    } catch (const SiteError& e) {
      EXPECT_NE(std::string(e.what()).find("seed"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(fs::is_empty(root_ + "/s")) << seed;
  }
  // A good seed afterwards makes the site.
  SiteOptions o{root_ + "/s", "drovana", "admin", "pw"};
  o.seed_sql = "INSERT INTO tblNode (NodeID, NodeName) VALUES (1, 'N');";
  CreateSite(o);
  EXPECT_EQ(QueryText(root_ + "/s/drovana.mdb", "SELECT NodeName FROM tblNode"), "N");
}

TEST_F(SiteTest, TheToolRefusesAMissingSeedFileBeforeMakingAnything) {
  std::string out;
  EXPECT_EQ(RunTool({root_ + "/s", "--operator", "Admin", "--password", "x", "--seed", root_ + "/none.sql"}, "",
                    &out), 1);
  EXPECT_NE(out.find("none.sql"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(root_ + "/s/drovana.mdb"));
  std::ofstream(root_ + "/seed.sql") << "INSERT INTO tblNode (NodeID) VALUES (7);\n";
  out.clear();
  EXPECT_EQ(RunTool({root_ + "/s", "--operator", "Admin", "--password", "x", "--seed", root_ + "/seed.sql"}, "",
                    &out), 0) << out;
  EXPECT_EQ(QueryText(root_ + "/s/drovana.mdb", "SELECT NodeID FROM tblNode"), "7");
}

}  // namespace
}  // namespace drovana::site
