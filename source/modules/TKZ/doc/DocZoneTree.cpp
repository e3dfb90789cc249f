// The zone tree and rack lists: the racks below a zone of tblZoneTree, and
// one broadcast message per node port that serves a list of racks.
#include <cstddef>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "Doc.h"
#include "LogSink.h"
#include "RackMsg.h"

namespace {

// Fixed line number of the walk's database error lines.
constexpr int kDocLineRackList = 5230;

// Zones the walk of one call visits at most: a tree whose branches meet
// again and again cannot make it run away.
constexpr size_t kZoneVisitsMax = 4096;

constexpr size_t kZoneTypeSize = 50;

#pragma pack(push, 1)
struct ZoneTreeRow {
  int32_t ZoneID;
  char ZoneType[kZoneTypeSize];
};
#pragma pack(pop)

constexpr dao::Binding kZoneTreeBindings[] = {
    {"ZoneID", dao::BindType::kI32, offsetof(ZoneTreeRow, ZoneID), 4},
    {"ZoneType", dao::BindType::kText, offsetof(ZoneTreeRow, ZoneType), kZoneTypeSize},
};

bool IsRackZone(int64_t zoneId) { return IsRackNumber(zoneId - kRackZoneBase); }

struct Walk {
  dao::Database& db;
  RackList& racks;
  std::vector<int32_t> path;  // the zones being walked, outermost first
  size_t visits = 0;
  bool budgetLogged = false;

  void Zone(int32_t zoneId) {
    if (IsRackZone(zoneId)) {
      racks.push_back(static_cast<uint32_t>(zoneId - kRackZoneBase));
      return;
    }
    if (++visits > kZoneVisitsMax) {
      if (!budgetLogged)
        LogPrintf("Error: The zone tree below zone %d has more than %d zones; the rest is not walked.\n",
                  path.empty() ? zoneId : path.front(), static_cast<int>(kZoneVisitsMax));
      budgetLogged = true;
      return;
    }
    for (int32_t outer : path)
      if (outer == zoneId) {
        LogPrintf("Error: Zone %d lies below itself in the zone tree; that branch is not walked.\n", zoneId);
        return;
      }
    if (path.size() > static_cast<size_t>(kZoneTreeDepthMax)) {
      LogPrintf("Error: Zone %d lies more than %d levels deep in the zone tree; it is not walked.\n", zoneId,
                kZoneTreeDepthMax);
      return;
    }

    std::vector<ZoneTreeRow> children;
    try {
      dao::QueryDef own = db.QueryDefs("TKZqryRackList");
      own.SetParameter("ValueZoneID", zoneId);
      dao::Recordset rs = own.OpenRecordset();
      ZoneTreeRow row{};
      rs.ReadRow(&row, sizeof row, kZoneTreeBindings);
      if (CTKZDoc::ClassifyTreeWord(row.ZoneType) == TREE_WORD_TREE_END) return;

      dao::QueryDef below = db.QueryDefs("TKZqryChildren");
      below.SetParameter("ValueZoneParentID", zoneId);
      dao::Recordset kids = below.OpenRecordset();
      for (; !kids.IsEOF(); kids.MoveNext()) {
        ZoneTreeRow child{};
        kids.ReadRow(&child, sizeof child, kZoneTreeBindings);
        children.push_back(child);
      }
    } catch (const dao::Error& e) {
      // A zone without a row of its own has nothing below it.
      if (e.code() != dao::Code(dao::kErrNoCurrentRecord)) CTKZDoc::LogDbError(kDocLineRackList, e);
      return;
    }

    path.push_back(zoneId);
    for (const ZoneTreeRow& child : children) {
      switch (CTKZDoc::ClassifyTreeWord(child.ZoneType)) {
        case TREE_WORD_RACKS:
        case TREE_WORD_TREE_GROUP:
          Zone(child.ZoneID);
          break;
        case TREE_WORD_RACK:
          if (IsRackZone(child.ZoneID))
            racks.push_back(static_cast<uint32_t>(child.ZoneID - kRackZoneBase));
          else
            LogPrintf("Error: Rack zone %d below zone %d is not a rack's zone (10001 to 10256), ignored.\n",
                      child.ZoneID, zoneId);
          break;
        default:
          break;
      }
    }
    path.pop_back();
  }
};

}  // namespace

int CTKZDoc::ClassifyTreeWord(std::string_view text) {
  if (text == "Racks") return TREE_WORD_RACKS;
  if (text == "Rack") return TREE_WORD_RACK;
  if (text == "TreeGroup") return TREE_WORD_TREE_GROUP;
  if (text == "TreeEnd") return TREE_WORD_TREE_END;
  return TREE_WORD_OTHER;
}

void CTKZDoc::GetRackList(int32_t zoneId, RackList& racks) {
  if (IsRackZone(zoneId)) {
    racks.push_back(static_cast<uint32_t>(zoneId - kRackZoneBase));
    return;
  }
  if (!m_Database) return;
  Walk walk{*m_Database, racks, {}};
  walk.Zone(zoneId);
}

RackMsg* CTKZDoc::MakePortMsgList(InProcRequest* request, const RackList& racks) {
  if (request == nullptr) return nullptr;
  std::set<std::pair<int32_t, int32_t>> ports;
  RackMsg* head = nullptr;
  RackMsg* tail = nullptr;
  for (uint32_t rack : racks) {
    const RackInfo* info = FindRackInfo(rack);
    if (info == nullptr || info->NodeID == -1) continue;
    if (!ports.emplace(info->NodeID, info->portSlot).second) continue;
    RackMsg* msg = NewRackMsg(request);
    msg->Rack = kRackAll;
    msg->nodeId = static_cast<uint32_t>(info->NodeID);
    msg->portSlot = info->portSlot;
    (tail != nullptr ? tail->link : head) = msg;
    tail = msg;
  }
  return head;
}

void CTKZDoc::ForEachPortMsg(InProcRequest* request, const RackList& racks,
                             const std::function<void(RackMsg*)>& send) {
  RackMsg* msg = MakePortMsgList(request, racks);
  while (msg != nullptr) {
    RackMsg* next = msg->link;
    msg->link = nullptr;
    send(msg);
    msg = next;
  }
}
