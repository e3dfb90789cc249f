// The request engine: the poll, its claim of pending rows against other
// programs, the dispatch table, response routing and the termination
// request.
#include "DocRequestTestSupport.h"
#include "IoFtpRequest.h"

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
