// A stand-in for the comm thread and the document around theComm: posts are
// queued, messages handed to the document are collected, and a rack model
// answers what the queued messages carry.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Comm.h"
#include "CommPorts.h"
#include "CommRecords.h"
#include "LogBuffer.h"
#include "RackModel.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "TestSupport.h"
#include "ThreadMsgs.h"
#include "platform/time/fake_clock.h"

struct PostedMsg {
  uint32_t id;
  uintptr_t wParam;
  RackMsg* msg;
};

// What went to the rack: one entry per command handed to the model.
struct SentCommand {
  uint32_t id;  // WM_IPC_SEND_MSG or WM_IPC_LOAD_LEARN
  std::vector<uint8_t> bytes;
};

class FakeDoc final : public RackDocPort {
 public:
  std::map<int32_t, int32_t> rackTypes;  // by zone id
  std::vector<int32_t> deletedFaults;
  std::vector<std::pair<int32_t, bool>> statuses;
  std::vector<std::pair<int32_t, std::string>> versions;
  bool throwOnVersion = false;

  int32_t GetRackType(int32_t zoneId) override {
    auto it = rackTypes.find(zoneId);
    return it == rackTypes.end() ? -1 : it->second;
  }
  void DeleteRackFaults(int32_t rack) override { deletedFaults.push_back(rack); }
  void SetRackStatus(int32_t rack, bool up) override { statuses.emplace_back(rack, up); }
  void SetRackSoftwareVersion(int32_t rack, const std::string& v) override {
    if (throwOnVersion) throw std::runtime_error("No current record.");
    versions.emplace_back(rack, v);
  }
};

class FakeCommSide final : public RackCommPort {
 public:
  std::vector<uint32_t> rackUp;
  std::vector<std::pair<uint32_t, RackVersion>> versionSet;
  bool PostRackUp(uint32_t rack) override {
    rackUp.push_back(rack);
    return true;
  }
  bool PostRackVersionSet(uint32_t rack, const RackVersion& v) override {
    versionSet.emplace_back(rack, v);
    return true;
  }
};

class CommFixture : public ::testing::Test {
 protected:
  CommFixture() : log_(clock_, dir_.path()) {
    g_bTimeStampLog = false;
    g_bDiskLogActive = false;
    log_.AddObserver(&seen_);
  }

  void SetUp() override {
    SetPostToComm([this](uint32_t id, uintptr_t wParam, RackMsg* msg) {
      if (refusePosts) return false;
      posted.push_back({id, wParam, msg});
      return true;
    });
    SetRackMsgDoneHandler([this](RackMsg* msg) { toDocument.push_back(msg); });
    theComm.SetDocPort(&doc);
    theComm.SetCommPort(&commSide);
    theComm.SetClock(&clock_);
    theComm.BuildLevelTables({});  // the straight line
    // theComm's mux types (loaded once, as the document does): 1 and 2 with
    // distinct speed and protocol bytes, 3 with protocol 2 (fixed speed).
    if (!theComm.FindMuxType(1)) {
      theComm.AddMuxType(1, 3, 4);
      theComm.AddMuxType(2, 7, 8);
      theComm.AddMuxType(3, 9, 2);
    }
  }

  void TearDown() override {
    SetPostToComm({});
    SetRackMsgDoneHandler({});
    theComm.SetDocPort(nullptr);
    theComm.SetCommPort(nullptr);
    theComm.SetClock(nullptr);
    std::set<RackMsg*> held = created;
    for (auto& p : posted) held.insert(p.msg);
    for (auto* m : toDocument) held.insert(m);
    for (auto* m : held) FreeRackMsg(m);
  }

  // A message as the document hands it to a builder. The fixture frees it
  // at the end of the test (tests never free what NewMsg gave them).
  RackMsg* NewMsg(uint32_t rack, int32_t count = 0, size_t dataBytes = 0, int32_t index = 0) {
    RackMsg* m = AllocRackMsg();
    created.insert(m);
    m->Rack = rack;
    m->count = count;
    m->index = index;
    m->data.assign(dataBytes, 0);
    return m;
  }

  // The bytes of the command last posted.
  std::vector<uint8_t> LastCommand() const {
    if (posted.empty()) return {};
    const RackMsg* m = posted.back().msg;
    return {m->command, m->command + std::clamp<int32_t>(m->sendLength, 0, 290)};
  }

  // Plays the comm thread until nothing is queued: commands go to the rack,
  // its answer (or link code; a silent rack times out) comes back into the
  // message; learn phases and delays are returned as they are.
  void Serve(sim::RackModel& rack) {
    while (!posted.empty()) {
      PostedMsg p = posted.front();
      posted.pop_front();
      RackMsg* m = p.msg;
      const bool exchange = p.id == WM_IPC_SEND_MSG || (p.id == WM_IPC_LOAD_LEARN && p.wParam == 0);
      if (p.id == WM_IPC_DELAY_MSG) delays.push_back(m->delay);
      if (p.id == WM_IPC_LOAD_LEARN) learnPhases.push_back(static_cast<int>(p.wParam));
      if (exchange) {
        ASSERT_GE(m->sendLength, 2);
        ASSERT_LE(m->sendLength, 290);
        const std::vector<uint8_t> bytes(m->command, m->command + m->sendLength);
        sent.push_back({p.id, bytes});
        const auto answer = rack.Exchange(bytes);
        std::vector<uint8_t> reply = answer.reply;
        if (mangle) mangle(reply);
        m->Rcode = answer.kind == sim::AnswerKind::Silent ? RC_TIMEOUT : answer.rcode;
        m->responseLength = static_cast<uint16_t>(std::min<size_t>(reply.size(), 1024));
        std::copy_n(reply.begin(), m->responseLength, m->response);
        if (responseLengthOverride) m->responseLength = *responseLengthOverride;
      }
      RunRackMsgContinuation(m);
    }
  }

  // Runs a builder on a new message and serves it; returns the message the
  // document received (exactly one is expected).
  RackMsg* RunToDocument(sim::RackModel& rack, RackMsg* m, const std::function<void(RackMsg*)>& build) {
    build(m);
    Serve(rack);
    EXPECT_EQ(toDocument.size(), 1u);
    return toDocument.empty() ? nullptr : toDocument.back();
  }

  std::vector<uint8_t> SentBytes(size_t i) const { return i < sent.size() ? sent[i].bytes : std::vector<uint8_t>{}; }
  bool Logged(const std::string& text) const { return seen_.text().find(text) != std::string::npos; }

  FlagGuard flags_;
  TempDir dir_;
  platform::time::FakeClock clock_;
  LogBuffer log_;
  RecordingObserver seen_;

  FakeDoc doc;
  FakeCommSide commSide;
  bool refusePosts = false;
  std::set<RackMsg*> created;
  std::deque<PostedMsg> posted;
  std::vector<RackMsg*> toDocument;
  std::vector<SentCommand> sent;
  std::vector<int> learnPhases;
  std::vector<int32_t> delays;
  std::function<void(std::vector<uint8_t>&)> mangle;
  std::optional<uint16_t> responseLengthOverride;
};

inline DimmerRecord BlankDimmer() {
  DimmerRecord r;
  std::memset(&r, 0, sizeof r);
  return r;
}
