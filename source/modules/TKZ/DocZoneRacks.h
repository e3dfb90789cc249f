// A zone's racks and the node ports that serve them, as the preset and
// analog-patch handlers use them.
//
// The racks come from the zone tree walk (a rack's own zone, 10001 to
// 10256, is that rack).
//
// Threads: UI thread only.  Ownership: the caller owns the rack list and the
// port messages (linked through RackMsg::link), each allocated for the
// request with CTKZDoc::NewRackMsg.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

class CTKZDoc;
struct InProcRequest;
struct RackMsg;

using ZoneRackList = std::vector<uint32_t>;

// The racks below a zone; nothing when the zone cannot be resolved.
std::optional<ZoneRackList> ZoneRacks(CTKZDoc& doc, int32_t zoneId);

// One broadcast message (Rack -1) for the request per (node id, port slot)
// that serves the racks, in the order first met; a rack without a record or
// without a node gives none.  Null when no rack is reachable.
RackMsg* ZonePortMsgs(CTKZDoc& doc, InProcRequest* request, const ZoneRackList& racks);

// Records a Brevant preset played in a zone's room (1 to 16, -1 = every
// room) as the zone's current preset in its status rows.
void ZoneBrevantPresetPlayed(CTKZDoc& doc, int32_t zoneId, int32_t room, int32_t preset);
