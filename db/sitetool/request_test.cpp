#include "request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../tests/site_db.h"
#include "RunProgram.h"
#include "status.h"

namespace drovana::site {
namespace {

using drovana::db::test::SiteDb;

TEST(RequestParams, ParsedAsNumberEqualsValueWithinTheColumnsBounds) {
  struct Case {
    const char* text;
    bool ok;
    int number;
    const char* value;
  };
  const std::string fifty(50, 'x');
  const std::string fiftyOne = "1=" + std::string(51, 'x');
  const std::string exact = "2=" + fifty;
  const Case cases[] = {
      {"1=5", true, 1, "5"},        {"-3=a=b", true, -3, "a=b"}, {"7=", true, 7, ""},
      {exact.c_str(), true, 2, fifty.c_str()},
      {"=5", false, 0, ""},         {"5", false, 0, ""},          {"x=1", false, 0, ""},
      {"32768=1", false, 0, ""},    {"1 =1", false, 0, ""},       {fiftyOne.c_str(), false, 0, ""},
  };
  for (const Case& c : cases) {
    if (!c.ok) {
      EXPECT_THROW(ParseParam(c.text), SiteError) << c.text;
      continue;
    }
    RequestParam p = ParseParam(c.text);
    EXPECT_EQ(p.number, c.number) << c.text;
    EXPECT_EQ(p.value, c.value) << c.text;
  }
}

TEST(RequestDbInsert, WritesAPendingRowWithItsParametersInOrder) {
  SiteDb site;
  RequestDb db(site.dir(), "drovana");
  RequestSpec spec;
  spec.type = 1;
  spec.subtype = 2;
  spec.zone = 10001;
  spec.params = {{2, "7"}, {1, "-1"}};
  spec.requestPc = std::string(60, 'p');
  const int64_t rid = db.Insert(spec);
  EXPECT_EQ(site.Text("SELECT RequestState || '|' || RequestType || '|' || RequestSubType || '|' || ZoneID || "
                      "'|' || length(RequestPC) || '|' || ifnull(RequestDiagnostic, 'null') "
                      "FROM tblTKZRequest WHERE RID = " + std::to_string(rid)),
            "0|1|2|10001|50|null");
  EXPECT_EQ(site.Text("SELECT group_concat(ParamNumber || ':' || ParamValue, ',') FROM (SELECT * FROM "
                      "tblTKZRequestParam WHERE RID = " + std::to_string(rid) + " ORDER BY ParamID)"),
            "2:7,1:-1");
  EXPECT_NE(db.Insert(spec), rid);
}

TEST(RequestDbInsert, AFailingParameterLeavesNoRequestBehind) {
  SiteDb site;
  // Another program's rule that refuses one value: the parameter insert fails
  // after the request row was written.
  site.Exec("CREATE TRIGGER refuse BEFORE INSERT ON tblTKZRequestParam WHEN NEW.ParamValue = 'boom' "
            "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
  RequestDb db(site.dir(), "drovana");
  RequestSpec spec;
  spec.type = 1;
  spec.params = {{1, "ok"}, {2, "boom"}};
  EXPECT_THROW(db.Insert(spec), SiteError);
  spec.params = {{1, std::string(51, 'v')}};
  EXPECT_THROW(db.Insert(spec), SiteError);
  EXPECT_EQ(site.Text("SELECT count(*) FROM tblTKZRequest"), "0");
  EXPECT_EQ(site.Text("SELECT count(*) FROM tblTKZRequestParam"), "0");
  // The connection is usable again afterwards.
  spec.params = {{1, "fine"}};
  EXPECT_GT(db.Insert(spec), 0);
}

TEST(RequestDbInsert, PastTheLastRidTheServerReadsNoRequestIsWritten) {
  SiteDb site;
  site.Exec("INSERT INTO tblTKZRequest (RID, RequestState) VALUES (2147483647, 4);");
  RequestDb db(site.dir(), "drovana");
  RequestSpec spec;
  spec.type = 20;
  try {
    db.Insert(spec);
    ADD_FAILURE() << "a request was written";
  } catch (const SiteError& e) {
    EXPECT_STREQ(e.what(), "The request table has used its last RID (2147483647): no request can be written.");
  }
  EXPECT_EQ(site.Text("SELECT count(*) FROM tblTKZRequest"), "1");
  site.Exec("DELETE FROM tblTKZRequest;");
  EXPECT_EQ(db.Insert(spec), 1);  // the keys start again at 1
}

TEST(RequestDbOpen, RefusesADirectoryWithoutASite) {
  SiteDb site;
  EXPECT_THROW(RequestDb(site.dir(), "calvera"), SiteError);
  EXPECT_THROW(RequestDb(site.dir() + "/missing", "drovana"), SiteError);
}

TEST(RequestWait, EndsOnTheFinalStatesAndTimesOutOnTheOthers) {
  struct Case {
    std::vector<int> states;  // the row's state at each read; -1: row deleted
    long polls;
    WaitOutcome outcome;
    int reads;  // reads made
  };
  const Case cases[] = {
      {{0, 3, 4}, 10, WaitOutcome::kSucceeded, 3},
      {{3, 5}, 10, WaitOutcome::kFailed, 2},
      {{6}, 10, WaitOutcome::kFailed, 1},
      {{0, 3, 3, 3}, 3, WaitOutcome::kTimedOut, 3},
      {{2, 7, 4}, 3, WaitOutcome::kSucceeded, 3},  // states outside the final three go on
      {{0, 0}, 0, WaitOutcome::kTimedOut, 1},      // at least one read
      {{3, -1}, 10, WaitOutcome::kGone, 2},
  };
  for (const Case& c : cases) {
    SiteDb site;
    RequestDb db(site.dir(), "drovana");
    RequestSpec spec;
    spec.type = 20;
    const int64_t rid = db.Insert(spec);
    const std::string where = " WHERE RID = " + std::to_string(rid);
    size_t next = 0;
    auto set = [&] {
      const int s = c.states[std::min(next, c.states.size() - 1)];
      ++next;
      if (s < 0)
        site.Exec("DELETE FROM tblTKZRequest" + where);
      else
        site.Exec("UPDATE tblTKZRequest SET RequestState = " + std::to_string(s) +
                  ", RequestDiagnostic = 'state " + std::to_string(s) + "'" + where);
    };
    set();
    RequestResult last;
    EXPECT_EQ(WaitForRequest(db, rid, c.polls, set, &last), c.outcome) << c.states.size();
    EXPECT_EQ(static_cast<int>(next), c.reads);
    if (c.outcome != WaitOutcome::kGone) {
      EXPECT_EQ(last.rid, rid);
      EXPECT_EQ(last.diagnostic, "state " + std::to_string(last.state));
    }
  }
}

TEST(PlantStatus, OneLinePerNodeAndRackWithMissingStatusRowsNamed) {
  SiteDb site;
  site.Exec(
      "INSERT INTO tblNode VALUES (1, 'NODE1', 5, '127.0.0.2'), (2, NULL, 5, NULL);"
      "INSERT INTO tblNodeStatus VALUES (1, 1);"
      "INSERT INTO tblRackConfig (ZoneID, ZoneParentID, RackNumber) VALUES (10001, 2, 1), (10256, 3, 256);"
      "INSERT INTO tblRackStatus VALUES (10001, 2, 0, '2a0');");
  RequestDb db(site.dir(), "drovana");
  std::ostringstream out;
  PrintPlantStatus(db, out);
  EXPECT_EQ(out.str(),
            "node 1 NODE1 127.0.0.2: connected\n"
            "node 2 (no name) (no address): no status row\n"
            "rack 1 (zone 2): not connected, version 2a0\n"
            "rack 256 (zone 3): no status row, version unknown\n");
}

// Runs the tool and returns its exit code; *out gets standard output and error.
int RunTool(const std::vector<std::string>& args, std::string* out) {
  return drovana::test::RunProgram(DROVANA_SITE_EXE, args, "", out);
}

TEST(RequestTool, ExitCodeAndPrintedResultFollowTheFinalState) {
  SiteDb site;
  // Stands in for the server: types 20, 21 and 22 end at once as written.
  site.Exec(
      "CREATE TRIGGER serve AFTER INSERT ON tblTKZRequest WHEN NEW.RequestType IN (20, 21, 22) BEGIN "
      "UPDATE tblTKZRequest SET RequestState = CASE NEW.RequestType WHEN 20 THEN 4 WHEN 21 THEN 5 ELSE 6 END, "
      "RequestDiagnostic = 'done ' || NEW.RequestSubType || ' ' || NEW.ZoneID WHERE RID = NEW.RID; END;");
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* printed;
  };
  const Case cases[] = {
      {{"20", "--subtype", "7", "--zone", "3", "--wait", "5"}, 0,
       "RequestState 4 (succeeded): done 7 3"},
      {{"21", "--wait", "5"}, 1, "RequestState 5 (failed): done 0 0"},
      {{"22", "--wait", "5"}, 1, "RequestState 6 (cancelled)"},
      {{"1", "--wait", "0"}, 2, "no result after 0 s, RequestState 0 (pending)"},
      {{"1", "--param", "1=2"}, 0, "written (RequestType 1, RequestSubType 0, ZoneID 0, 1 parameter(s))"},
      {{"1", "--param", "oops"}, 3, "N=VALUE"},
      // A refused command line names what is wrong before the usage.
      {{"1", "--wait", "-1"}, 3, "--wait needs a number of seconds from 0 to 86400."},
      {{"1", "--zone"}, 3, "--zone needs a whole number"},
      {{"40000"}, 3, "the request TYPE is a whole number from -32768 to 32767 (\"40000\" is not)."},
      {{"1", "2"}, 3, "bad argument \"2\""},
      {{"1", "--sub", "2"}, 3, "unknown option \"--sub\"."},
      {{"--subtype", "1"}, 3, "request needs a request TYPE after the site directory.\nusage"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"request", site.dir()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string out;
    EXPECT_EQ(RunTool(args, &out), c.code) << c.args[0] << ": " << out;
    EXPECT_NE(out.find(c.printed), std::string::npos) << c.args[0] << ": " << out;
  }
  // Refused arguments wrote nothing: three rows of type 1 would be wrong.
  EXPECT_EQ(site.Text("SELECT count(*) FROM tblTKZRequest WHERE RequestType = 1"), "2");
  std::string out;
  EXPECT_EQ(RunTool({"request", site.dir() + "/nosite", "20"}, &out), 3);
  EXPECT_EQ(RunTool({"status", site.dir()}, &out), 0);
}

}  // namespace
}  // namespace drovana::site
