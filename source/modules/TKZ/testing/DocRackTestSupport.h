// A fixture for the document's tests of request handlers that send rack
// messages: an open document on a new site, the comm thread played by the
// test (posts queued, answered by rack models, returned through the
// rack-message layer), and the request engine's response routing.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Comm.h"
#include "DocSchedule.h"
#include "DocTestSupport.h"
#include "RackModel.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "RequestRouteTestSupport.h"
#include "ThreadMsgs.h"

struct PostedRackMsg {
  uint32_t id;
  uintptr_t wParam;
  RackMsg* msg;
};

// One command as it went to a rack: the message's rack (0xFFFF broadcast),
// its node and port (as the sender set them), its target step and bytes.
struct RackCommandSent {
  uint32_t rack;
  uint32_t nodeId;
  int32_t portSlot;
  int32_t target;
  std::vector<uint8_t> bytes;
  uint8_t Command() const { return bytes.size() >= 2 ? bytes[0] : 0xFF; }
};

class DocRackTest : public DocSiteTest {
 protected:
  void SetUp() override {
    SetPostToComm([this](uint32_t id, uintptr_t wParam, RackMsg* msg) {
      posted_.push_back({id, wParam, msg});
      return true;
    });
    SetRackMsgDoneHandler([this](RackMsg* msg) { Route(msg); });
    theComm.BuildLevelTables({});
    OpenDoc();
  }
  void TearDown() override {
    for (const PostedRackMsg& p : posted_) FreeRackMsg(p.msg);
    posted_.clear();
    doc_.reset();
    SetPostToComm({});
    SetRackMsgDoneHandler({});
  }

  CTKZDoc& Doc() { return *doc_; }

  // The request engine's routing of a returned message.
  void Route(RackMsg* msg) {
    if (!doc_) {
      ++unknownReturns_;
      FreeRackMsg(msg);
    } else if (!RouteToRequest(*doc_, msg)) {
      ++unknownReturns_;
    }
  }

  // A rack in the document's table, on a node port.
  RackInfo& AddRack(int rack, int node, int slot, int digital = 8, int analog = 0, uint32_t parentZone = 0) {
    RackInfo& info = DocTestPeer::AddRack(*doc_, rack);
    info.NodeID = node;
    info.portSlot = slot;
    info.DigitalDimsFitted = digital;
    info.AnalogOutputs = analog;
    info.ZoneParentID = parentZone;
    // The zone tree holds the rack under its zone (the zone's own row first).
    if (parentZone != 0) {
      const std::string zone = std::to_string(parentZone);
      Sql("INSERT INTO tblZoneTree (ZoneID, ZoneParentID, ZoneType) SELECT " + zone + ", 0, 'TreeGroup' "
          "WHERE NOT EXISTS (SELECT 1 FROM tblZoneTree WHERE ZoneID = " + zone + ");"
          "INSERT INTO tblZoneTree (ZoneID, ZoneParentID, ZoneType) VALUES (" +
          std::to_string(10000 + rack) + ", " + zone + ", 'Rack');");
    }
    return info;
  }
  sim::RackModel& Model(uint32_t rack, uint16_t digital = 8) {
    auto it = models_.find(rack);
    if (it == models_.end()) {
      sim::RackModel::Config c;
      c.rackNumber = static_cast<uint16_t>(rack);
      c.digitalDims = digital;
      it = models_.emplace(rack, sim::RackModel(c)).first;
    }
    return it->second;
  }

  // Plays the comm thread until nothing is queued.  Commands go to the
  // model of their rack (broadcasts to one model per node port); a failure
  // can be forced for the next answers.
  void Serve() {
    while (!posted_.empty()) {
      PostedRackMsg p = posted_.front();
      posted_.pop_front();
      RackMsg* m = p.msg;
      if (p.id == WM_IPC_LOAD_LEARN) learnPhases_.push_back(static_cast<int>(p.wParam));
      const bool exchange = p.id == WM_IPC_SEND_MSG || (p.id == WM_IPC_LOAD_LEARN && p.wParam == 0);
      if (exchange) {
        const std::vector<uint8_t> bytes(m->command, m->command + std::clamp<int32_t>(m->sendLength, 0, 290));
        sent_.push_back({m->Rack, m->nodeId, m->portSlot, m->target, bytes});
        if (!failCodes_.empty()) {
          m->Rcode = failCodes_.front();
          failCodes_.pop_front();
          m->responseLength = 0;
        } else {
          const uint32_t key = m->Rack == kRackBroadcast ? 0x10000 + m->nodeId * 8 + m->portSlot : m->Rack;
          const sim::RackAnswer answer = Model(key).Exchange(bytes);
          m->Rcode = answer.kind == sim::AnswerKind::Silent ? RC_TIMEOUT : answer.rcode;
          m->responseLength = static_cast<uint16_t>(std::min<size_t>(answer.reply.size(), 1024));
          std::copy_n(answer.reply.begin(), m->responseLength, m->response);
        }
      }
      RunRackMsgContinuation(m);
    }
  }
  // The clock moves on, then a timer tick runs the due events.
  void Tick(int seconds = 1) {
    clock_.AdvanceSeconds(seconds);
    doc_->RunDueEvents();
  }

  std::vector<uint8_t> CommandsSent() const {
    std::vector<uint8_t> out;
    for (const auto& s : sent_) out.push_back(s.Command());
    return out;
  }
  std::string Logged() const { return observer_.text(); }
  bool LoggedLine(const std::string& line) const { return observer_.text().find(line) != std::string::npos; }

  // A date of the test clock's calendar, as SQL text.
  static std::string Ole(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    char text[40];
    std::snprintf(text, sizeof text, "%.10f", OleAt(y, mo, d, h, mi, s).days);
    return text;
  }
  // The time of day on the day-zero date.
  static std::string TimeOfDay(int h, int mi, int s = 0) { return Ole(1899, 12, 30, h, mi, s); }

  // A tblSchedule row.
  void AddSchedule(int id, int state, const std::string& date, const std::string& time, int macro,
                   int eventId = 1) {
    Sql("INSERT INTO tblSchedule (ScheduleID, RequestState, EventTime, MacroID, Step, EventID, ScheduleDate) "
        "VALUES (" + std::to_string(id) + ", " + std::to_string(state) + ", " + time + ", " +
        std::to_string(macro) + ", 0, " + std::to_string(eventId) + ", " + date + ");");
  }
  void AddStep(int macro, int step, int action, const std::string& p1 = "", const std::string& p2 = "",
               const std::string& p3 = "") {
    auto quoted = [](const std::string& s) { return s.empty() ? std::string("NULL") : "'" + s + "'"; };
    Sql("INSERT INTO tblMacroStep (MacroID, Step, Action, ActionParam1, ActionParam2, ActionParam3) VALUES (" +
        std::to_string(macro) + ", " + std::to_string(step) + ", " + std::to_string(action) + ", " +
        quoted(p1) + ", " + quoted(p2) + ", " + quoted(p3) + ");");
  }
  std::string ScheduleRow(int id) {
    return One("SELECT RequestState || '|' || ifnull(RequestDiagnostic, '') || '|' || ifnull(Step, '') "
               "FROM tblSchedule WHERE ScheduleID = " + std::to_string(id));
  }
  // The queue as "kind:id@time" entries.
  std::vector<std::string> Queue() const {
    std::vector<std::string> out;
    for (const ScheduleNode* n = doc_->ScheduleHead(); n != nullptr; n = n->next)
      out.push_back(std::to_string(n->kind) + ":" + std::to_string(n->ScheduleID) + "@" + std::to_string(n->time));
    return out;
  }

  std::deque<PostedRackMsg> posted_;
  std::vector<RackCommandSent> sent_;
  std::deque<uint16_t> failCodes_;
  std::vector<int> learnPhases_;
  std::map<uint32_t, sim::RackModel> models_;
  int unknownReturns_ = 0;
};
