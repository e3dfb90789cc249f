// Unsolicited rack events: the layout of a rack's poll response and the
// port through which its decoding (CComm::OnRackEvent, CommRackEvents.cpp)
// reaches the document's fault records and zone input status.
//
// Poll response, in the response area of the RackMsg (little-endian):
//   0 u16 command 27; 2 u16 QXV preset; 4 16 bytes room presets (rooms 1 to
//   16); 20 u32 input bits; 24 u8 fault event count; 25 u8 the rack's own
//   number; 26 the fault events, 12 bytes each:
//   0 u8 bit 7 arose (else subsided), bits 0-5 fault type; 1 u8 dimmer
//   (0-based); 2 u16 circuit; 4 i32 the rack's local time (seconds since
//   1970); 8 i16 diagnostic 1; 10 i16 diagnostic 2.
// Only bytes within the response's length (bounded by the response area)
// are read: an event count beyond the events present is cut to them.
//
// Threads: UI thread.  Ownership: theComm holds the installed port and owns
// it not; it must outlive its installation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "FaultRecord.h"

inline constexpr size_t kPollStatusBytes = 24;   // command and the three status items
inline constexpr size_t kPollEventsOffset = 26;  // the first fault event
inline constexpr size_t kFaultEventBytes = 12;
// Rack fault types with a name; higher types are logged as bad and ignored.
inline constexpr int kRackFaultTypes = 26;

// Name of a rack fault type 0 to 25 (12 characters), or null.
const char* RackFaultName(int type);

class RackEventPort {
 public:
  virtual ~RackEventPort() = default;
  // CTKZDoc::WriteFaultRecords.
  virtual void WriteFaultRecords(const FaultRecord* records, int32_t count) = 0;
  // CTKZDoc::UpdateZoneInputStatus; roomPresets holds 16 bytes.
  virtual void UpdateZoneInputStatus(int32_t rack, int32_t inputBits, int16_t qxvPreset,
                                     const uint8_t* roomPresets) = 0;
};
