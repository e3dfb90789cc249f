// Shared set-up of the direct-connect tests: a fake serial backend in place
// of the real ports, a fresh link, a millisecond clock under the test's
// control, and helpers that build a rack's reply frames.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "DirectFrame.h"
#include "DirectLink.h"
#include "DirectSerial.h"
#include "MsClock.h"
#include "TestSupport.h"
#include "platform/serial/fake.h"

using Bytes = std::vector<uint8_t>;

inline Bytes ReplyFrame(uint16_t address, uint8_t control, uint8_t rc, const Bytes& data,
                        uint8_t atype = kDirectReplyAtype) {
  Bytes out(kDirectFrameOverhead + 3 + data.size());
  out.resize(DirectBuildFrame(address, control, static_cast<uint16_t>(3 + data.size()), atype, rc,
                              data.data(), out.data(), out.size()));
  return out;
}

inline Bytes AckFrame(uint16_t address, uint8_t control = kDirectReplyBit | kDirectAckBit) {
  Bytes out(kDirectShortFrameSize);
  DirectBuildShortFrame(address, control, out.data());
  return out;
}

inline Bytes SyncFrame(uint16_t address) { return AckFrame(address, kDirectSyncControl); }

class DirectFixture : public ::testing::Test {
 protected:
  DirectFixture() {
    g_bDirectConnectDebug = false;
    DirectSerialUseBackend(&fake_);
    DirectLinkSetSlotLookup(nullptr);
    DirectLinkReset();
    SetMs(0);
  }
  ~DirectFixture() override {
    DirectSerialReset();
    DirectSerialUseBackend(nullptr);
    DirectLinkSetSlotLookup(nullptr);
    DirectLinkReset();
  }

  // The clock in milliseconds since midnight (steps of 10 ms).
  void SetMs(uint32_t ms) {
    now_ = ms;
    MsClockSet(static_cast<uint8_t>(ms / 3600000), static_cast<uint8_t>(ms / 60000 % 60),
               static_cast<uint8_t>(ms / 1000 % 60), static_cast<uint8_t>(ms / 10 % 100));
  }
  void AdvanceMs(uint32_t ms) { SetMs(now_ + ms); }

  // The fake line of COM n.
  serial::FakeLine& Com(int n) { return fake_.Line(n); }
  // The line of channel c (2 to 4).
  serial::FakeLine& LineOf(uint8_t c) { return fake_.Line(c - 1); }
  DirectLinkChannel& Ch(uint8_t c) { return *DirectLinkGetChannel(c); }

  // Queues a client's request with the rack command bytes as its data.
  void Request(uint8_t c, uint16_t address, const Bytes& data, uint8_t index = 1,
               uint8_t kind = DIRECT_KIND_CLIENT) {
    ASSERT_TRUE(DirectLinkQueueEntry(c, kind, index, address,
                                     static_cast<uint16_t>(3 + data.size()), 0x23, 0,
                                     data.data()));
  }
  // Marks an address as already synchronised.
  void Synchronised(uint16_t address) {
    DirectLinkGetAddress(DirectLinkAddressIndex(address))->linkState = 2;
  }
  DirectLinkReply TakeReply() {
    DirectLinkReply r;
    EXPECT_TRUE(DirectLinkTakeReply(&r));
    return r;
  }

  FlagGuard flags_;
  serial::FakeBackend fake_;
  uint32_t now_ = 0;
};
