// Bounded little-endian reading and writing of rack command and reply bytes
// (internal to the rack model).
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "RackModel.h"

namespace sim {

class RackModel::Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  bool u8(uint8_t& v) {
    if (remaining() < 1) return false;
    v = bytes_[pos_++];
    return true;
  }
  bool u16(uint16_t& v) {
    if (remaining() < 2) return false;
    v = static_cast<uint16_t>(bytes_[pos_] | (bytes_[pos_ + 1] << 8));
    pos_ += 2;
    return true;
  }
  bool u32(uint32_t& v) {
    if (remaining() < 4) return false;
    v = static_cast<uint32_t>(bytes_[pos_]) | (static_cast<uint32_t>(bytes_[pos_ + 1]) << 8) |
        (static_cast<uint32_t>(bytes_[pos_ + 2]) << 16) |
        (static_cast<uint32_t>(bytes_[pos_ + 3]) << 24);
    pos_ += 4;
    return true;
  }
  bool bytes(uint8_t* dst, size_t n) {
    if (remaining() < n) return false;
    if (n != 0) std::memcpy(dst, bytes_.data() + pos_, n);
    pos_ += n;
    return true;
  }
  size_t remaining() const { return bytes_.size() - pos_; }
  bool done() const { return pos_ == bytes_.size(); }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

inline void Put8(std::vector<uint8_t>& out, uint8_t v) { out.push_back(v); }
inline void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace sim
