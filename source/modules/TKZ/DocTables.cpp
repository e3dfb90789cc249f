// The resident tables: nodes and their ports, racks and their zones, loaded
// from the plant configuration and handed to the comm thread.
#include "Doc.h"

// The loads of nodes, rack-to-node associations and rack configuration
// (with the comm thread's hand-overs) come with the resident tables; until
// then the open sequence leaves the tables empty.
void CTKZDoc::LoadNodes() {}
void CTKZDoc::LoadRack2Node() {}
void CTKZDoc::LoadRack2Zone() {}

RackInfo* CTKZDoc::FindRackInfo(int64_t rack) {
  auto it = m_RackMap.find(RackKey(rack));
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
