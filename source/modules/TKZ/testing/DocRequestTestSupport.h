// A fixture for the request engine and its handlers: an open document on a
// new site, request rows written as an outside program writes them, and the
// comm thread played by a queue of posted rack messages that rack models
// answer.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "DocComm.h"
#include "DocTestSupport.h"
#include "RackModel.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "ThreadMsgs.h"

class DocRequestTest : public DocSiteTest {
 protected:
  // What went to a rack: the message's address and its command bytes.
  struct Sent {
    uint32_t rack;
    uint32_t nodeId;
    int32_t portSlot;
    std::vector<uint8_t> bytes;
  };

  void SetUp() override {
    SetPostToComm([this](uint32_t id, uintptr_t, RackMsg* msg) {
      if (refusePosts) return false;
      EXPECT_EQ(id, WM_IPC_SEND_MSG);
      posted.push_back(msg);
      return true;
    });
    theComm.BuildLevelTables({});  // the straight line
    OpenDoc();
    comm_.calls.clear();
  }
  void TearDown() override {
    SetPostToComm({});
    for (RackMsg* m : posted) FreeRackMsg(m);
    posted.clear();
  }

  CTKZDoc& Doc() { return *doc_; }

  void Request(int rid, int type, int subType, int zone) {
    Sql("INSERT INTO tblTKZRequest (RID, RequestState, RequestType, RequestSubType, ZoneID) VALUES (" +
        std::to_string(rid) + ", 0, " + std::to_string(type) + ", " + std::to_string(subType) + ", " +
        std::to_string(zone) + ");");
  }
  void Param(int rid, int number, const std::string& value) {
    Sql("INSERT INTO tblTKZRequestParam (RID, ParamNumber, ParamValue) VALUES (" + std::to_string(rid) + ", " +
        std::to_string(number) + ", '" + value + "');");
  }
  // "RequestState|RequestDiagnostic" of a request row.
  std::string Row(int rid) {
    return One("SELECT RequestState, RequestDiagnostic FROM tblTKZRequest WHERE RID = " + std::to_string(rid));
  }

  // A rack the document knows, reached through a node's port, with its
  // configuration row (digital dimmers fitted and analog outputs).
  RackInfo& KnownRack(int rack, int node, int slot, int digital, int analog = 0) {
    Sql("INSERT INTO tblRackConfig (ZoneID, ZoneParentID, RackType, RackNumber, DigitalDimsFitted, AnalogOutputs) "
        "VALUES (" + std::to_string(10000 + rack) + ", 7, 0, " + std::to_string(rack) + ", " +
        std::to_string(digital) + ", " + std::to_string(analog) + ");");
    RackInfo& info = DocTestPeer::AddRack(Doc(), rack);
    info.NodeID = node;
    info.portSlot = slot;
    return info;
  }

  // Plays the comm thread until nothing is queued: a message for a rack
  // goes to that rack's model, a broadcast to every model (the first one
  // answers); a rack without a model does not answer (RC_TIMEOUT).
  void Serve() {
    while (!posted.empty()) {
      RackMsg* m = posted.front();
      posted.pop_front();
      const std::vector<uint8_t> bytes(m->command, m->command + std::clamp<int32_t>(m->sendLength, 0, 290));
      sent.push_back({m->Rack, m->nodeId, m->portSlot, bytes});
      std::optional<sim::RackAnswer> answer;
      for (auto& [number, model] : racks) {
        if (m->Rack != kRackBroadcast && m->Rack != number) continue;
        sim::RackAnswer a = model->Exchange(bytes);
        if (!answer) answer = std::move(a);
      }
      if (!answer || answer->kind == sim::AnswerKind::Silent) {
        m->Rcode = RC_TIMEOUT;
        m->responseLength = 0;
      } else {
        m->Rcode = answer->rcode;
        m->responseLength = static_cast<uint16_t>(std::min<size_t>(answer->reply.size(), kRackMsgResponseSize));
        std::copy_n(answer->reply.begin(), m->responseLength, m->response);
      }
      RunRackMsgContinuation(m);
    }
  }

  std::deque<RackMsg*> posted;
  std::vector<Sent> sent;
  std::map<uint32_t, sim::RackModel*> racks;  // by rack number; not owned
  bool refusePosts = false;
};
