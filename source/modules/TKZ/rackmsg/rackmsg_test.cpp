// Rack messages: hand-off to the comm thread, return through the
// continuations, ownership on free.
#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <set>

#include "Comm.h"
#include "RackCommands.h"
#include "RackModel.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "ThreadMsgs.h"

// Stand-ins for the document and its in-process request: only their
// addresses travel through the rack-message layer.
class CTKZDoc {
 public:
  int steps = 0;
};
struct InProcRequest {
  uint32_t ReqNum = 0;
};

namespace {

struct Posted {
  uint32_t id;
  uintptr_t wParam;
  RackMsg* msg;
};

// Plays the two ports: posts to the comm thread are queued, messages handed
// to the document are collected. Whatever is still held at the end is freed.
class RackMsgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPostToComm([this](uint32_t id, uintptr_t wParam, RackMsg* msg) {
      posted.push_back({id, wParam, msg});
      return true;
    });
    SetRackMsgDoneHandler([this](RackMsg* msg) { toDocument.push_back(msg); });
  }
  void TearDown() override {
    SetPostToComm({});
    SetRackMsgDoneHandler({});
    std::set<RackMsg*> held;
    for (auto& p : posted) held.insert(p.msg);
    for (auto* m : toDocument) held.insert(m);
    for (auto* m : held) FreeRackMsg(m);
  }

  // The comm thread's part for one posted message, with a rack model as the
  // far side: send the command, put the answer (or link code) into the
  // message and return it with WM_DOC_MSG_DONE.
  void ServeOne(sim::RackModel& rack) {
    ASSERT_FALSE(posted.empty());
    Posted p = posted.front();
    posted.pop_front();
    ASSERT_EQ(p.id, WM_IPC_SEND_MSG);
    RackMsg* m = p.msg;
    ASSERT_GE(m->sendLength, 2);
    ASSERT_LE(m->sendLength, static_cast<int32_t>(kRackMsgCommandSize));
    const auto answer = rack.Exchange({m->command, static_cast<size_t>(m->sendLength)});
    m->Rcode = answer.rcode;
    m->responseLength = static_cast<uint16_t>(answer.reply.size());
    std::copy(answer.reply.begin(), answer.reply.end(), m->response);
    RunRackMsgContinuation(m);
  }

  std::deque<Posted> posted;
  std::vector<RackMsg*> toDocument;
};

TEST_F(RackMsgTest, SendRackMsgTurnsMinusOneIntoBroadcastAndLeavesRealRacks) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {kRackAll, 0xFFFF}, {1, 1}, {12, 12}, {255, 255}, {256, 256}, {0xFFFF, 0xFFFF}};
  for (const auto& [rack, sent] : cases) {
    RackMsg* m = AllocRackMsg();
    m->Rack = rack;
    ASSERT_TRUE(SendRackMsg(m));
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted.back().id, WM_IPC_SEND_MSG);
    EXPECT_EQ(posted.back().wParam, 0u);
    EXPECT_EQ(posted.back().msg, m);
    EXPECT_EQ(m->Rack, sent) << rack;
    FreeRackMsg(m);
    posted.clear();
  }
  RackMsg* m = AllocRackMsg();
  m->Rack = static_cast<uint32_t>(-1);
  SendRackMsg(m);
  EXPECT_EQ(m->Rack, 0xFFFFu) << "-1 as the system writes it";
}

TEST_F(RackMsgTest, LoadLearnAndDelayPostTheirMessagesWithPhase) {
  RackMsg* m = AllocRackMsg();
  m->Rack = 4;
  ASSERT_TRUE(PostLoadLearn(m, 0));
  ASSERT_TRUE(PostLoadLearn(m, 1));
  ASSERT_TRUE(PostDelayMsg(m));
  ASSERT_EQ(posted.size(), 3u);
  EXPECT_EQ(posted[0].id, WM_IPC_LOAD_LEARN);
  EXPECT_EQ(posted[0].wParam, 0u);
  EXPECT_EQ(posted[1].id, WM_IPC_LOAD_LEARN);
  EXPECT_EQ(posted[1].wParam, 1u);
  EXPECT_EQ(posted[2].id, WM_IPC_DELAY_MSG);
  EXPECT_EQ(posted[2].wParam, 0u);
  EXPECT_EQ(m->Rack, 4u);
}

TEST_F(RackMsgTest, WithoutACommPortNothingIsPostedAndTheCallerKeepsTheMessage) {
  SetPostToComm({});
  RackMsg* m = AllocRackMsg();
  m->Rack = kRackAll;
  EXPECT_FALSE(SendRackMsg(m));
  EXPECT_FALSE(PostLoadLearn(m, 0));
  EXPECT_FALSE(PostDelayMsg(m));
  EXPECT_FALSE(SendRackMsg(nullptr));
  FreeRackMsg(m);
}

TEST_F(RackMsgTest, AllocationZeroesHeaderAndBothAreas) {
  std::unique_ptr<RackMsg, void (*)(RackMsg*)> m(AllocRackMsg(), FreeRackMsg);
  for (uint8_t b : m->command) ASSERT_EQ(b, 0);
  for (uint8_t b : m->response) ASSERT_EQ(b, 0);
  EXPECT_EQ(m->ReqNum, 0u);
  EXPECT_EQ(m->Rack, 0u);
  EXPECT_EQ(m->Rcode, 0);
  EXPECT_EQ(m->responseLength, 0);
  EXPECT_EQ(m->link, nullptr);
  EXPECT_FALSE(m->rackContinuation);
  EXPECT_FALSE(m->docContinuation);
  EXPECT_TRUE(m->completion.empty());
  EXPECT_EQ(m->Reply(), nullptr);
  EXPECT_EQ(m->ReplySize(), 0u);
}

TEST_F(RackMsgTest, ReplyPointsIntoTheResponseAreaOnly) {
  std::unique_ptr<RackMsg, void (*)(RackMsg*)> m(AllocRackMsg(), FreeRackMsg);
  m->responseLength = 10;
  ASSERT_TRUE(m->SetReply(2));
  EXPECT_EQ(m->Reply(), m->response + 2);
  EXPECT_EQ(m->ReplySize(), 8u);
  m->responseLength = 1;
  EXPECT_EQ(m->ReplySize(), 0u) << "response shorter than the reply offset";
  m->responseLength = 0xFFFF;
  EXPECT_EQ(m->ReplySize(), kRackMsgResponseSize - 2) << "bounded by the area";
  EXPECT_FALSE(m->SetReply(kRackMsgResponseSize));
  EXPECT_EQ(m->Reply(), nullptr);
}

TEST_F(RackMsgTest, WithoutContinuationTheMessageGoesStraightToTheDocument) {
  RackMsg* m = AllocRackMsg();
  m->ReqNum = 7;
  RunRackMsgContinuation(m);
  ASSERT_EQ(toDocument.size(), 1u);
  EXPECT_EQ(toDocument[0], m);
  EXPECT_TRUE(posted.empty());
}

// A reply parser: takes the reply and finishes with a text.
void ParseVersionReply(CComm& comm, RackMsg* msg) {
  if (comm.EndOnError(msg)) return;
  msg->SetReply(2);
  comm.Finish(msg, "Rack %d answered with %d bytes", static_cast<int32_t>(msg->Rack),
              static_cast<int32_t>(msg->ReplySize()));
}

TEST_F(RackMsgTest, AContinuationThatFinishesHandsTheMessageToTheDocument) {
  sim::RackModel rack(sim::RackModel::Config{3, 0, 8, 0, 0});
  RackMsg* m = AllocRackMsg();
  m->Rack = 3;
  const uint8_t version[] = {DIM_CMD_GET_RACK_STATUS, 0, 3, 0, 10, 11, 12};
  std::copy(std::begin(version), std::end(version), m->command);
  m->sendLength = sizeof version;
  m->rackContinuation = ParseVersionReply;
  ASSERT_TRUE(SendRackMsg(m));
  ServeOne(rack);
  ASSERT_EQ(toDocument.size(), 1u);
  EXPECT_EQ(toDocument[0], m);
  EXPECT_FALSE(m->rackContinuation) << "finished mark";
  EXPECT_EQ(m->completion.Format(), "Rack 3 answered with 16 bytes");
  EXPECT_TRUE(posted.empty());
}

// A chunked upload of the circuit patch, four dimmers per exchange, written
// to the continuation protocol: first call, each return, the end.
void UploadCircuitPatch(CComm& comm, RackMsg* msg) {
  constexpr int kChunk = 4;
  if (!msg->rackContinuation) {
    msg->rackContinuation = UploadCircuitPatch;
    msg->progress = 0;
    msg->chunkSize = kChunk;
  } else {
    if (comm.EndOnError(msg)) return;
    const int n = std::min(msg->chunkSize, msg->count - msg->progress);
    for (int i = 0; i < n; ++i)
      msg->data[static_cast<size_t>(msg->progress + i)] =
          static_cast<uint8_t>(msg->response[2 + 2 * i]);  // low bytes suffice here
    msg->progress += n;
    if (msg->progress >= msg->count) {
      comm.Finish(msg, "Circuit patch of %d dimmers uploaded", msg->count);
      return;
    }
  }
  const int first = msg->progress;
  const int last = std::min(first + msg->chunkSize, msg->count) - 1;
  const uint8_t cmd[] = {DIM_CMD_GET_CIRCUIT_PATCH, 0, static_cast<uint8_t>(first),
                         static_cast<uint8_t>(last)};
  std::copy(std::begin(cmd), std::end(cmd), msg->command);
  msg->sendLength = sizeof cmd;
  SendRackMsg(msg);
}

RackMsg* NewUpload(int dimmers) {
  RackMsg* m = AllocRackMsg();
  m->Rack = 2;
  m->count = dimmers;
  m->data.assign(static_cast<size_t>(dimmers), 0);
  return m;
}

TEST_F(RackMsgTest, MultiExchangeTransferRunsToItsEndAndFinishesOnce) {
  sim::RackModel rack(sim::RackModel::Config{2, 0, 12, 0, 0});
  for (int d = 0; d < 12; ++d) rack.state().dimmers[d].circuit = static_cast<uint16_t>(100 + d);
  RackMsg* m = NewUpload(12);
  UploadCircuitPatch(theComm, m);
  while (!posted.empty()) ServeOne(rack);
  EXPECT_EQ(rack.exchanges(), 3u);
  ASSERT_EQ(toDocument.size(), 1u);
  EXPECT_EQ(m->Rcode, 0);
  EXPECT_EQ(m->completion.Format(), "Circuit patch of 12 dimmers uploaded");
  for (int d = 0; d < 12; ++d) EXPECT_EQ(m->data[static_cast<size_t>(d)], 100 + d);
}

TEST_F(RackMsgTest, ATransferFailingAtItsThirdExchangeEndsThere) {
  sim::RackModel rack(sim::RackModel::Config{2, 0, 16, 0, 0});
  for (int d = 0; d < 16; ++d) rack.state().dimmers[d].circuit = static_cast<uint16_t>(50 + d);
  rack.FailAt(3, IO_KRN_NO_RESPONSE);
  RackMsg* m = NewUpload(16);
  UploadCircuitPatch(theComm, m);
  while (!posted.empty()) ServeOne(rack);

  EXPECT_EQ(rack.exchanges(), 3u) << "no fourth command is sent";
  ASSERT_EQ(toDocument.size(), 1u);
  EXPECT_EQ(toDocument[0], m);
  EXPECT_EQ(m->Rcode, IO_KRN_NO_RESPONSE);
  EXPECT_TRUE(m->completion.empty()) << "texts are set only on success";
  EXPECT_TRUE(m->rackContinuation) << "the continuation stays set";
  EXPECT_EQ(m->progress, 8);
  for (int d = 0; d < 8; ++d) EXPECT_EQ(m->data[static_cast<size_t>(d)], 50 + d);
  for (int d = 8; d < 16; ++d) EXPECT_EQ(m->data[static_cast<size_t>(d)], 0);
}

TEST_F(RackMsgTest, TheDocumentContinuationRunsWithTheRequestAfterTheRackLayerFinished) {
  CTKZDoc doc;
  InProcRequest request{42};
  RackMsg* m = AllocRackMsg();
  m->rackContinuation = ParseVersionReply;  // left set by a transfer that failed
  InProcRequest* seen = nullptr;
  m->docContinuation = [&seen](CTKZDoc& d, RackMsg* msg, InProcRequest* r) {
    ++d.steps;
    seen = r;
    EXPECT_FALSE(msg->rackContinuation) << "cleared before the document step runs";
    msg->docContinuation = nullptr;  // a step may replace or clear itself
  };
  EXPECT_TRUE(RunDocContinuation(doc, m, &request));
  EXPECT_EQ(doc.steps, 1);
  EXPECT_EQ(seen, &request);
  EXPECT_FALSE(RunDocContinuation(doc, m, &request)) << "none left: the caller completes";
  EXPECT_EQ(doc.steps, 1);
  FreeRackMsg(m);
}

// Ownership: run under ASan/LSan, a leak or a bad free fails the test run.
TEST(FreeRackMsg, FreesTheBuffersContinuationsAndTextsItOwns) {
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  RackMsg* m = AllocRackMsg();
  m->data.assign(4096, 1);
  m->extra.assign(300, 2);
  m->Rcode = RC_DB_EXCEPTION;
  m->completion.Set("Doc#%d: %d:%s", 4632, 3022, CompletionArg::Text(std::string(500, 'x')));
  m->docContinuation = [token](CTKZDoc&, RackMsg*, InProcRequest*) {};
  m->rackContinuation = [token](CComm&, RackMsg*) {};
  token.reset();
  ASSERT_FALSE(watch.expired());
  FreeRackMsg(m);
  EXPECT_TRUE(watch.expired());
  FreeRackMsg(nullptr);
}

TEST(FreeRackMsg, ResultCodeDecidesNothingAboutOwnership) {
  // 0x403 arriving as a rack's or node's code, with an integer argument: the
  // free must not take the argument for a block of memory.
  RackMsg* fromNode = AllocRackMsg();
  fromNode->Rcode = RC_DB_EXCEPTION;
  fromNode->completion.Set("Request failed, Rcode = 0x%04X", 0x403, 0, 0x1234);
  FreeRackMsg(fromNode);

  // A text carried under any other code is still freed (LSan would see it).
  RackMsg* other = AllocRackMsg();
  other->Rcode = RC_TIMEOUT;
  other->completion.Set("%s", CompletionArg::Text(std::string(200, 'y')));
  FreeRackMsg(other);
}

TEST(FreeRackMsg, ACompletionTakenByTheRequestOutlivesTheMessage) {
  RackMsg* m = AllocRackMsg();
  m->Rcode = RC_DB_EXCEPTION;
  m->completion.Set("Doc#%d: %d:%s", 4632, 3022, CompletionArg::Text("No current record."));
  const CompletionText kept = m->completion;  // what the request engine keeps
  FreeRackMsg(m);
  EXPECT_EQ(kept.Format(), "Doc#4632: 3022:No current record.");
}

}  // namespace
