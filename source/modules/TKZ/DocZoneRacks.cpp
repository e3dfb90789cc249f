#include "DocZoneRacks.h"

#include "Doc.h"
#include "DocZoneTree.h"
#include "RackMsg.h"

std::optional<ZoneRackList> ZoneRacks(CTKZDoc& doc, int32_t zoneId) {
  RackList racks;
  doc.GetRackList(zoneId, racks);
  return racks;
}

RackMsg* ZonePortMsgs(CTKZDoc& doc, InProcRequest* request, const ZoneRackList& racks) {
  return doc.MakePortMsgList(request, racks);
}

void ZoneBrevantPresetPlayed(CTKZDoc& doc, int32_t zoneId, int32_t room, int32_t preset) {
  if (preset < 0 || preset > 255) return;
  doc.SetBrevantPresetStatus(zoneId, room, static_cast<uint8_t>(preset));
}
