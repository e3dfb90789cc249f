#include "SerialRack.h"

#include <cstdio>

#include "DirectFrame.h"
#include "Rle.h"

namespace serialrack {
namespace {

constexpr uint16_t kUnpackedMax = 1024;

bool ChecksOut(const uint8_t* from, size_t n) {
  DirectCheck check;
  for (size_t i = 0; i < n; ++i) check.Add(from[i]);
  return check.sum1 == 0 && check.sum2 == 0;
}

}  // namespace

SerialRack::SerialRack(const std::vector<uint16_t>& addresses, const RackModel::Config& config) {
  for (uint16_t a : addresses) {
    RackModel::Config c = config;
    c.rackNumber = a;
    racks_[a].model = std::make_unique<RackModel>(c);
  }
}

RackModel* SerialRack::Rack(uint16_t address) {
  auto it = racks_.find(address);
  return it == racks_.end() ? nullptr : it->second.model.get();
}

void SerialRack::SetSilent(uint16_t address, bool silent) {
  auto it = racks_.find(address);
  if (it != racks_.end()) it->second.silent = silent;
}

std::vector<uint8_t> SerialRack::Receive(std::span<const uint8_t> bytes) {
  std::vector<uint8_t> out;
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  for (;;) {
    // Find the sync pair; what comes before it is line noise or padding.
    size_t at = 0;
    while (at + 1 < pending_.size() && !(pending_[at] == kDirectSync1 && pending_[at + 1] == kDirectSync2))
      ++at;
    if (at + 1 >= pending_.size()) {
      // Keep a trailing 0xAA: its 0x55 may come with the next bytes.
      const bool keepLast = !pending_.empty() && pending_.back() == kDirectSync1;
      pending_.erase(pending_.begin(), pending_.end() - (keepLast ? 1 : 0));
      return out;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
    // 0xAA 0x55, address (2), control: then check bytes (short frame) or
    // the length and its bytes.
    if (pending_.size() < 5) return out;
    const uint16_t address = static_cast<uint16_t>(pending_[2] | pending_[3] << 8);
    const uint8_t control = pending_[4];
    const bool shortFrame = (control & 0x20) != 0;
    size_t body = 3;  // address and control
    uint16_t length = 0;
    if (!shortFrame) {
      if (pending_.size() < 7) return out;
      length = static_cast<uint16_t>(pending_[5] | pending_[6] << 8);
      if (length > kDirectRequestMaxL) {
        ++badFrames_;
        pending_.erase(pending_.begin(), pending_.begin() + 2);
        continue;
      }
      body += 2 + (length >= 3 ? length : 0);
    }
    if (pending_.size() < 2 + body + 2) return out;
    const uint8_t* frame = pending_.data() + 2;
    if (!ChecksOut(frame, body + 2)) {
      ++badFrames_;
      Say("bad check from address " + std::to_string(address));
      pending_.erase(pending_.begin(), pending_.begin() + 2);
      continue;
    }
    ++frames_;
    const uint8_t* data = length >= 3 ? frame + 8 : nullptr;
    const uint16_t dataLength = length >= 3 ? static_cast<uint16_t>(length - 3) : 0;
    if (shortFrame)
      OnFrame(address, control, 0, nullptr, 0, out);
    else
      OnFrame(address, control, length, data, dataLength, out);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(2 + body + 2));
  }
}

void SerialRack::OnFrame(uint16_t address, uint8_t control, uint16_t length, const uint8_t* data,
                         uint16_t dataLength, std::vector<uint8_t>& out) {
  const bool broadcast = address == kDirectBroadcast;
  if (!broadcast && racks_.count(address) == 0) return;
  if (control == kDirectSyncControl) {
    // A synchronisation is a station's own: none answers one sent to all
    // (and no station is made up for the broadcast address).
    if (broadcast || racks_.at(address).silent) return;
    uint8_t ack[kDirectShortFrameSize];
    DirectBuildShortFrame(address, kDirectReplyBit | kDirectAckBit, ack);
    out.insert(out.end(), ack, ack + sizeof ack);
    Say("sync " + std::to_string(address));
    return;
  }
  uint8_t command[kUnpackedMax];
  const uint16_t n = dataLength == 0 ? 0 : RleDecode(data, dataLength, command, sizeof command, 1);
  if (n == RLE_FAIL || n < 2) {
    Say("unreadable command to " + std::to_string(address) + " (L " + std::to_string(length) + ")");
    return;
  }
  const std::span<const uint8_t> cmd(command, n);
  char line[80];
  if (broadcast) {
    for (auto& [a, station] : racks_) station.model->Exchange(cmd);
    std::snprintf(line, sizeof line, "broadcast command %u", command[0] | command[1] << 8);
    Say(line);
    return;
  }
  Station& station = racks_[address];
  if (station.silent) return;
  const RackAnswer answer = station.model->Exchange(cmd);
  // The reply's bit 0x01 answers the request's reply bit.
  const auto replyControl = static_cast<uint8_t>(kDirectReplyBit | ((control & 0x02) != 0 ? 0 : 1));
  uint8_t packed[RleWorstCase(kDirectReplyMaxData)];
  uint16_t packedLength = 0;
  uint8_t rc = 0;
  switch (answer.kind) {
    case AnswerKind::Silent:
      std::snprintf(line, sizeof line, "rack %u silent to command %u", address, command[0] | command[1] << 8);
      Say(line);
      return;
    case AnswerKind::LinkCode:
      rc = static_cast<uint8_t>(answer.rcode);
      break;
    case AnswerKind::Reply: {
      packedLength = answer.reply.empty()
                         ? 0
                         : RleEncode(answer.reply.data(), static_cast<uint16_t>(answer.reply.size()),
                                     packed, kDirectReplyMaxData, 1);
      if (packedLength == RLE_FAIL) {
        Say("reply too large for a frame");
        return;
      }
      break;
    }
  }
  uint8_t frame[kDirectFrameOverhead + kDirectReplyMaxL];
  const size_t size = DirectBuildFrame(address, replyControl, static_cast<uint16_t>(3 + packedLength),
                                       kDirectReplyAtype, rc, packed, frame, sizeof frame);
  out.insert(out.end(), frame, frame + size);
  std::snprintf(line, sizeof line, "rack %u command %u reply %u bytes rc 0x%02x", address,
                command[0] | command[1] << 8, static_cast<unsigned>(answer.reply.size()), rc);
  Say(line);
}

}  // namespace serialrack
