#include "DocRackPort.h"

#include "Doc.h"

int32_t DocRackPort::GetRackType(int32_t zoneId) {
  return g_pDoc != nullptr ? g_pDoc->GetRackType(zoneId) : -1;
}
void DocRackPort::DeleteRackFaults(int32_t rack) { DocDeleteRackFaults(rack); }
void DocRackPort::SetRackStatus(int32_t rack, bool up) { DocSetRackStatus(rack, up); }
void DocRackPort::SetRackSoftwareVersion(int32_t rack, const std::string& version) {
  if (g_pDoc != nullptr) g_pDoc->SetRackSoftwareVersion(rack, version);
}
void DocRackPort::WriteFaultRecords(const FaultRecord* records, int32_t count) {
  DocWriteFaultRecords(records, count);
}
void DocRackPort::UpdateZoneInputStatus(int32_t rack, int32_t inputBits, int16_t qxvPreset,
                                        const uint8_t* roomPresets) {
  DocUpdateZoneInputStatus(rack, inputBits, qxvPreset, roomPresets);
}

void DocUpdateZoneInputStatus(int32_t rack, int32_t inputBits, int16_t qxvPreset,
                              const uint8_t* roomPresets) {
  if (g_pDoc != nullptr && roomPresets != nullptr)
    g_pDoc->UpdateZoneInputStatus(rack, inputBits, qxvPreset,
                                  std::span<const uint8_t, kZoneRooms>(roomPresets, kZoneRooms));
}
