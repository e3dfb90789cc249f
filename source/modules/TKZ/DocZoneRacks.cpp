#include "DocZoneRacks.h"

#include <set>
#include <utility>

#include "Doc.h"
#include "RackMsg.h"

std::optional<ZoneRackList> ZoneRacks(CTKZDoc& /*doc*/, int32_t zoneId) {
  const int64_t rack = static_cast<int64_t>(zoneId) - kRackZoneBase;
  if (rack >= 1 && rack <= 256) return ZoneRackList{static_cast<uint32_t>(rack)};
  return std::nullopt;
}

RackMsg* ZonePortMsgs(CTKZDoc& doc, InProcRequest* request, const ZoneRackList& racks) {
  std::set<std::pair<int32_t, int32_t>> met;
  RackMsg* head = nullptr;
  RackMsg** tail = &head;
  for (uint32_t rack : racks) {
    const RackInfo* info = doc.FindRackInfo(rack);
    if (info == nullptr || info->NodeID == -1) continue;
    if (!met.emplace(info->NodeID, info->portSlot).second) continue;
    RackMsg* msg = doc.NewRackMsg(request);
    msg->Rack = kRackAll;
    msg->nodeId = static_cast<uint32_t>(info->NodeID);
    msg->portSlot = info->portSlot;
    *tail = msg;
    tail = &msg->link;
  }
  return head;
}

void ZoneBrevantPresetPlayed(CTKZDoc& /*doc*/, int32_t /*zoneId*/, int32_t /*room*/, int32_t /*preset*/) {}
