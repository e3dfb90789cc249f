// Writing a rack command into a message's command area and reading a reply
// from its response area, little-endian (internal to the CComm sources).
#pragma once

#include <cstddef>
#include <cstdint>

#include "CommRecords.h"
#include "RackMsg.h"

// Writes a command from offset 0; a write past the 290-byte area is not
// stored and marks the command as overflowed (CComm::Send refuses it).
class CmdWriter {
 public:
  CmdWriter(RackMsg* msg, uint8_t command) : msg_(msg) { u16(command); }

  CmdWriter& u8(uint32_t v) {
    Put(static_cast<uint8_t>(v));
    return *this;
  }
  CmdWriter& u16(uint32_t v) {
    Put(static_cast<uint8_t>(v));
    Put(static_cast<uint8_t>(v >> 8));
    return *this;
  }
  CmdWriter& u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) Put(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  size_t size() const { return pos_; }
  bool overflow() const { return pos_ > kRackMsgCommandSize; }

 private:
  void Put(uint8_t b) {
    if (pos_ < kRackMsgCommandSize) msg_->command[pos_] = b;
    ++pos_;
  }
  RackMsg* msg_;
  size_t pos_ = 0;
};

// Reply data bytes (offset from the start of the reply data, after the u16
// command). Callers have checked the reply's length with TakeReply.
inline uint8_t Rd8(const RackMsg* m, size_t off) { return m->response[2 + off]; }
inline uint16_t Rd16(const RackMsg* m, size_t off) {
  return static_cast<uint16_t>(m->response[2 + off] | (m->response[3 + off] << 8));
}
inline uint32_t Rd32(const RackMsg* m, size_t off) {
  return static_cast<uint32_t>(Rd16(m, off)) | (static_cast<uint32_t>(Rd16(m, off + 2)) << 16);
}

// Flags: the database's non-zero goes as 1; the rack's non-zero comes back
// as 0xFF (-1, the database's true).
inline uint8_t FlagToRack(int v) { return v != 0 ? 1 : 0; }
inline uint8_t FlagFromRack(uint8_t v) { return v != 0 ? 0xFF : 0; }
