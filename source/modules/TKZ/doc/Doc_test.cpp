// The document's open sequence, stored-query maintenance, failures, close
// and rack readers, on sites made by the site tool.
#include <chrono>
#include <fstream>
#include <thread>

#include "DocTestSupport.h"
#include "RcCodes.h"
#include "damage.h"
#include "dao/workgroup.h"
#include "drovana_db/schema.h"

namespace {

dao::OleDate At(int y, int mo, int d, int h, int mi, int s) { return OleAt(y, mo, d, h, mi, s); }

int Callbacks = 0;
int CountingCallback(void*, uint32_t) {
  ++Callbacks;
  return 0;
}

// ---- open ----------------------------------------------------------------------

TEST_F(DocSiteTest, OpenOnANewSiteCreatesEveryQueryMarksAllOfflineAndStartsComms) {
  Sql("INSERT INTO tblRackStatus (ZoneID, ZoneParentID, ConnectStatus) VALUES (10001, 5, 1), (10002, 5, -1);"
      "INSERT INTO tblNode (NodeID, NodeName) VALUES (3, 'n3');"
      "INSERT INTO tblNodeStatus (NodeID, ConnectStatus) VALUES (3, 1);");
  OpenDoc();
  EXPECT_TRUE(box_.texts().empty());

  // Every query, with its text exactly as the table has it.
  const auto queries = drovana::db::StoredQueries();
  ASSERT_EQ(queries.size(), 53u);
  for (const auto& q : queries)
    EXPECT_EQ(One(std::string("SELECT SqlText FROM sysStoredQuery WHERE Name = '") + q.name + "'"), q.sql)
        << q.name;
  EXPECT_EQ(One("SELECT count(*) FROM sysStoredQuery"), "53");
  EXPECT_EQ(CountLines("Checking TKZ stored queries, TKZ queries were last compiled on "), 1);
  EXPECT_EQ(CountLines("Creating new query \""), 53);
  EXPECT_EQ(CountLines("Deleting obsolete query"), 0);

  EXPECT_EQ(Rows("SELECT ConnectStatus FROM tblRackStatus"), (std::vector<std::string>{"0", "0"}));
  EXPECT_EQ(One("SELECT ConnectStatus FROM tblNodeStatus"), "0");

  // The comm thread starts after the offline marking and "Initializing IPC",
  // and the configuration load is bracketed by 7 and 14.
  EXPECT_EQ(comm_.calls, (std::vector<std::string>{"start", "phase 7", "phase 14"}));
  const size_t offline = comm_.logAtStart.find("Setting status for all racks and nodes to offline.\n");
  const size_t ipc = comm_.logAtStart.find("Initializing IPC\n");
  ASSERT_NE(offline, std::string::npos);
  ASSERT_NE(ipc, std::string::npos);
  EXPECT_LT(offline, ipc);
  EXPECT_EQ(g_pDoc, doc_.get());
}

TEST_F(DocSiteTest, TheTimerSlotIsTheDocumentsForItsWholeLife) {
  Callbacks = 0;
  NewDoc();
  app_.AddTimerCallback(&CountingCallback, nullptr);  // slot taken: ignored
  app_.OnTimerTick(1);
  EXPECT_EQ(Callbacks, 0);
  doc_.reset();
  EXPECT_EQ(g_pDoc, nullptr);
  app_.AddTimerCallback(&CountingCallback, nullptr);
  app_.OnTimerTick(1);
  EXPECT_EQ(Callbacks, 1);
  app_.RemoveTimerCallback(&CountingCallback, nullptr);
}

TEST_F(DocSiteTest, QueriesAreReplacedOnlyWhenLastUpdatedBeforeTheBuildStamp) {
  // Catalog entries written earlier by someone else, at chosen dates: the
  // build stamp is "Feb  5 2004 10:22:53".
  struct Case {
    const char* name;
    dao::OleDate updated;
    bool replaced;
  } cases[] = {
      {"TKZqryRackModule", At(2003, 12, 1, 8, 0, 0), true},
      {"TKZqryBvtPatch", At(2004, 2, 5, 10, 22, 52), true},
      {"TKZqryMuxPatch", At(2004, 2, 5, 10, 22, 53), false},  // not earlier: kept
      {"TKZqryRackConfig", At(2004, 2, 5, 10, 22, 54), false},
      {"TKZqryNodeIP", At(2010, 6, 1, 0, 0, 0), false},
  };
  const std::string oldText = "SELECT * FROM tblNode";
  for (const Case& c : cases) {
    dao::DatabaseOptions options;
    options.clock = [&c] { return c.updated; };
    dao::Database db = dao::Database::Open(g_strDatabaseFile, options);
    db.CreateQueryDef(c.name, oldText);
  }

  OpenDoc();
  for (const Case& c : cases) {
    const std::string sql = One(std::string("SELECT SqlText FROM sysStoredQuery WHERE Name = '") + c.name + "'");
    const std::string deleted = std::string("Deleting obsolete query \"") + c.name + "\".";
    const std::string created = std::string("Creating new query \"") + c.name + "\".";
    if (c.replaced) {
      EXPECT_NE(sql, oldText) << c.name;
      EXPECT_EQ(CountLines(deleted), 1) << c.name;
      EXPECT_EQ(CountLines(created), 1) << c.name;
    } else {
      EXPECT_EQ(sql, oldText) << c.name;
      EXPECT_EQ(CountLines(deleted) + CountLines(created), 0) << c.name;
    }
  }
  EXPECT_EQ(CountLines("Creating new query \""), 53 - 3);
  EXPECT_EQ(CountLines("Deleting obsolete query \""), 2);
  // A replaced query's dates are the time it was made again.
  EXPECT_EQ(One("SELECT LastUpdated > 40000 FROM sysStoredQuery WHERE Name = 'TKZqryRackModule'"), "1");

  // The next start finds every query up to date.
  doc_.reset();
  const int before = CountLines("Creating new query \"");
  OpenDoc();
  EXPECT_EQ(CountLines("Creating new query \""), before);
  EXPECT_EQ(CountLines("Deleting obsolete query \""), 2);
}

TEST_F(DocSiteTest, WithTheDocLayerOffOnlyTheCheckLineIsLogged) {
  g_bDocDebug = false;
  OpenDoc();
  EXPECT_EQ(One("SELECT count(*) FROM sysStoredQuery"), "53");
  EXPECT_EQ(CountLines("Checking TKZ stored queries"), 1);
  EXPECT_EQ(CountLines("Creating new query"), 0);
  EXPECT_EQ(CountLines("Setting status for all racks"), 0);
  EXPECT_EQ(CountLines("Initializing IPC"), 1);
}

TEST_F(DocSiteTest, AFailedOpenShowsTheFatalErrorWithTheLow16BitsAndStartsNothing) {
  const std::string site = site_;
  struct Case {
    const char* what;
    std::function<void()> spoil;
    int code;
  } cases[] = {
      {"database missing", [&site] { g_strDatabaseFile = site + "/nosuch.mdb"; }, 3024},
      {"database not a database",
       [&site] { std::ofstream(site + "/text.mdb") << "not a database\n";
                            g_strDatabaseFile = site + "/text.mdb"; }, 3343},
      {"wrong password of the server's account",
       [] { dao::WorkgroupWriter::Open(g_strWorkgroupFile).SetPassword(kDocUserName, "other"); },
       3029},
      {"workgroup without the server's account",
       [&site] {
         auto w = dao::WorkgroupWriter::Create(site + "/other.mdw");
         w.AddGroup("Administrators");
         w.AddUser("Operator", "secret");
         g_strWorkgroupFile = site + "/other.mdw";
       },
       3029},
      // The engine is started inside the open: a bad workgroup file is a
      // failed open, not a failed construction.
      {"workgroup not a workgroup",
       [&site] { std::ofstream(site + "/text.mdw") << "not a workgroup\n";
                            g_strWorkgroupFile = site + "/text.mdw"; }, 3028},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_strDatabaseFile = site_ + "/drovana.mdb";
    g_strWorkgroupFile = site_ + "/drovana.mdw";
    box_.Clear();
    comm_.calls.clear();
    c.spoil();
    CTKZDoc& doc = NewDoc();
    EXPECT_FALSE(doc.OnNewDocument());
    ASSERT_EQ(box_.texts().size(), 1u);
    // The system's two lines, then why.
    const std::string head = "Fatal Error: Unable to open database.\nError code = " + std::to_string(c.code) + ".\n";
    EXPECT_EQ(box_.texts()[0].substr(0, head.size()), head);
    EXPECT_GT(box_.texts()[0].size(), head.size() + 10) << box_.texts()[0];
    EXPECT_TRUE(comm_.calls.empty());
    EXPECT_EQ(CountLines("doc.cpp#1150: Error " + std::to_string(c.code) + " : "), 1);
    // The password is never in the log.
    EXPECT_EQ(observer_.text().find(kDocPassword), std::string::npos);
    dao::WorkgroupWriter::Open(site_ + "/drovana.mdw").SetPassword(kDocUserName, kDocPassword);
    observer_ = RecordingObserver();
  }
}

// ---- other programs' locks and damage at the open --------------------------------

// Another program holds the database's write lock from its construction;
// with a release time it lets go then, on a thread of its own.
class OutsideLock {
 public:
  explicit OutsideLock(int releaseAfterMs = -1) {
    sqlite3_open(g_strDatabaseFile.c_str(), &db_);
    locked_ = sqlite3_exec(db_, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (releaseAfterMs >= 0)
      releaser_ = std::thread([this, releaseAfterMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(releaseAfterMs));
        sqlite3_exec(db_, "COMMIT;", nullptr, nullptr, nullptr);
      });
  }
  ~OutsideLock() {
    if (releaser_.joinable()) releaser_.join();
    sqlite3_close(db_);  // an open transaction is rolled back
  }
  bool locked() const { return locked_; }

 private:
  sqlite3* db_ = nullptr;
  bool locked_ = false;
  std::thread releaser_;
};

TEST_F(DocSiteTest, AnOpenWaitsForAnotherProgramsLockWithinItsBoundSayingSo) {
  for (bool setUp : {false, true}) {
    SCOPED_TRACE(setUp ? "a site the server has run on" : "a new site");
    observer_ = RecordingObserver();
    {
      OutsideLock lock(400);
      ASSERT_TRUE(lock.locked());
      OpenDoc();
    }
    EXPECT_EQ(CountLines("The database is locked by another program: start-up waits for it, 30 s at most."), 1);
    EXPECT_EQ(One("SELECT count(*) FROM sysStoredQuery"), "53");
    EXPECT_EQ(CountLines("doc.cpp#"), 0) << observer_.text();
    EXPECT_TRUE(box_.texts().empty());
    doc_.reset();
  }
}

TEST_F(DocSiteTest, AnOpenThatALockOutlastsEndsSayingWhy) {
  for (bool setUp : {false, true}) {
    SCOPED_TRACE(setUp ? "a site the server has run on" : "a new site");
    if (setUp) {
      OpenDoc();
      doc_.reset();
    }
    box_.Clear();
    comm_.calls.clear();
    OutsideLock lock;
    ASSERT_TRUE(lock.locked());
    DocPorts ports = Ports();
    ports.openLockWaitMs = 300;
    doc_ = std::make_unique<CTKZDoc>(ports);
    EXPECT_FALSE(doc_->OnNewDocument());
    ASSERT_EQ(box_.texts().size(), 1u);
    const std::string text = box_.texts()[0];
    const std::string head = "Fatal Error: Unable to open database.\nError code = 3260.\n"
                             "Could not update; the database is currently locked by another program.";
    const std::string tail = " Start-up waited 1 s for the other program to let go of it, and gives up.";
    EXPECT_EQ(text.substr(0, head.size()), head) << text;
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
    EXPECT_TRUE(comm_.calls.empty()) << "nothing started";
    doc_.reset();
  }
}

TEST_F(DocSiteTest, ADamagedTableReadAtTheOpenIsReportedAsDamage) {
  Sql("INSERT INTO tblNode (NodeID, NodeName, NodeType, IPAddress) VALUES"
      " (1, 'N1', 5, '10.0.0.1'), (2, 'N2', 5, '10.0.0.2'), (3, 'N3', 5, '10.0.0.3');"
      "INSERT INTO tblNodeType (NodeType, Name) VALUES (5, 'Node');"
      "INSERT INTO tblNodePort (PortID, NodeID, PortNumber, PortCategory) VALUES (1, 1, 0, 2), (2, 2, 0, 2),"
      " (3, 3, 0, 2);");
  ASSERT_EQ(dao::testing::DamageSecondRowKey(g_strDatabaseFile, "tblNode"), "");
  OpenDoc();
  EXPECT_EQ(CountLines("doc:LoadNodes: Error 3049 : The database '" + g_strDatabaseFile +
                       "' is damaged (table tblNode"),
            1)
      << observer_.text();
  EXPECT_EQ(observer_.text().find("3167"), std::string::npos) << observer_.text();
  doc_.reset();

  // A damaged schedule, which the open cannot do without, ends it saying so.
  Sql("INSERT INTO tblSchedule (ScheduleID, RequestState, EventTime, MacroID, ScheduleDate) VALUES"
      " (1, 4, 0.5, 1, 40000), (2, 4, 0.25, 1, 40000), (3, 4, 0.75, 1, 40000);");
  ASSERT_EQ(dao::testing::DamageSecondRowKey(g_strDatabaseFile, "tblSchedule"), "");
  CTKZDoc& doc = NewDoc();
  EXPECT_FALSE(doc.OnNewDocument());
  ASSERT_EQ(box_.texts().size(), 1u);
  const std::string head = "Fatal Error: Unable to load the schedule (tblSchedule).\nError code = 3049.\n"
                           "The database '" + g_strDatabaseFile + "' is damaged (table tblSchedule";
  EXPECT_EQ(box_.texts()[0].substr(0, head.size()), head) << box_.texts()[0];
}

// ---- offline, close ------------------------------------------------------------

TEST_F(DocSiteTest, RacksOfflineFailingSkipsTheNodesAndIsLoggedOnce) {
  OpenDoc();
  Sql("INSERT INTO tblNodeStatus (NodeID, ConnectStatus) VALUES (1, 1);"
      "DROP TABLE tblRackStatus;");
  doc_->SetAllOffline();
  EXPECT_EQ(CountLines("doc.cpp#6845: Error "), 1);
  EXPECT_EQ(One("SELECT ConnectStatus FROM tblNodeStatus"), "1");
}

TEST_F(DocSiteTest, CloseWritesAWaitingTerminationBackAndLeavesAllOffline) {
  CTKZDoc& doc = OpenDoc();
  Sql("INSERT INTO tblTKZRequest (RID, RequestState, RequestType, RequestDiagnostic) "
      "VALUES (7, 3, 7, 'TKZ terminating, please wait');"
      "INSERT INTO tblRackStatus (ZoneID, ConnectStatus) VALUES (10004, 1);"
      "INSERT INTO tblNodeStatus (NodeID, ConnectStatus) VALUES (2, 1);");
  InProcRequest* terminate = doc.AddRequest();
  terminate->RID = 7;
  terminate->RequestType = 7;
  terminate->expected = 1;
  doc.SetTerminateRequest(terminate);

  doc.OnCloseDocument();
  EXPECT_EQ(One("SELECT RequestState, RequestDiagnostic FROM tblTKZRequest WHERE RID = 7"), "4|TKZ Terminated");
  EXPECT_EQ(One("SELECT ConnectStatus FROM tblRackStatus"), "0");
  EXPECT_EQ(One("SELECT ConnectStatus FROM tblNodeStatus"), "0");
  EXPECT_EQ(doc.TerminateRequest(), nullptr);
  EXPECT_EQ(doc.RequestCount(), 0u);
  EXPECT_EQ(CountLines("Request 7 succeeded, \"TKZ Terminated\""), 1);
}

// ---- rack readers --------------------------------------------------------------

TEST_F(DocSiteTest, RackReadersReadTheirRowAndReportAMissingOne) {
  Sql("INSERT INTO tblRackConfig (ZoneID, ZoneParentID, RackType, RackNumber, NumberRows, NumberSlots) "
      "VALUES (10005, 20, 2, 5, 3, -2);"
      "INSERT INTO tblRackStatus (ZoneID, ZoneParentID, ConnectStatus) VALUES (10005, 20, 0);");
  CTKZDoc& doc = OpenDoc();

  int32_t rows = 0, slots = 0;
  doc.GetRackRowsColumns(5, rows, slots);
  EXPECT_EQ(rows, 3);
  EXPECT_EQ(slots, -2);  // sign-extended
  try {
    doc.GetRackRowsColumns(6, rows, slots);
    ADD_FAILURE() << "no row, no exception";
  } catch (const dao::Error& e) {
    EXPECT_EQ(e.number(), dao::kErrNoCurrentRecord);
  }

  EXPECT_EQ(doc.GetRackType(10005), 2);
  EXPECT_EQ(doc.GetRackType(10006), -1);

  // A version from the network is cut to the column's 50 characters,
  // never inside a UTF-8 sequence.
  doc.SetRackSoftwareVersion(5, "2a0");
  EXPECT_EQ(One("SELECT SoftwareVersion FROM tblRackStatus WHERE ZoneID = 10005"), "2a0");
  const std::string longVersion = std::string(49, 'v') + "\xC3\xA9" + "tail";
  doc.SetRackSoftwareVersion(5, longVersion);
  EXPECT_EQ(One("SELECT SoftwareVersion FROM tblRackStatus WHERE ZoneID = 10005"), std::string(49, 'v'));
  EXPECT_THROW(doc.SetRackSoftwareVersion(9, "1.0"), dao::Error);
}

// ---- completion ----------------------------------------------------------------

TEST_F(DocSiteTest, CompletionGivesStateAndTextFromTheRcode) {
  struct Case {
    uint16_t rcode;
    const char* row;
  } cases[] = {
      {0, "4|Complete."},
      {0x411, "6|Cancelled by user"},
      {0x412, "6|Cancelled by TKZ shutdown"},
      {0x400, "5|???"},
      {0x18, "5|IO_KRN: Buffer overflow"},
      {0x19, "5|Request failed, Rcode = 0x0019"},
  };
  CTKZDoc& doc = OpenDoc();
  int rid = 100;
  for (const Case& c : cases) {
    ++rid;
    Sql("INSERT INTO tblTKZRequest (RID, RequestState) VALUES (" + std::to_string(rid) + ", 3);");
    InProcRequest* r = doc.AddRequest();
    r->RID = rid;
    r->Rcode = c.rcode;
    doc.RequestSent(r);
    EXPECT_EQ(One("SELECT RequestState, RequestDiagnostic FROM tblTKZRequest WHERE RID = " + std::to_string(rid)),
              c.row);
  }
  EXPECT_EQ(doc.RequestCount(), 0u);
}

TEST_F(DocSiteTest, ATextLongerThanTheColumnIsCutNotRefused) {
  CTKZDoc& doc = OpenDoc();
  Sql("INSERT INTO tblTKZRequest (RID, RequestState) VALUES (9, 3);");
  InProcRequest* r = doc.AddRequest();
  r->RID = 9;
  r->message.Set("%s", CompletionArg::Text(std::string(300, 'x')));
  doc.RequestSent(r);
  EXPECT_EQ(One("SELECT RequestState, length(RequestDiagnostic) FROM tblTKZRequest WHERE RID = 9"), "4|254");
}

TEST_F(DocSiteTest, AChildFoldsIntoItsParentWhichCompletesWhenAllAreIn) {
  CTKZDoc& doc = OpenDoc();
  Sql("INSERT INTO tblTKZRequest (RID, RequestState) VALUES (11, 3);");
  InProcRequest* parent = doc.AddRequest();
  parent->RID = 11;
  parent->expected = 2;
  InProcRequest* first = doc.AddRequest();
  first->flags = REQ_FLAG_CHILD;
  first->parent = parent;
  first->Rcode = RC_TIMEOUT;
  InProcRequest* second = doc.AddRequest();
  second->flags = REQ_FLAG_CHILD;
  second->parent = parent;
  second->Rcode = RC_NO_RACK;
  doc.RequestSent(parent);  // nothing in yet
  EXPECT_EQ(doc.RequestCount(), 3u);
  doc.RequestSent(first);
  EXPECT_EQ(One("SELECT RequestState FROM tblTKZRequest WHERE RID = 11"), "3");
  doc.RequestSent(second);
  EXPECT_EQ(One("SELECT RequestState, RequestDiagnostic FROM tblTKZRequest WHERE RID = 11"),
            "5|Timeout waiting for response from node");
  EXPECT_EQ(doc.RequestCount(), 0u);
}

}  // namespace
