// What the rack-message layer needs of the two sides it serves, as narrow
// ports: the document (database and rack status, UI thread) and the comm
// thread (the rack up and version relay). The document and the comm thread
// implement them; tests put doubles in their place.
//
// Ownership: theComm holds plain pointers to the installed ports and owns
// neither; a port must outlive its installation (SetDocPort(nullptr) removes
// it). Without a port the layer behaves as if the document knew no rack kind
// and the comm thread took no posts.
#pragma once

#include <cstdint>
#include <string>

// The 16 version bytes of a rack as its status items 10, 11 and 12 give them:
// the serial number (8 bytes), the software version (6 characters, not
// necessarily NUL-terminated) and the hardware version (u16, little-endian).
struct RackVersion {
  uint8_t bytes[16] = {};
};

class RackDocPort {
 public:
  virtual ~RackDocPort() = default;
  // RackType of the zone's rack configuration row (CTKZDoc::GetRackType);
  // -1 when it cannot be read.
  virtual int32_t GetRackType(int32_t zoneId) = 0;
  // Deletes the rack's stored fault records except its rack-down record
  // (CTKZDoc::DeleteRackFaults).
  virtual void DeleteRackFaults(int32_t rack) = 0;
  // Writes the rack's new up or down state (CTKZDoc::SetRackStatus).
  virtual void SetRackStatus(int32_t rack, bool up) = 0;
  // Stores the software version text in the rack's status row
  // (CTKZDoc::SetRackSoftwareVersion). May throw a database error; the
  // caller logs it.
  virtual void SetRackSoftwareVersion(int32_t rack, const std::string& version) = 0;
};

class RackCommPort {
 public:
  virtual ~RackCommPort() = default;
  // WM_IPC_RACK_UP for the rack: the comm thread marks it up and asks for its
  // version. Returns whether it was posted.
  virtual bool PostRackUp(uint32_t rack) = 0;
  // Hands the rack's version to the comm thread's rack record
  // (SetRackVersion) and posts WM_IPC_RACK_VERSION_SET. Returns whether it
  // was posted.
  virtual bool PostRackVersionSet(uint32_t rack, const RackVersion& version) = 0;
};
