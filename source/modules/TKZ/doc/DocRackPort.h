// The document's side of the rack-message layer's ports: what theComm asks
// of the document (rack kinds, fault records, rack status, versions, zone
// input status), forwarded to the one document g_pDoc.  Without a document
// the calls do nothing (GetRackType gives -1).
//
// Install with theComm.SetDocPort(&port) and theComm.SetEventPort(&port)
// once the document exists; the port must outlive its installation.
// Threads: UI thread.
#pragma once

#include <string>

#include "CommPorts.h"
#include "RackEvents.h"

class DocRackPort final : public RackDocPort, public RackEventPort {
 public:
  int32_t GetRackType(int32_t zoneId) override;
  void DeleteRackFaults(int32_t rack) override;
  void SetRackStatus(int32_t rack, bool up) override;
  void SetRackSoftwareVersion(int32_t rack, const std::string& version) override;
  void WriteFaultRecords(const FaultRecord* records, int32_t count) override;
  void UpdateZoneInputStatus(int32_t rack, int32_t inputBits, int16_t qxvPreset,
                             const uint8_t* roomPresets) override;
};
