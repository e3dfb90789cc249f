// Node and rack status write-back: ConnectStatus of tblNodeStatus and
// tblRackStatus, the racks' RACK_INFO_UP, and one outage record per outage
// (type 1000 for a rack, 1001 for a node).
#include <climits>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>

#include "Doc.h"
#include "DisplayFlags.h"
#include "LogSink.h"
#include "platform/time/clock.h"

namespace {

#pragma pack(push, 1)
struct NodeStatusRow {
  int32_t NodeID;
  int16_t ConnectStatus;
  char NodeName[50];
};
#pragma pack(pop)

constexpr dao::Binding kNodeStatusBindings[] = {
    {"NodeID", dao::BindType::kI32, offsetof(NodeStatusRow, NodeID), 4},
    {"ConnectStatus", dao::BindType::kI16, offsetof(NodeStatusRow, ConnectStatus), 2},
    {"NodeName", dao::BindType::kText, offsetof(NodeStatusRow, NodeName), 50},
};

// Node ids whose outage record still fits RackNumber (1000 + id in 16 bits).
constexpr int32_t kMaxRecordedNodeId = INT16_MAX - kFaultNodeBase;

const char* UpDown(bool up) { return up ? "up" : "down"; }

void SetOutage(FaultRecord& r, bool up, FaultDate now) {
  if (up)
    r.SubsideTimestamp = now;
  else
    r.AriseTimestamp = now;
}

}  // namespace

FaultDate CTKZDoc::NowDate() const {
  return FaultDate{platform::time::ToOleDate(TheClock().Local()), 0};
}

void CTKZDoc::WriteNodeConnect(int32_t nodeId, int16_t status,
                               const std::function<void(int32_t, int16_t, const char*)>& onRow) {
  dao::QueryDef q = m_Database->QueryDefs("TKZqryNodeStatus");
  q.SetParameter("ValueNodeID", nodeId);
  dao::Recordset rs = q.OpenRecordset();
  NodeStatusRow row{};
  rs.ReadRow(&row, sizeof row, kNodeStatusBindings);
  row.NodeName[sizeof row.NodeName - 1] = '\0';
  if (onRow) onRow(row.NodeID, row.ConnectStatus, row.NodeName);
  rs.Edit();
  rs.SetField("ConnectStatus", static_cast<int32_t>(status));
  rs.Update();
}

void CTKZDoc::WriteRackStatusField(int32_t rack, std::string_view column, const dao::Variant& value) {
  dao::QueryDef q = m_Database->QueryDefs("TKZqryRackStatus");
  q.SetParameter("ValueZoneID", RackZoneId(rack));
  dao::Recordset rs = q.OpenRecordset();
  RackStatusRow row{};
  rs.ReadRow(&row, sizeof row, kRackStatusBindings);
  rs.Edit();
  rs.SetField(column, value);
  rs.Update();
}

void CTKZDoc::WriteRackConnect(int32_t rack, int16_t status) {
  WriteRackStatusField(rack, "ConnectStatus", static_cast<int32_t>(status));
}

void CTKZDoc::SetNodeStatus(int32_t nodeId, bool up) {
  std::string name;
  bool named = false;
  if (m_Database) {
    const int16_t status = up ? 1 : 0;
    try {
      WriteNodeConnect(nodeId, status, [&](int32_t, int16_t, const char* nodeName) {
        name = nodeName;
        named = true;
        if (g_bDocDebug) LogPrintf("Node \"%s\" is now %s.\n", name.c_str(), UpDown(up));
      });
      m_Kept.nodeStatus.erase(nodeId);
    } catch (const dao::Error& e) {
      LogDbError(kDocLineNodeStatus, e);
      KeepLatest(m_Kept.nodeStatus, nodeId, status, e);
    }
  }
  // Without a row the record still names the node.
  if (!named) name = "NodeID " + std::to_string(nodeId);

  if (!up) {
    // The query is prepared once and re-run for each rack.  A rack whose
    // status row cannot be written is logged and the walk goes on, so the
    // node's other racks still go down.
    std::optional<dao::QueryDef> q;
    std::optional<dao::Recordset> rs;
    for (auto& [key, info] : m_RackMap) {
      if (!info || info->NodeID != nodeId) continue;
      const int32_t rack = info->RackNumber == 0 ? kFaultMaxRack : info->RackNumber;
      if (g_bDocDebug)
        LogPrintf("Rack %d is now down (because it's connected to NodeID %d).\n", rack, nodeId);
      info->flags &= ~RACK_INFO_UP;
      if (!m_Database) continue;
      try {
        if (!q) q.emplace(m_Database->QueryDefs("TKZqryRackStatus"));
        q->SetParameter("ValueZoneID", RackZoneId(rack));
        if (!rs)
          rs.emplace(q->OpenRecordset());
        else
          rs->Requery();
        RackStatusRow row{};
        rs->ReadRow(&row, sizeof row, kRackStatusBindings);
        rs->Edit();
        rs->SetField("ConnectStatus", static_cast<int32_t>(0));
        rs->Update();
        m_Kept.rackStatus.erase(rack);
      } catch (const dao::Error& e) {
        LogDbError(kDocLineNodeRacks, e);
        KeepLatest(m_Kept.rackStatus, rack, int16_t{0}, e);
      }
    }
  }

  if (nodeId < 0 || nodeId > kMaxRecordedNodeId) {
    LogPrintf("Error: No outage record for node %d: its id does not fit a fault record.\n", nodeId);
    return;
  }
  FaultRecord r;
  r.FaultType = FAULT_TYPE_NODE_DOWN;
  r.RackNumber = static_cast<int16_t>(kFaultNodeBase + nodeId);
  r.args[0] = FaultArg::Text(name.c_str());
  SetOutage(r, up, NowDate());
  WriteFaultRecords(&r, 1);
}

void CTKZDoc::SetRackStatus(int32_t rack, bool up) {
  if (rack < 1 || rack > kFaultMaxRack) {
    LogPrintf("Error: Status of rack %d ignored: not a rack number.\n", rack);
    return;
  }
  RackInfo* info = FindRackInfo(rack);
  if (info == nullptr) {
    LogPrintf("Error: Status of rack %d ignored: the rack is not loaded.\n", rack);
    return;
  }
  const bool wasUp = (info->flags & RACK_INFO_UP) != 0;
  if (wasUp != up) {
    if (g_bDocDebug) LogPrintf("Rack %d has gone %s.\n", rack, UpDown(up));
    if (up)
      info->flags |= RACK_INFO_UP;
    else
      info->flags &= ~RACK_INFO_UP;
    if (m_Database) {
      const int16_t status = up ? 1 : 0;
      try {
        WriteRackConnect(rack, status);
        m_Kept.rackStatus.erase(rack);
      } catch (const dao::Error& e) {
        LogDbError(kDocLineRackStatus, e);
        KeepLatest(m_Kept.rackStatus, rack, status, e);
      }
    }
  }
  FaultRecord r;
  r.FaultType = FAULT_TYPE_RACK_DOWN;
  r.RackNumber = static_cast<int16_t>(rack);
  r.args[0] = FaultArg::Number(rack);
  SetOutage(r, up, NowDate());
  WriteFaultRecords(&r, 1);
}

// ---- free forwarders ------------------------------------------------------------

void DocSetNodeStatus(int32_t nodeId, bool up) {
  if (g_pDoc != nullptr) g_pDoc->SetNodeStatus(nodeId, up);
}

void DocSetRackStatus(int32_t rack, bool up) {
  if (g_pDoc != nullptr) g_pDoc->SetRackStatus(rack, up);
}

void DocOnNodeStatus(uintptr_t wParam, intptr_t lParam) {
  if (lParam < 0 || lParam > INT32_MAX) {
    LogPrintf("Error: Node status for node %lld ignored: not a node id.\n", static_cast<long long>(lParam));
    return;
  }
  DocSetNodeStatus(static_cast<int32_t>(lParam), wParam != 0);
}

void DocOnRackStatus(uintptr_t wParam, intptr_t lParam) {
  if (lParam < 1 || lParam > kFaultMaxRack) {
    LogPrintf("Error: Rack status for rack %lld ignored: not a rack number.\n", static_cast<long long>(lParam));
    return;
  }
  DocSetRackStatus(static_cast<int32_t>(lParam), wParam != 0);
}
