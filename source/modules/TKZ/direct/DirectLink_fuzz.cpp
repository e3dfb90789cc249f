// Drives the direct-connect link's receive path with arbitrary line bytes,
// interleaved with requests, ring remnants, clock steps and reply takes.
// The rack side can answer each write with a good frame so that the
// receiver is reached in every phase of an exchange.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "DirectFrame.h"
#include "DirectLink.h"
#include "DirectSerial.h"
#include "DisplayFlags.h"
#include "FuzzInput.h"
#include "MsClock.h"
#include "platform/serial/fake.h"

namespace {

DirectLinkSlotTrack g_tracks[256];
DirectLinkSlotTrack* Track(uint8_t slot) { return slot % 3 == 0 ? nullptr : &g_tracks[slot]; }

uint32_t g_ms = 0;
void SetMs(uint32_t ms) {
  g_ms = ms % 86400000u;
  MsClockSet(static_cast<uint8_t>(g_ms / 3600000), static_cast<uint8_t>(g_ms / 60000 % 60),
             static_cast<uint8_t>(g_ms / 1000 % 60), static_cast<uint8_t>(g_ms / 10 % 100));
}

void Check() {
  for (uint8_t c = 0; c < kDirectChannels; ++c) {
    const DirectLinkChannel* ch = DirectLinkGetChannel(c);
    if (ch->rxStored > sizeof ch->rxBuffer || ch->frameSize > sizeof ch->frameBuffer ||
        ch->addressIndex >= kDirectAddresses)
      std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static serial::FakeBackend fake;
  FuzzInput in{data, size};
  const uint8_t mode = in.Byte();
  g_bDirectConnectDebug = (mode & 1) != 0;  // no log view: formats and drops
  DirectSerialReset();
  DirectSerialUseBackend(&fake);
  DirectLinkReset();
  for (int i = 0; i < 256; ++i) {
    g_tracks[i] = DirectLinkSlotTrack{};
    g_tracks[i].replyMode = i % 2 == 0 ? DIRECT_MODE_CHANGE : DIRECT_MODE_ALL;
    g_tracks[i].interval = static_cast<uint32_t>(i) * 10;
  }
  DirectLinkSetSlotLookup(Track);
  SetMs(static_cast<uint32_t>(in.Byte()) * 400000u);

  serial::FakeLine& line = fake.Line(1);
  line.input.clear();
  line.ClearEvents();
  line.readChunk = (mode >> 1) & 7;
  const bool answer = (mode & 0x10) != 0;
  line.onWrite = [&line, answer](std::span<const uint8_t> w) {
    if (!answer || w.size() < 7) return;
    const uint16_t addr = static_cast<uint16_t>(w[4] | w[5] << 8);
    uint8_t frame[kDirectFrameMax];
    if (w[6] == kDirectSyncControl) {
      DirectBuildShortFrame(addr, kDirectReplyBit | kDirectAckBit, frame);
      line.Feed(std::span<const uint8_t>(frame, kDirectShortFrameSize));
    } else {
      const uint8_t reply[4] = {w[6], 1, 2, 3};
      const size_t n = DirectBuildFrame(addr, 0x08, 7, kDirectReplyAtype, 0, reply, frame,
                                        sizeof frame);
      line.Feed(std::span<const uint8_t>(frame, n));
    }
  };
  DirectLinkChannelOpen(2, 4, (mode & 0x20) != 0);
  DirectLinkChannelOpen(5, 4, (mode & 0x40) != 0);

  std::vector<uint8_t> buf;
  while (in.n > 0) {
    switch (in.Byte() % 6) {
      case 0: {  // line bytes for COM1
        const uint8_t k = in.Byte();
        for (uint8_t i = 0; i < k && in.n > 0; ++i) {
          const uint8_t b = in.Byte();
          line.Feed(std::span<const uint8_t>(&b, 1));
        }
        break;
      }
      case 1:
        SetMs(g_ms + uint32_t{in.Byte()} * 40);
        break;
      case 2: {  // a request entry
        const uint8_t c = (in.Byte() & 1) != 0 ? 5 : 2;
        const uint8_t kind = in.Byte();
        const uint8_t index = in.Byte();
        const uint16_t addr = static_cast<uint16_t>(in.Byte() % 40);
        const uint16_t length = static_cast<uint16_t>(in.Byte() | (in.Byte() & 1) << 8);
        buf.assign(length, 0);
        for (uint16_t i = 0; i < length && in.n > 0; ++i) buf[i] = in.Byte();
        DirectLinkQueueEntry(c, kind, index, addr == 39 ? kDirectBroadcast : addr, length, 0x23,
                             0, buf.data());
        break;
      }
      case 3: {  // raw bytes into a transmit ring
        const uint8_t k = in.Byte();
        ByteRing* ring = DirectLinkTransmitRing(2);
        for (uint8_t i = 0; i < k && in.n > 0; ++i) RingPut(ring, in.Byte());
        ++DirectLinkGetChannel(2)->queued;
        break;
      }
      case 4: {
        DirectLinkReply r;
        if (DirectLinkTakeReply(&r) && r.dataLength > kDirectReplyMaxData) std::abort();
        break;
      }
      case 5:
        DirectLinkStepAll();
        break;
    }
    Check();
  }
  for (int i = 0; i < 8; ++i) {
    SetMs(g_ms + 3000);
    DirectLinkStepAll();
    DirectLinkReply r;
    while (DirectLinkTakeReply(&r)) {
    }
    Check();
  }
  line.onWrite = nullptr;
  DirectSerialReset();
  DirectLinkSetSlotLookup(nullptr);
  return 0;
}
