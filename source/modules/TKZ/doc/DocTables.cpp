// The resident tables: nodes and their ports, racks and their zones, loaded
// from the plant configuration and handed to the comm thread.
#include <cstddef>
#include <cstring>

#include "CommLoad.h"
#include "DisplayFlags.h"
#include "Doc.h"
#include "LogSink.h"
#include "TextField.h"

namespace {

// Source name of the loads' error lines.
constexpr char kTablesSourceName[] = "doc";

// Text columns are read with room for the schema's 50 characters.
constexpr size_t kTextColumn = 51;

#pragma pack(push, 1)
struct NodePortRow {
  int32_t NodeID;
  char NodeName[kTextColumn];
  char IPAddress[kTextColumn];
  int16_t PortNumber;
  int16_t PortCategory;
  char Name[kTextColumn];  // the node type's name
};
struct RackNodeRow {
  int32_t NodeID;
  int16_t RackNumber;
  int16_t PortNumber;
  char IPAddress[kTextColumn];
  char Name[kTextColumn];  // the node type's name
};
struct QxvZoneRow {
  int32_t ZoneID;
  uint8_t PresetNumber;
};
struct BvtZoneRow {
  int32_t ZoneID;
  uint8_t RoomNumber;
  uint8_t PresetNumber;
};
#pragma pack(pop)

constexpr dao::Binding kNodePortBindings[] = {
    {"NodeID", dao::BindType::kI32, offsetof(NodePortRow, NodeID), 4},
    {"NodeName", dao::BindType::kText, offsetof(NodePortRow, NodeName), kTextColumn},
    {"IPAddress", dao::BindType::kText, offsetof(NodePortRow, IPAddress), kTextColumn},
    {"PortNumber", dao::BindType::kI16, offsetof(NodePortRow, PortNumber), 2},
    {"PortCategory", dao::BindType::kI16, offsetof(NodePortRow, PortCategory), 2},
    {"Name", dao::BindType::kText, offsetof(NodePortRow, Name), kTextColumn},
};
constexpr dao::Binding kRackNodeBindings[] = {
    {"NodeID", dao::BindType::kI32, offsetof(RackNodeRow, NodeID), 4},
    {"RackNumber", dao::BindType::kI16, offsetof(RackNodeRow, RackNumber), 2},
    {"PortNumber", dao::BindType::kI16, offsetof(RackNodeRow, PortNumber), 2},
    {"IPAddress", dao::BindType::kText, offsetof(RackNodeRow, IPAddress), kTextColumn},
    {"Name", dao::BindType::kText, offsetof(RackNodeRow, Name), kTextColumn},
};
constexpr dao::Binding kQxvZoneBindings[] = {
    {"ZoneID", dao::BindType::kI32, offsetof(QxvZoneRow, ZoneID), 4},
    {"PresetNumber", dao::BindType::kU8, offsetof(QxvZoneRow, PresetNumber), 1},
};
constexpr dao::Binding kBvtZoneBindings[] = {
    {"ZoneID", dao::BindType::kI32, offsetof(BvtZoneRow, ZoneID), 4},
    {"RoomNumber", dao::BindType::kU8, offsetof(BvtZoneRow, RoomNumber), 1},
    {"PresetNumber", dao::BindType::kU8, offsetof(BvtZoneRow, PresetNumber), 1},
};

// Supervisory ports are of this category.
constexpr int16_t kSupervisoryPort = 2;

void LogLoadError(const char* where, const dao::Error& e) {
  LogPrintf("%s:%s: Error %d : %s\n", kTablesSourceName, where, e.number(), e.description().c_str());
}

void TrimTrailingBlanks(char* text) {
  size_t n = std::strlen(text);
  while (n > 0 && text[n - 1] == ' ') text[--n] = '\0';
}

bool IsNull(dao::Recordset& rs, const char* column) { return rs.GetField(column).is_null(); }

}  // namespace

int32_t NodePortSlot(const char* nodeTypeName, int32_t portNumber) {
  const bool test = nodeTypeName != nullptr && std::strstr(nodeTypeName, "Test") != nullptr;
  return test ? portNumber - 1 : portNumber + 1;
}

std::optional<uint32_t> CTKZDoc::ParseIpAddress(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  uint32_t address = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (text.empty() || text.front() != '.') return std::nullopt;
      text.remove_prefix(1);
    }
    uint32_t value = 0;
    size_t digits = 0;
    while (!text.empty() && text.front() >= '0' && text.front() <= '9' && digits < 4) {
      value = value * 10 + static_cast<uint32_t>(text.front() - '0');
      text.remove_prefix(1);
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return std::nullopt;
    address = (address << 8) | value;
  }
  if (!text.empty()) return std::nullopt;
  return address;
}

// ---- nodes --------------------------------------------------------------------

void CTKZDoc::LoadNodes() {
  int nodes = 0;
  int ports = 0;
  if (m_Database) {
    int32_t previous = -1;
    bool first = true;
    bool usable = false;  // the node being built has an address: it is handed over
    NodeDesc desc;
    char name[kTextColumn] = {};
    auto handOver = [&] {
      if (!usable) return;
      ++nodes;
      Comm().AddNode(&desc);
    };
    try {
      dao::Recordset rs = m_Database->QueryDefs("TKZqryNodePorts").OpenRecordset();
      for (; !rs.IsEOF(); rs.MoveNext()) {
        NodePortRow row{};
        rs.ReadRow(&row, sizeof row, kNodePortBindings);
        if (row.NodeID != previous || first) {
          previous = row.NodeID;
          if (first)
            first = false;
          else
            handOver();
          desc = NodeDesc{};
          std::memcpy(name, row.NodeName, sizeof name);
          name[sizeof name - 1] = '\0';
          TrimTrailingBlanks(name);
          desc.nodeId = static_cast<uint32_t>(row.NodeID);
          desc.name = name;
          const std::optional<uint32_t> address = ParseIpAddress(row.IPAddress);
          usable = address.has_value() && row.NodeID >= 0;
          if (usable)
            desc.address = *address;
          else
            LogPrintf("Error: Node %d (\"%s\") has no valid IP address \"%s\", ignored.\n", row.NodeID,
                      name, row.IPAddress);
        }
        if (!usable || row.PortCategory != kSupervisoryPort) continue;
        const int32_t slot = NodePortSlot(row.Name, static_cast<uint16_t>(row.PortNumber));
        if (IsNull(rs, "PortNumber") || slot < 0 || slot >= kPortSlots) {
          LogPrintf("Error: Port %d of node %d has no port slot, ignored.\n",
                    static_cast<int>(static_cast<uint16_t>(row.PortNumber)), row.NodeID);
          continue;
        }
        desc.portFlags[slot] = 1;
        ++ports;
      }
      if (!first) handOver();
    } catch (const dao::Error& e) {
      LogLoadError("LoadNodes", e);
    }
  }
  LogPrintf("Loaded %d node(s) and %d supervisory port(s).\n", nodes, ports);
}

// ---- racks and their nodes ----------------------------------------------------

void CTKZDoc::LoadRack2Node() {
  for (auto& [number, info] : m_RackMap) info->flags &= ~(RACK_INFO_HAS_NODE | RACK_INFO_CONFIGURED);
  if (!m_Database) return;
  try {
    dao::Recordset rs = m_Database->QueryDefs("TKZqryLoadRack2Node").OpenRecordset();
    for (; !rs.IsEOF(); rs.MoveNext()) {
      RackNodeRow row{};
      rs.ReadRow(&row, sizeof row, kRackNodeBindings);
      if (!IsRackNumber(row.RackNumber)) {
        LogPrintf("Error: Rack %d of node %d is not a rack number (1 to 256), ignored.\n", row.RackNumber,
                  row.NodeID);
        continue;
      }
      const int32_t slot = NodePortSlot(row.Name, row.PortNumber);
      if (IsNull(rs, "PortNumber") || slot < 0 || slot >= kPortSlots || row.NodeID < 0) {
        LogPrintf("Error: Rack %d on port %d of node %d has no port slot, ignored.\n", row.RackNumber,
                  row.PortNumber, row.NodeID);
        continue;
      }
      const auto rack = static_cast<uint32_t>(row.RackNumber);
      auto& slotRecord = m_RackMap[rack];
      if (!slotRecord) {
        slotRecord = std::make_unique<RackInfo>();
        slotRecord->RackNumber = static_cast<uint16_t>(rack);
      }
      RackInfo& info = *slotRecord;
      info.flags |= RACK_INFO_HAS_NODE;
      info.portSlot = slot;
      info.NodeID = row.NodeID;
      RackDesc desc;
      desc.nodeId = static_cast<uint32_t>(row.NodeID);
      desc.rack = rack;
      desc.portSlot = static_cast<uint8_t>(slot);
      Comm().AddRack(&desc);
    }
    LogPrintf("Loaded node associations for %d racks.\n", static_cast<int>(rs.RecordCount()));
  } catch (const dao::Error& e) {
    LogLoadError("LoadNodes()", e);
  }
}

// ---- rack configuration and zones ---------------------------------------------

void CTKZDoc::LoadRack2Zone() {
  if (!m_Database) return;
  bool zoneAdded = false;
  bool configRead = false;  // every row of tblRackConfig was read
  try {
    dao::Recordset rs = m_Database->OpenTable("tblRackConfig");
    for (; !rs.IsEOF(); rs.MoveNext()) {
      RackConfigRow row{};
      rs.ReadRow(&row, sizeof row, kRackConfigBindings);
      if (!IsRackNumber(row.RackNumber)) {
        LogPrintf("Error: Rack configuration of rack %d is not a rack number (1 to 256), ignored.\n",
                  row.RackNumber);
        continue;
      }
      const auto rack = static_cast<uint32_t>(row.RackNumber);
      auto& slotRecord = m_RackMap[rack];
      if (!slotRecord) {
        slotRecord = std::make_unique<RackInfo>();
        slotRecord->NodeID = -1;
        slotRecord->RackNumber = static_cast<uint16_t>(rack);
      }
      RackInfo& info = *slotRecord;
      info.ZoneParentID = static_cast<uint32_t>(row.ZoneParentID);
      info.DigitalDimsFitted = row.DigitalDimsFitted;
      info.AnalogOutputs = row.AnalogOutputs;
      info.flags |= RACK_INFO_CONFIGURED;
      auto& zone = m_ZoneMap[info.ZoneParentID];
      if (!zone) {
        zone = std::make_unique<ZoneStatus>();
        zoneAdded = true;
      }
    }
    configRead = true;
  } catch (const dao::Error& e) {
    LogLoadError("LoadRack2Zone", e);
  }

  // Only a configuration read to its end tells which racks it no longer
  // lists; after a failed read every record stays.  A rack that the
  // rack-to-node load no longer names loses its node, so nothing goes to its
  // old port; one that was up is written down.
  for (auto it = m_RackMap.begin(); it != m_RackMap.end();) {
    RackInfo& info = *it->second;
    if (configRead && (info.flags & RACK_INFO_CONFIGURED) == 0) {
      it = m_RackMap.erase(it);
      continue;
    }
    if ((info.flags & RACK_INFO_HAS_NODE) == 0) {
      if ((info.flags & RACK_INFO_UP) != 0) {
        if (g_bDocDebug)
          LogPrintf("Rack %d is now down (because it was connected to NodeID %d).\n", info.RackNumber,
                    info.NodeID);
        SetRackStatus(info.RackNumber, false);
        info.flags &= ~RACK_INFO_UP;
      }
      info.NodeID = -1;
    }
    ++it;
  }

  if (!zoneAdded) return;
  LogPrintf("(re)Loading current Zone state\n");
  try {
    dao::Recordset rs = m_Database->OpenTable("tblQXVZone");
    for (; !rs.IsEOF(); rs.MoveNext()) {
      QxvZoneRow row{};
      rs.ReadRow(&row, sizeof row, kQxvZoneBindings);
      if (ZoneStatus* zone = FindZoneStatus(static_cast<uint32_t>(row.ZoneID)))
        zone->lastQxvPreset = static_cast<int8_t>(row.PresetNumber);
    }
  } catch (const dao::Error& e) {
    LogLoadError("LoadRack2Zone", e);
  }
  try {
    dao::Recordset rs = m_Database->OpenTable("tblBvtZone");
    for (; !rs.IsEOF(); rs.MoveNext()) {
      BvtZoneRow row{};
      rs.ReadRow(&row, sizeof row, kBvtZoneBindings);
      ZoneStatus* zone = FindZoneStatus(static_cast<uint32_t>(row.ZoneID));
      if (zone == nullptr) continue;
      if (row.RoomNumber < 1 || row.RoomNumber > kZoneRooms) {
        LogPrintf("Error: Brevant preset of room %d in zone %d is not a room (1 to 16), ignored.\n",
                  row.RoomNumber, row.ZoneID);
        continue;
      }
      zone->lastBvtPresets[row.RoomNumber - 1] = row.PresetNumber;
    }
  } catch (const dao::Error& e) {
    LogLoadError("LoadRack2Zone", e);
  }
}

// ---- lookups ------------------------------------------------------------------

RackInfo* CTKZDoc::FindRackInfo(int64_t rack) {
  if (!IsRackNumber(rack)) return nullptr;
  auto it = m_RackMap.find(static_cast<uint32_t>(rack));
  return it != m_RackMap.end() ? it->second.get() : nullptr;
}

ZoneStatus* CTKZDoc::FindZoneStatus(uint32_t zoneId) {
  auto it = m_ZoneMap.find(zoneId);
  return it != m_ZoneMap.end() ? it->second.get() : nullptr;
}

void CTKZDoc::ReloadRackConfig(int32_t rack) {
  RackInfo* info = FindRackInfo(rack);
  if (info == nullptr || !m_Database) return;
  try {
    dao::QueryDef q = m_Database->QueryDefs("TKZqryRackConfig");
    q.SetParameter("ValueZoneID", RackZoneId(rack));
    dao::Recordset rs = q.OpenRecordset();
    if (rs.IsEOF()) return;  // no row: the record keeps its values
    RackConfigRow row{};
    rs.ReadRow(&row, sizeof row, kRackConfigBindings);
    info->DigitalDimsFitted = row.DigitalDimsFitted;
    info->AnalogOutputs = row.AnalogOutputs;
    info->ZoneParentID = static_cast<uint32_t>(row.ZoneParentID);
  } catch (const dao::Error& e) {
    LogDbError(kDocLineReloadRackConfig, e);
  }
}

// ---- request type 4 -----------------------------------------------------------

void CTKZDoc::OnRefreshRequest(InProcRequest* request) {
  const int32_t subType = request != nullptr ? request->RequestSubType : -1;
  const char* text = nullptr;
  switch (subType) {
    case 100:
      Comm().LoadPhase(LOAD_PHASE_BEGIN | LOAD_PHASE_RACKS);
      LoadRack2Node();
      Comm().LoadPhase(LOAD_PHASE_RACKS | LOAD_PHASE_END);
      LoadRack2Zone();
      text = "TKZ resident rack tables refreshed";
      break;
    case 101:
      LoadSchedule();  // a failure has logged itself; the request still ends
      text = "TKZ resident schedule table refreshed";
      break;
    case 102:
      text = "Cleaner table refresh ignored (no longer needed)";
      break;
    case 103:
    case 104:
      Comm().LoadPhase(LOAD_PHASE_BEGIN | LOAD_PHASE_RACKS | LOAD_PHASE_NODES);
      LoadNodes();
      LoadRack2Node();
      Comm().LoadPhase(LOAD_PHASE_RACKS | LOAD_PHASE_NODES | LOAD_PHASE_END);
      LoadRack2Zone();
      text = "TKZ resident node tables refreshed";
      break;
    default:
      FailRequest("Error: Unknown resident table refresh, sub-type %d.", subType);
      return;
  }
  CopyFieldText(m_RequestRow.RequestDiagnostic, sizeof m_RequestRow.RequestDiagnostic, text);
  m_RequestRow.RequestState = REQUEST_STATE_SUCCEEDED;
}
