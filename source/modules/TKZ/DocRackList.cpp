// The racks below a zone: a rack zone is its own rack; any other zone is
// walked through the zone tree, depth first.
#include <cstring>

#include "Doc.h"
#include "DocSteps.h"
#include "LogSink.h"

namespace {

#pragma pack(push, 1)
struct ZoneTreeRow {
  int32_t ZoneID;
  char ZoneType[50];
};
#pragma pack(pop)

constexpr dao::Binding kZoneTreeBindings[] = {
    {"ZoneID", dao::BindType::kI32, offsetof(ZoneTreeRow, ZoneID), 4},
    {"ZoneType", dao::BindType::kText, offsetof(ZoneTreeRow, ZoneType), sizeof(ZoneTreeRow::ZoneType)},
};

// A tree deeper than this is taken to loop back on itself.
constexpr int kMaxTreeDepth = 32;

bool Is(const ZoneTreeRow& row, const char* word) {
  return std::strncmp(row.ZoneType, word, sizeof row.ZoneType) == 0;
}

}  // namespace

void CTKZDoc::GetZoneRacks(int32_t zoneId, std::vector<uint32_t>& racks) { GetZoneRacksAt(zoneId, racks, 0); }

void CTKZDoc::GetZoneRacksAt(int32_t zoneId, std::vector<uint32_t>& racks, int depth) {
  const int64_t rack = static_cast<int64_t>(zoneId) - kRackZoneBase;
  if (rack >= 1 && rack <= 256) {
    racks.push_back(static_cast<uint32_t>(rack));
    return;
  }
  if (depth >= kMaxTreeDepth) {
    LogPrintf("Zone %d lies more than %d levels down the zone tree; not walked.\n", zoneId, kMaxTreeDepth);
    return;
  }
  std::vector<ZoneTreeRow> children;
  try {
    dao::QueryDef own = StepDb().QueryDefs("TKZqryRackList");
    own.SetParameter("ValueZoneID", zoneId);
    dao::Recordset rs = own.OpenRecordset();
    ZoneTreeRow row{};
    rs.ReadRow(&row, sizeof row, kZoneTreeBindings);  // 3021: the zone has no row
    if (Is(row, "TreeEnd")) return;
    dao::QueryDef q = StepDb().QueryDefs("TKZqryChildren");
    q.SetParameter("ValueZoneParentID", zoneId);
    dao::Recordset crs = q.OpenRecordset();
    for (; !crs.IsEOF(); crs.MoveNext()) {
      ZoneTreeRow child{};
      crs.ReadRow(&child, sizeof child, kZoneTreeBindings);
      children.push_back(child);
    }
  } catch (const dao::Error& e) {
    if (e.number() != dao::kErrNoCurrentRecord) LogDbError(docsteps::kLineZoneTree, e);
    return;
  }
  for (const ZoneTreeRow& child : children) {
    if (Is(child, "Racks") || Is(child, "TreeGroup")) {
      GetZoneRacksAt(child.ZoneID, racks, depth + 1);
    } else if (Is(child, "Rack")) {
      const int64_t r = static_cast<int64_t>(child.ZoneID) - kRackZoneBase;
      if (r >= 1 && r <= 256) racks.push_back(static_cast<uint32_t>(r));
    }
  }
}
