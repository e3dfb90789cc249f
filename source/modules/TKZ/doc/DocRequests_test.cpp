// The request engine: the poll, its claim of pending rows against other
// programs, the dispatch table, response routing and the termination
// request.
#include "DocRequestTestSupport.h"
#include "IoFtpRequest.h"
#include "RefusedWrites.h"

namespace {

TEST_F(DocRequestTest, EachPendingRowIsDispatchedAndWrittenBackWithItsStateAndText) {
  struct Case {
    int type, subType;
    const char* row;
  } cases[] = {
      {20, 0, "4|Complete."},
      {-1, 0, "5|Error: Unknown or unimplemented TKZ request type -1."},
      {21, 0, "5|Error: Unknown or unimplemented TKZ request type 21."},
      {15, 0, "5|Error: Unknown or unimplemented TKZ request type 15."},
      {10, 99, "5|Invalid Request subtype 99"},
      {4, 100, "4|TKZ resident rack tables refreshed"},
      {4, 101, "4|TKZ resident schedule table refreshed"},
      {4, 102, "4|Cleaner table refresh ignored (no longer needed)"},
      {4, 103, "4|TKZ resident node tables refreshed"},
      {4, 104, "4|TKZ resident node tables refreshed"},
      {4, 105, "5|Error: Unknown resident table refresh, sub-type 105."},
      // A handler that refuses keeps its own text: the dispatch's "Learning
      // rack load(s)" is only for a request still in process.
      {8, 0, "5|Error: Zone 0 is not a rack, loads not learnt."},
  };
  int rid = 0;
  for (const Case& c : cases) Request(++rid, c.type, c.subType, 0);
  Sql("INSERT INTO tblTKZRequest (RID, RequestState, RequestType, RequestDiagnostic) VALUES (99, 4, 20, 'done');");

  Doc().PollRequests();
  rid = 0;
  for (const Case& c : cases) EXPECT_EQ(Row(++rid), c.row) << "type " << c.type << "/" << c.subType;
  EXPECT_EQ(Row(99), "4|done");
  EXPECT_EQ(Doc().RequestCount(), 0u);
  // The refreshes bracket the comm thread's loads: racks by 3 and 10,
  // nodes and racks by 7 and 14.
  EXPECT_EQ(comm_.calls, (std::vector<std::string>{"phase 3", "phase 10", "phase 7", "phase 14", "phase 7",
                                                   "phase 14"}));

  // Written back once: the next poll finds nothing pending.
  Doc().PollRequests();
  EXPECT_EQ(Row(1), "4|Complete.");
  EXPECT_EQ(CountLines("Request 1 succeeded, \"Complete.\""), 1);
}

TEST_F(DocRequestTest, RowsAnotherProgramChangesOrDeletesDuringThePollAreLeftToIt) {
  Request(1, 4, 100, 0);  // its refresh runs while the other program works
  Request(2, 20, 0, 0);
  Request(3, 20, 0, 0);
  Request(4, 20, 0, 0);
  comm_.onPhase = [this](uint32_t flags) {
    if (flags != 3) return;
    Sql("UPDATE tblTKZRequest SET RequestState = 3, RequestDiagnostic = 'taken elsewhere' WHERE RID = 2;"
        "DELETE FROM tblTKZRequest WHERE RID = 3;");
  };
  Doc().PollRequests();
  EXPECT_EQ(Row(1), "4|TKZ resident rack tables refreshed");
  EXPECT_EQ(Row(2), "3|taken elsewhere");
  EXPECT_EQ(One("SELECT count(*) FROM tblTKZRequest WHERE RID = 3"), "0");
  EXPECT_EQ(Row(4), "4|Complete.");
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

TEST_F(DocRequestTest, ATimerTickDuringAnEarlierTicksWorkDoesNothing) {
  Request(1, 4, 100, 0);
  comm_.onPhase = [this](uint32_t flags) {
    if (flags != 3) return;
    Request(2, 20, 0, 0);
    app_.OnTimerTick(1);  // nested: must not poll
  };
  app_.OnTimerTick(1);
  EXPECT_EQ(Row(1), "4|TKZ resident rack tables refreshed");
  EXPECT_EQ(Row(2), "0|NULL");
  comm_.onPhase = nullptr;
  app_.OnTimerTick(1);
  EXPECT_EQ(Row(2), "4|Complete.");
}

TEST_F(DocRequestTest, APollThatCannotReadTheRequestTableLogsItsLineAndEnds) {
  Sql("DROP TABLE tblTKZRequest;");
  Doc().PollRequests();
  EXPECT_EQ(CountLines("doc.cpp#1235: Error "), 1);
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

TEST_F(DocRequestTest, AcceptedRequestsWaitInProcessUnderTheDispatchsText) {
  // Rack 3 on node 2's port 1 answers for the presets, loads and room links;
  // macro 9 selects a preset in its zone, dimmer group 4 holds its first
  // dimmer, node 7 takes a network patch.
  KnownRack(3, 2, 1, 8);
  Sql("INSERT INTO tblMacroStep (MacroID, Step, Action, ActionParam1, ActionParam2) VALUES (9, 1, 0, '10003', '5');"
      "INSERT INTO tblDimGroupDim (DimGroupID, DimID) VALUES (4, 3001);"
      "INSERT INTO tblNode (NodeID, NodeName, NodeType, IPAddress) VALUES (7, 'NODE7', 5, '10.0.0.7');");
  // Learning loads starts with the comm thread's learn post, not a send.
  SetPostToComm([this](uint32_t id, uintptr_t, RackMsg* msg) {
    EXPECT_TRUE(id == WM_IPC_SEND_MSG || id == WM_IPC_LOAD_LEARN) << id;
    posted.push_back(msg);
    return true;
  });
  std::vector<std::unique_ptr<IoFtpRequest>> jobs;
  comm_.onFtp = [&jobs](IoFtpRequest* job) {
    jobs.emplace_back(job);
    return true;
  };
  struct Case {
    int type, subType, zone;
    const char* row;
  } cases[] = {
      {3, 0, 9, "3|Macro 9 started"},
      {5, 0, 4, "3|Manual level request process started"},
      {6, 7, 3, "3|Network patch upload process started"},
      {8, -1, 10003, "3|Learning rack load(s)"},
      {11, 0, 10003, "3|Retrieving learnt loads from rack"},
      {12, 1, 10003, "3|Brevant Room link request process started"},
  };
  int rid = 0;
  for (const Case& c : cases) {
    Request(++rid, c.type, c.subType, c.zone);
    const size_t out = posted.size() + jobs.size();
    Doc().PollRequests();
    EXPECT_EQ(Row(rid), c.row) << "type " << c.type << "\n" << observer_.text();
    EXPECT_EQ(Doc().RequestCount(), static_cast<size_t>(rid)) << "type " << c.type;
    EXPECT_EQ(posted.size() + jobs.size(), out + 1) << "type " << c.type;
  }

  // The macro request runs macro ZoneID as its own parent.
  const InProcRequest* macro = Doc().FindRequest(posted.front()->ReqNum);
  ASSERT_NE(macro, nullptr);
  EXPECT_EQ(macro->RID, 1);
  EXPECT_EQ(macro->flags, REQ_FLAG_MACRO | REQ_FLAG_MACRO_REQUEST | REQ_FLAG_SENT);
  EXPECT_EQ(macro->parent, macro);
  EXPECT_EQ(macro->MacroID, 9);
}

// ---- response routing ---------------------------------------------------------

struct Reply {
  uint16_t rcode;
  const char* text;  // the message's completion text, or none
};

TEST_F(DocRequestTest, ResponsesAreCountedAndTheFirstFailureDecides) {
  struct Case {
    std::vector<Reply> replies;
    const char* row;
  } cases[] = {
      {{{0, "first"}, {0, "second"}}, "4|second"},
      {{{0, nullptr}, {0, nullptr}}, "4|Complete."},
      {{{0x413, nullptr}, {0x40C, nullptr}}, "5|Timeout waiting for response from node"},
      {{{0x40E, "Rack 3 is offline"}, {0, "fine"}}, "5|Rack 3 is offline"},
      // A failure after a success does not keep the success's text.
      {{{0, "QXV preset 2 selected"}, {0x411, nullptr}}, "6|Cancelled by user"},
      {{{0x412, nullptr}}, "6|Cancelled by TKZ shutdown"},
      {{{0x19, nullptr}}, "5|Request failed, Rcode = 0x0019"},
  };
  int rid = 0;
  for (const Case& c : cases) {
    ++rid;
    Sql("INSERT INTO tblTKZRequest (RID, RequestState) VALUES (" + std::to_string(rid) + ", 3);");
    InProcRequest* request = Doc().AddRequest();
    request->RID = rid;
    for (size_t i = 0; i < c.replies.size(); ++i) ASSERT_TRUE(SendRackMsg(Doc().NewRackMsg(request)));
    EXPECT_EQ(request->lastMsg, nullptr) << "every message was handed over";
    Doc().RequestSent(request);
    for (const Reply& r : c.replies) {
      EXPECT_EQ(Row(rid), "3|NULL") << "still waiting";
      RackMsg* m = posted.front();
      posted.pop_front();
      m->Rcode = r.rcode;
      if (r.text != nullptr) m->completion.Set("%s", CompletionArg::Text(r.text));
      RunRackMsgContinuation(m);
    }
    EXPECT_EQ(Row(rid), c.row) << "case " << rid;
  }
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

TEST_F(DocRequestTest, AResponseForAnUnknownRequestIsLoggedAndFreed) {
  RackMsg* m = AllocRackMsg();
  m->ReqNum = 4711;
  RunRackMsgContinuation(m);  // ASan: freed
  EXPECT_EQ(CountLines("Unknown ReqNum 4711 ignored."), 1);
}

TEST_F(DocRequestTest, ADocumentContinuationOwnsTheMessageAndDecidesAboutCompletion) {
  Sql("INSERT INTO tblTKZRequest (RID, RequestState) VALUES (5, 3);");
  InProcRequest* request = Doc().AddRequest();
  request->RID = 5;
  RackMsg* m = Doc().NewRackMsg(request);
  m->Rack = 12;
  m->target = 3;
  int calls = 0;
  m->docContinuation = [&calls](CTKZDoc& doc, RackMsg* msg, InProcRequest* r) {
    ++calls;
    EXPECT_FALSE(msg->rackContinuation);
    EXPECT_EQ(r->received, 1);
    EXPECT_EQ(r->Rack, 12u);
    EXPECT_EQ(r->failingStep, 3u);
    FreeRackMsg(msg);
    doc.CompleteRequest(r);
  };
  ASSERT_TRUE(SendRackMsg(m));
  Doc().RequestSent(request);
  posted.pop_front();
  m->Rcode = RC_RACK_OFFLINE;
  RunRackMsgContinuation(m);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(Row(5), "5|Rack offline");
}

TEST_F(DocRequestTest, AReturnedFtpJobIsCountedLikeARackMessage) {
  Sql("INSERT INTO tblTKZRequest (RID, RequestState) VALUES (1, 3), (2, 3);");
  InProcRequest* plain = Doc().AddRequest();
  plain->RID = 1;
  plain->expected = 1;
  Doc().RequestSent(plain);
  auto* job = new IoFtpRequest;
  job->ReqNum = plain->ReqNum;
  job->result.Set("File %s sent", CompletionArg::Text("node.cfg"));
  Doc().OnIoFtpDone(job);
  EXPECT_EQ(Row(1), "4|File node.cfg sent");

  // A failure without a text of its own ends with its Rcode's text.
  InProcRequest* failed = Doc().AddRequest();
  failed->RID = 2;
  failed->expected = 1;
  Doc().RequestSent(failed);
  job = new IoFtpRequest;
  job->ReqNum = failed->ReqNum;
  job->Rcode = RC_FTP_LOGIN_FAILED;
  Doc().OnIoFtpDone(job);
  EXPECT_EQ(Row(2), "5|Couldn't log into IO_FTP on node");

  job = new IoFtpRequest;
  job->ReqNum = 999;
  Doc().OnIoFtpDone(job);
  EXPECT_EQ(CountLines("Unknown ReqNum 999 ignored."), 1);
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

TEST_F(DocRequestTest, AResultTheLockedDatabaseCannotTakeIsWrittenByALaterPollNotLostInProcess) {
  Sql("INSERT INTO tblTKZRequest (RID, RequestState) VALUES (1, 3), (2, 3);");
  for (int rid : {1, 2}) {
    InProcRequest* request = Doc().AddRequest();
    request->RID = rid;
    ASSERT_TRUE(SendRackMsg(Doc().NewRackMsg(request)));
    Doc().RequestSent(request);
  }
  // Another program holds the database's write lock while both answers
  // come back.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(g_strDatabaseFile.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr), SQLITE_OK);
  const uint16_t rcodes[] = {RC_OK, RC_RACK_OFFLINE};
  for (uint16_t rcode : rcodes) {
    RackMsg* m = posted.front();
    posted.pop_front();
    m->Rcode = rcode;
    RunRackMsgContinuation(m);
  }
  EXPECT_EQ(Doc().RequestCount(), 0u);
  EXPECT_EQ(CountLines("doc.cpp#884: Error 3260 : "), 2);
  EXPECT_EQ(Row(1), "3|NULL");
  Doc().PollRequests();  // still locked: the results wait
  EXPECT_EQ(Doc().PendingWriteBackCount(), 2u);
  EXPECT_EQ(Row(2), "3|NULL");

  ASSERT_EQ(sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  Doc().PollRequests();
  EXPECT_EQ(Row(1), "4|Complete.");
  EXPECT_EQ(Row(2), "5|Rack offline");
  EXPECT_EQ(Doc().PendingWriteBackCount(), 0u);
  EXPECT_EQ(CountLines("doc.cpp#884: Error "), 2) << "a retry while locked is not logged again";
}

// ---- results the database does not take ----------------------------------------

class DocRefusedWritesTest : public DocRequestTest {
 protected:
  RefusedWrites refused_;  // made before SetUp opens the database
};

TEST_F(DocRefusedWritesTest, EveryResultReachesItsRowWhateverTheWriteMetFirst) {
  for (const WriteRefusal& how : kWriteRefusals) {
    SCOPED_TRACE(how.what);
    const int refresh = 10, answered = 11, waiting = 12;
    Sql("DELETE FROM tblTKZRequest;");
    // An answered rack message's request, in process before the refusal.
    Sql("INSERT INTO tblTKZRequest (RID, RequestState) VALUES (" + std::to_string(answered) + ", 3);");
    InProcRequest* request = Doc().AddRequest();
    request->RID = answered;
    ASSERT_TRUE(SendRackMsg(Doc().NewRackMsg(request)));
    Doc().RequestSent(request);
    // A refresh that ends during its own dispatch, the database refusing
    // writes from the moment it waits on the comm thread; a pending
    // request behind it.
    Request(refresh, 4, 100, 0);
    Request(waiting, 20, 0, 0);
    comm_.onPhase = [this, &how](uint32_t flags) {
      if (flags == 3) {
        ASSERT_TRUE(refused_.Begin(how));
      }
    };
    Doc().PollRequests();
    comm_.onPhase = nullptr;
    RackMsg* m = posted.front();
    posted.pop_front();
    m->Rcode = RC_RACK_OFFLINE;
    RunRackMsgContinuation(m);

    EXPECT_EQ(Doc().RequestCount(), 0u) << "both requests are done";
    EXPECT_EQ(Doc().PendingWriteBackCount(), 2u);
    Doc().PollRequests();  // still refused: kept, and the pending row waits
    EXPECT_EQ(Doc().PendingWriteBackCount(), 2u);
    EXPECT_EQ(Row(refresh), "3|NULL");
    EXPECT_EQ(Row(answered), "3|NULL");
    EXPECT_EQ(Row(waiting), "0|NULL");

    refused_.End();
    Doc().PollRequests();
    EXPECT_EQ(Row(refresh), "4|TKZ resident rack tables refreshed");
    EXPECT_EQ(Row(answered), "5|Rack offline");
    EXPECT_EQ(Row(waiting), "4|Complete.");
    EXPECT_EQ(Doc().KeptWriteCount(), 0u);
    EXPECT_EQ(CountLines("Every kept database write is written now"), 1);
    // Each case logs the same lines: the log's counts of them end here.
    log_.FlushRepeats();
    observer_ = RecordingObserver();
  }
}

TEST_F(DocRefusedWritesTest, TheLatestResultForARowWinsAndAGoneRowIsLetGo) {
  // The macro's accepted text cannot be written while its message is out;
  // its final result can, and no later tick puts the older text back.
  KnownRack(3, 2, 1, 8);
  Sql("INSERT INTO tblMacroStep (MacroID, Step, Action, ActionParam1, ActionParam2) VALUES (9, 1, 0, '10003', '5');");
  Request(1, 3, 0, 9);
  SetPostToComm([this](uint32_t, uintptr_t, RackMsg* msg) {
    posted.push_back(msg);
    return refused_.Begin(kWriteRefusals[1]);
  });
  Doc().PollRequests();
  EXPECT_EQ(Row(1), "3|NULL");
  EXPECT_EQ(Doc().PendingWriteBackCount(), 1u);
  refused_.End();
  RackMsg* m = posted.front();
  posted.pop_front();
  RunRackMsgContinuation(m);
  EXPECT_EQ(Row(1).substr(0, 2), "4|");
  EXPECT_EQ(Doc().PendingWriteBackCount(), 0u);
  const std::string final = Row(1);
  Doc().PollRequests();
  EXPECT_EQ(Row(1), final);

  // A result kept for a row its requester then deletes is dropped, said so.
  Sql("INSERT INTO tblTKZRequest (RID, RequestState) VALUES (2, 3);");
  InProcRequest* request = Doc().AddRequest();
  request->RID = 2;
  ASSERT_TRUE(refused_.Begin(kWriteRefusals[1]));
  Doc().RequestSent(request);
  EXPECT_EQ(Doc().PendingWriteBackCount(), 1u);
  refused_.End();
  Sql("DELETE FROM tblTKZRequest WHERE RID = 2;");
  Doc().PollRequests();
  EXPECT_EQ(Doc().KeptWriteCount(), 0u);
  EXPECT_EQ(CountLines("Error: The result of request 2 cannot be written (error 3021)"), 1);
}

// ---- rows of an earlier run, RIDs out of range -----------------------------------

TEST_F(DocSiteTest, RowsAnEarlierRunLeftInProcessAreFailedAtOpenNeverRunAgain) {
  const std::string left = std::string("5|") + kDocLeftInProcessText;
  auto row = [this](int rid) {
    return One("SELECT RequestState, RequestDiagnostic FROM tblTKZRequest WHERE RID = " + std::to_string(rid));
  };
  // A first run makes the stored queries; it stops with two rows claimed.
  OpenDoc();
  doc_.reset();
  Sql("INSERT INTO tblTKZRequest (RID, RequestState, RequestType, RequestDiagnostic) VALUES"
      " (1, 3, 9, 'Macro 4 started'), (2, 3, 1, NULL), (3, 0, 20, NULL), (4, 4, 20, 'Complete.');");
  OpenDoc();
  EXPECT_EQ(row(1), left);
  EXPECT_EQ(row(2), left);
  EXPECT_EQ(row(3), "0|NULL");
  EXPECT_EQ(row(4), "4|Complete.");
  EXPECT_EQ(CountLines("Ended 2 request(s) that an earlier run of TKZ left in process."), 1);
  EXPECT_TRUE(box_.texts().empty());

  // With writes refused at the open, the rows are ended as soon as the
  // database takes writes again, before any new request is taken.
  doc_.reset();
  Sql("UPDATE tblTKZRequest SET RequestState = 3 WHERE RID = 1;");
  {
    RefusedWrites refused;
    ASSERT_TRUE(refused.Begin(kWriteRefusals[2]));
    CTKZDoc& doc = OpenDoc();
    EXPECT_EQ(row(1), "3|" + left.substr(2));
    EXPECT_EQ(doc.PendingWriteBackCount(), 1u);
    refused.End();
    doc.PollRequests();
    EXPECT_EQ(row(1), left);
    EXPECT_EQ(row(3), "4|Complete.");
    doc_.reset();
  }
}

TEST_F(DocSiteTest, ARidOutsideTheI32RangeNeverReachesAnotherRowAndIsLoggedOnce) {
  // A database of an older schema, without the RID range.
  Sql("CREATE TABLE oldRequest (RID INTEGER PRIMARY KEY, RequestPC TEXT, RequestState INTEGER NOT NULL DEFAULT 0,"
      " RequestType INTEGER NOT NULL DEFAULT 0, RequestSubType INTEGER NOT NULL DEFAULT 0,"
      " ZoneID INTEGER NOT NULL DEFAULT 0, RequestDiagnostic TEXT) STRICT;"
      "DROP TABLE tblTKZRequest; ALTER TABLE oldRequest RENAME TO tblTKZRequest;");
  // Another program's row at the top of the range, with a parameter.
  Sql("INSERT INTO tblTKZRequest (RID, RequestState, RequestType, RequestDiagnostic) VALUES"
      " (2147483647, 4, 9, 'theirs'), (4294967297, 0, 9, NULL), (0, 0, 20, NULL), (-5, 0, 20, NULL),"
      " (9223372036854775807, 0, 20, NULL), (7, 0, 20, NULL);"
      "INSERT INTO tblTKZRequestParam (RID, ParamNumber, ParamValue) VALUES (2147483647, 1, '3');");
  // One of them cannot even be failed: its row refuses every change.
  Sql("CREATE TRIGGER keep0 BEFORE UPDATE ON tblTKZRequest WHEN OLD.RID = 0 BEGIN SELECT RAISE(ABORT, 'no'); END;");
  CTKZDoc& doc = OpenDoc();
  for (int poll = 0; poll < 3; ++poll) doc.PollRequests();

  auto row = [this](const char* rid) {
    return One(std::string("SELECT RequestState, RequestDiagnostic FROM tblTKZRequest WHERE RID = ") + rid);
  };
  EXPECT_EQ(row("2147483647"), "4|theirs");
  EXPECT_EQ(row("4294967297"), "5|Error: RID 4294967297 is outside 1 to 2147483647; the request is not run.");
  EXPECT_EQ(row("-5"), "5|Error: RID -5 is outside 1 to 2147483647; the request is not run.");
  EXPECT_EQ(row("9223372036854775807"),
            "5|Error: RID 9223372036854775807 is outside 1 to 2147483647; the request is not run.");
  EXPECT_EQ(row("0"), "0|NULL");
  EXPECT_EQ(row("7"), "4|Complete.") << "the rows after them are served";
  EXPECT_EQ(doc.RequestCount(), 0u);
  for (const char* rid : {"4294967297", "0", "-5", "9223372036854775807"})
    EXPECT_EQ(CountLines(std::string("Error: Request row with RID ") + rid + " refused"), 1) << rid;
  EXPECT_EQ(CountLines("doc.cpp#1235: "), 0);
}

// ---- termination --------------------------------------------------------------

TEST_F(DocRequestTest, TheFirstTerminationWaitsForTheCloseASecondIsRefused) {
  Request(1, 7, 0, 0);
  Request(2, 7, 0, 0);
  Doc().PollRequests();
  EXPECT_EQ(Row(1), "3|TKZ terminating, please wait");
  EXPECT_EQ(Row(2), "5|Duplicate TKZ termination request ignored.");
  EXPECT_EQ(comm_.calls, (std::vector<std::string>{"shutdown"}));
  EXPECT_EQ(CountLines("Duplicate TKZ termination request ignored."), 1);
  ASSERT_NE(Doc().TerminateRequest(), nullptr);
  EXPECT_EQ(Doc().RequestCount(), 1u);

  Doc().OnCloseDocument();
  EXPECT_EQ(Row(1), "4|TKZ Terminated");
  EXPECT_EQ(Doc().TerminateRequest(), nullptr);
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

TEST_F(DocRequestTest, ATerminationTheCommThreadCannotBeToldOfFailsInsteadOfWaitingForever) {
  comm_.shutdownTaken = false;
  Request(1, 7, 0, 0);
  Doc().PollRequests();
  EXPECT_EQ(Row(1), "5|Error: TKZ termination refused: the communications could not be asked to shut down.");
  EXPECT_EQ(Doc().TerminateRequest(), nullptr);
  EXPECT_EQ(Doc().RequestCount(), 0u);
}

}  // namespace
