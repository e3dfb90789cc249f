// A fixture for the rack configuration steps: a site database with racks
// configured below one control zone, the document open on it, rack models
// answering the commands the steps send, and the document's response
// routing played as the request engine does it (count, first failure,
// completion text, document continuation or completion).
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Comm.h"
#include "CommPorts.h"
#include "DocTestSupport.h"
#include "RackModel.h"
#include "RackMsg.h"
#include "RcCodes.h"
#include "RequestRouteTestSupport.h"
#include "ThreadMsgs.h"

// The document as theComm's builders ask it (rack kinds only).
class DocRackKinds final : public RackDocPort {
 public:
  explicit DocRackKinds(CTKZDoc*& doc) : doc_(doc) {}
  int32_t GetRackType(int32_t zoneId) override { return doc_ != nullptr ? doc_->GetRackType(zoneId) : -1; }
  void DeleteRackFaults(int32_t) override {}
  void SetRackStatus(int32_t, bool) override {}
  void SetRackSoftwareVersion(int32_t, const std::string&) override {}

 private:
  CTKZDoc*& doc_;
};

struct SentToRack {
  uint32_t rack;
  uint16_t command;
};

class RackConfigTest : public DocSiteTest {
 protected:
  static constexpr int kZone = 500;  // the control zone holding the racks

  void SetUp() override {
    SetPostToComm([this](uint32_t id, uintptr_t, RackMsg* m) {
      if (id != WM_IPC_SEND_MSG) return false;
      posted.push_back(m);
      return true;
    });
    SetRackMsgDoneHandler([this](RackMsg* m) { Route(m); });
    // theComm with the document's rack kinds, the straight-line level
    // table, mux types 1 (speed 3, protocol 4) and 2 (speed 7, protocol 8).
    theComm.SetDocPort(&kinds_);
    theComm.BuildLevelTables({});
    if (!theComm.FindMuxType(1)) {
      theComm.AddMuxType(1, 3, 4);
      theComm.AddMuxType(2, 7, 8);
    }
    doc = &OpenDoc();
    Sql("INSERT INTO tblZoneTree (ZoneID, ZoneParentID, ZoneType) VALUES (500, 0, 'Racks');");
  }

  void TearDown() override {
    for (RackMsg* m : posted) FreeRackMsg(m);
    posted.clear();
    SetPostToComm({});
    SetRackMsgDoneHandler({});
    theComm.SetDocPort(nullptr);
    doc_.reset();
    doc = nullptr;
  }

  // A rack of `dims` digital dimmers below the control zone, with its
  // configuration, dimmers, module map and a three-point user curve 1; its
  // rack model starts blank.
  sim::RackModel& AddRack(int rack, int dims, int rackType = 0) {
    const std::string n = std::to_string(rack), zone = std::to_string(10000 + rack);
    Sql("INSERT INTO tblZoneTree (ZoneID, ZoneParentID, ZoneType) VALUES (" + zone + ", 500, 'Rack');"
        "INSERT INTO tblRackConfig (ZoneID, ZoneParentID, RackType, RackCase, RackNumber, MuxTypeA, MuxTypeB,"
        " MuxFailPreset, MuxFailHoldTime, MuxFailMode, BrevantPowerupPreset, RackLanguage, KeypadLockEnable,"
        " FanSpeed, DigitalDims, AnalogOutputs, AnalogInputs, DigitalDimsFitted, NumberRows, NumberSlots)"
        " VALUES (" + zone + ", 500, " + std::to_string(rackType) + ", 0, " + n + ", 1, 2, 5, 120, 1, 3, 2, 0, -1, " +
        std::to_string(dims) + ", 0, 0, " + std::to_string(dims) + ", 2, 3);"
        "WITH RECURSIVE d(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM d WHERE x < " + std::to_string(dims) + ")"
        " INSERT INTO tblDimConfig (DimID, ZoneID, DimNumber, ModuleType, StatusReportingEnable, Response, MinLevel,"
        " MaxVoltage, FluoTopset, FluoCutoff, NonDimThreshold, MuxMode, Curve, AnalogIn, AnalogInEnable,"
        " ManualLevelEnable, ManualLevel, BvtRoom, BvtCh, PanicAction, CableResistance, LoadPercentTol, MuxACh,"
        " MuxBCh, CircuitID, relaycycles)"
        " SELECT " + n + " * 1000 + x, " + zone + ", x, 7, -1, 2, 10 + x, 200, 90, 5, 50, 1, 2, 0, 0, 0, 0,"
        " (x - 1) / 3 + 1, (x - 1) % 3 + 1, 0, 100 + x, 20, x, 100 + x, " + n + " * 100 + x, 0 FROM d;"
        "INSERT INTO tblRackModuleMap (ZoneID, Row, ModuleType0, ModuleType1, ModuleType2, ModuleType3,"
        " ModuleType4, ModuleType5) VALUES (" + zone + ", 1, 11, 12, 13, 99, 99, 99), (" + zone +
        ", 2, 21, 22, 23, 99, 99, 99);"
        "INSERT INTO tblRackUserCurvePoint (ZoneID, UserCurve, InputLevel, OutputLevel) VALUES (" + zone +
        ", 1, 0, 0), (" + zone + ", 1, 50, 80), (" + zone + ", 1, 100, 100);");
    RackInfo& info = DocTestPeer::AddRack(*doc, rack);
    info.ZoneParentID = kZone;
    info.DigitalDimsFitted = dims;
    auto& model = models[static_cast<uint32_t>(rack)];
    model = std::make_unique<sim::RackModel>(ModelConfig(rack, dims, rackType));
    return *model;
  }
  static sim::RackModel::Config ModelConfig(uint32_t rack, int dims, int rackType = 0) {
    sim::RackModel::Config c;
    c.rackNumber = static_cast<uint16_t>(rack);
    c.rackType = static_cast<uint16_t>(rackType);
    c.digitalDims = static_cast<uint16_t>(dims);
    return c;
  }

  // The control zone's preset tables and room links.
  void SeedZoneTables() {
    Sql("WITH RECURSIVE p(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM p WHERE x < 99)"
        " INSERT INTO tblQXVPreset (ZoneID, PresetNumber, PresetTime) SELECT 500, x, 2 * x + 1 FROM p;"
        "WITH RECURSIVE r(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM r WHERE x < 16),"
        " p(y) AS (SELECT 0 UNION ALL SELECT y + 1 FROM p WHERE y < 9)"
        " INSERT INTO tblBvtPreset (ZoneID, RoomNumber, PresetNumber, PresetTime) SELECT 500, x, y, x * 10 + y FROM r, p;"
        "WITH RECURSIVE r(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM r WHERE x < 16),"
        " p(y) AS (SELECT 1 UNION ALL SELECT y + 1 FROM p WHERE y < 8),"
        " c(z) AS (SELECT 1 UNION ALL SELECT z + 1 FROM c WHERE z < 15)"
        " INSERT INTO tblBvtPresetLevel (ZoneID, PresetNumber, RoomNumber, Channel, ChLevel)"
        " SELECT 500, y, x, z, (y * 7 + x * 3 + z) % 101 FROM r, p, c;"
        "WITH RECURSIVE r(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM r WHERE x < 16)"
        " INSERT INTO tblBvtRoomLink (ZoneID, RoomNumber, RoomLink) SELECT 500, x, x % 3 FROM r;");
  }
  // QXV levels of every preset of every dimmer of a rack.
  void SeedQxvLevels(int rack, int dims) {
    Sql("WITH RECURSIVE d(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM d WHERE x < " + std::to_string(dims) + "),"
        " p(y) AS (SELECT 0 UNION ALL SELECT y + 1 FROM p WHERE y < 99)"
        " INSERT INTO tblQXVPresetLevel (DimID, PresetNumber, DimLevel) SELECT " + std::to_string(rack) +
        " * 1000 + x, y, (x * 13 + y) % 101 FROM d, p;");
  }

  // A request row with its parameter values, dispatched as the request
  // poll does it; returns its ReqNum.
  uint32_t Dispatch(int rid, int type, int subType, int zone, const std::vector<std::string>& params) {
    Sql("INSERT INTO tblTKZRequest (RID, RequestState, RequestType, RequestSubType, ZoneID) VALUES (" +
        std::to_string(rid) + ", 3, " + std::to_string(type) + ", " + std::to_string(subType) + ", " +
        std::to_string(zone) + ");");
    for (size_t i = 0; i < params.size(); ++i)
      Sql("INSERT INTO tblTKZRequestParam (RID, ParamNumber, ParamValue) VALUES (" + std::to_string(rid) + ", " +
          std::to_string(i) + ", '" + params[i] + "');");
    InProcRequest* r = doc->AddRequest();
    r->RID = rid;
    r->RequestType = type;
    r->RequestSubType = subType;
    r->ZoneID = zone;
    const uint32_t reqNum = r->ReqNum;
    TKZRequestRow& row = doc->RequestRow();
    row = TKZRequestRow{};
    row.RID = rid;
    row.RequestState = REQUEST_STATE_IN_PROCESS;
    if (type == 0)
      doc->RunRackConfigProcess(nullptr, r);
    else
      doc->OnRoomLinkRequest(r);
    if (row.RequestState == REQUEST_STATE_FAILED) {
      Sql("UPDATE tblTKZRequest SET RequestState = 5, RequestDiagnostic = '" + std::string(row.RequestDiagnostic) +
          "' WHERE RID = " + std::to_string(rid) + ";");
      doc->FreeRequest(r);
      return reqNum;
    }
    startText = row.RequestDiagnostic;
    doc->RequestSent(r);
    return reqNum;
  }

  // The comm thread and the racks: every queued message goes to its rack's
  // model (an offline rack, a silent one or one without a model fails it)
  // and comes back through the rack-message layer. Stops after `limit`
  // exchanges when given.
  void Serve(size_t limit = SIZE_MAX) {
    for (size_t n = 0; n < limit && !posted.empty(); ++n) {
      RackMsg* m = posted.front();
      posted.pop_front();
      sent.push_back({m->Rack, m->Command()});
      auto it = models.find(m->Rack);
      if (failing.count(m->Rack) != 0) {
        m->Rcode = failing[m->Rack];
      } else if (it == models.end()) {
        m->Rcode = RC_NO_NODE_FOR_RACK;
      } else {
        const std::vector<uint8_t> bytes(m->command, m->command + std::clamp<int32_t>(m->sendLength, 0, 290));
        const sim::RackAnswer answer = it->second->Exchange(bytes);
        m->Rcode = answer.kind == sim::AnswerKind::Silent ? RC_TIMEOUT : answer.rcode;
        m->responseLength = static_cast<uint16_t>(std::min<size_t>(answer.reply.size(), sizeof m->response));
        std::copy_n(answer.reply.begin(), m->responseLength, m->response);
        if (answer.kind == sim::AnswerKind::LinkCode) ADD_FAILURE() << "rack refused: " << it->second->last_reject();
      }
      RunRackMsgContinuation(m);
    }
  }

  // The request engine's response routing.
  void Route(RackMsg* m) {
    if (doc == nullptr) {
      ++unknown;
      FreeRackMsg(m);
    } else if (!RouteToRequest(*doc, m)) {
      ++unknown;
    }
  }

  std::string State(int rid) {
    return One("SELECT RequestState || '|' || ifnull(RequestDiagnostic, '') FROM tblTKZRequest WHERE RID = " +
               std::to_string(rid));
  }
  size_t SentCount(uint16_t command) const {
    return static_cast<size_t>(
        std::count_if(sent.begin(), sent.end(), [command](const SentToRack& s) { return s.command == command; }));
  }
  size_t PostedCount(uint16_t command) const {
    return static_cast<size_t>(
        std::count_if(posted.begin(), posted.end(), [command](const RackMsg* m) { return m->Command() == command; }));
  }

  CTKZDoc* doc = nullptr;
  DocRackKinds kinds_{doc};
  std::map<uint32_t, std::unique_ptr<sim::RackModel>> models;
  std::map<uint32_t, uint16_t> failing;  // rack -> the Rcode its messages come back with
  std::deque<RackMsg*> posted;
  std::vector<SentToRack> sent;
  std::string startText;
  int unknown = 0;
};
