// Racks on a serial line answering the server's direct-connect service: a
// client on this PC sends rack commands through the local IO_KRN server,
// the link frames them onto a fake line, and the racks' answers come back
// as IO_KRN events with the rack model's reply.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "DirectFrame.h"
#include "DirectLink.h"
#include "DirectSerial.h"
#include "DirectService.h"
#include "MsClock.h"
#include "Rle.h"
#include "SerialRack.h"
#include "LocalKrnClient.h"
#include "platform/serial/fake.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kPcAddr = 0x0A000001;

class SerialRackTest : public ::testing::Test, protected LocalKrnClient {
 protected:
  SerialRackTest() : racks_({5, 6}, RackModel::Config{}) {
    DirectSerialUseBackend(&fake_);
    MsClockSet(12, 0, 0, 0);
    fake_.Line(1).onWrite = [this](std::span<const uint8_t> b) {
      const Bytes answer = racks_.Receive(b);
      fake_.Line(1).Feed(answer);
    };
    EXPECT_TRUE(StartClient(kPcAddr, &OnEvent, reinterpret_cast<intptr_t>(this)));
    // Port 3: channel 2, COM1.
    uint8_t r[58] = {};
    Put32(r + 16, kPcAddr);
    r[20] = evnt_;
    r[21] = 3;
    r[22] = 3;
    r[23] = 4;
    Call(r, 1, sizeof r);
    Despatch();
    events_.clear();
  }
  ~SerialRackTest() override {
    StopClient();
    DirectSerialReset();
    DirectSerialUseBackend(nullptr);
    DirectLinkReset();
  }

  static void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  }
  static void OnEvent(const IpcEvntHdr* e, intptr_t self) {
    const auto* b = reinterpret_cast<const uint8_t*>(e);
    reinterpret_cast<SerialRackTest*>(self)->events_.push_back(Bytes(b, b + e->length));
  }
  // Sends a rack command (packed) to a rack and ticks until its answer is
  // in; returns the rc and the unpacked reply, or rc 0xFFFF when none came.
  std::pair<uint16_t, Bytes> Exchange(uint16_t rack, const Bytes& command) {
    uint8_t packed[64];
    const uint16_t n = RleEncode(command.data(), static_cast<uint16_t>(command.size()), packed,
                                 sizeof packed, 1);
    uint8_t send[24] = {};
    send[16] = 0;  // record 0
    send[17] = 0x23;
    send[18] = static_cast<uint8_t>(n + 3);
    send[20] = static_cast<uint8_t>(rack);
    Call(send, 3, sizeof send);
    uint8_t append[18 + 64] = {};
    append[16] = static_cast<uint8_t>(n);
    std::memcpy(append + 18, packed, n);
    Call(append, 4, static_cast<uint16_t>(18 + n));
    for (int i = 0; i < 50; ++i) {
      DirectLinkTick();
      Despatch();
      if (!events_.empty() && Done()) break;
    }
    if (events_.empty()) return {0xFFFF, {}};
    const Bytes& start = events_[0];
    const uint16_t length = static_cast<uint16_t>(start[20] | start[21] << 8);
    Bytes data;
    for (size_t i = 1; i < events_.size(); ++i) data.insert(data.end(), events_[i].begin() + 20, events_[i].begin() + 20 + events_[i][19]);
    EXPECT_EQ(data.size() + 3, length);
    Bytes reply(1024);
    const uint16_t m = data.empty() ? 0 : RleDecode(data.data(), static_cast<uint16_t>(data.size()), reply.data(), 1024, 1);
    reply.resize(m == RLE_FAIL ? 0 : m);
    const uint16_t rc = static_cast<uint16_t>(start[24] | start[25] << 8);
    events_.clear();
    return {rc, reply};
  }
  bool Done() const {
    const Bytes& start = events_[0];
    const size_t length = static_cast<size_t>(start[20] | start[21] << 8);
    size_t have = 0;
    for (size_t i = 1; i < events_.size(); ++i) have += events_[i][19];
    return length < 3 || have >= length - 3;
  }

  serialrack::SerialRack racks_;
  serial::FakeBackend fake_;
  std::vector<Bytes> events_;
};

TEST_F(SerialRackTest, ARackCommandComesBackWithTheRackModelsAnswer) {
  const Bytes version = {27, 0, 3, 0, 10, 11, 12};
  RackModel twin;  // a second model in the same state answers the same
  RackModel::Config c;
  c.rackNumber = 5;
  twin = RackModel(c);
  const RackAnswer expected = twin.Exchange(version);
  ASSERT_FALSE(expected.reply.empty());
  const auto [rc, reply] = Exchange(5, version);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(reply, expected.reply);
  // The rack was synchronised first, then asked.
  EXPECT_GE(racks_.frames(), 2u);
  EXPECT_EQ(racks_.badFrames(), 0u);
}

TEST_F(SerialRackTest, ASilentRackEndsInNoResponseAndTheOtherStillAnswers) {
  racks_.SetSilent(6, true);
  const Bytes version = {27, 0, 1, 0, 10};
  // Time-outs run on the millisecond clock: move it on between ticks.
  uint32_t ms = 12 * 3600000;
  uint16_t rc = 0;
  {
    uint8_t packed[16];
    const uint16_t n = RleEncode(version.data(), static_cast<uint16_t>(version.size()), packed, 16, 1);
    uint8_t send[24] = {};
    send[17] = 0x23;
    send[18] = static_cast<uint8_t>(n + 3);
    send[20] = 6;
    Call(send, 3, sizeof send);
    uint8_t append[34] = {};
    append[16] = static_cast<uint8_t>(n);
    std::memcpy(append + 18, packed, n);
    Call(append, 4, static_cast<uint16_t>(18 + n));
    for (int i = 0; i < 2000 && events_.empty(); ++i) {
      ms += 10;
      MsClockSet(static_cast<uint8_t>(ms / 3600000), static_cast<uint8_t>(ms / 60000 % 60),
                 static_cast<uint8_t>(ms / 1000 % 60), static_cast<uint8_t>(ms / 10 % 100));
      DirectLinkTick();
      Despatch();
    }
    ASSERT_FALSE(events_.empty());
    rc = static_cast<uint16_t>(events_[0][24] | events_[0][25] << 8);
    events_.clear();
  }
  EXPECT_EQ(rc, 0x10);  // no response from rack
  EXPECT_EQ(Exchange(5, version).first, 0);
}

TEST(SerialRackFrames, NoiseBadChecksAndSplitFramesAreHandled) {
  serialrack::SerialRack racks({5}, RackModel::Config{});
  uint8_t sync[kDirectShortFrameSize];
  DirectBuildShortFrame(5, kDirectSyncControl, sync);
  // Noise, then the frame cut in three.
  Bytes noise = {0x00, 0xAA, 0x13, 0xFF};
  EXPECT_TRUE(racks.Receive(noise).empty());
  EXPECT_TRUE(racks.Receive({sync, 3}).empty());
  EXPECT_TRUE(racks.Receive({sync + 3, 4}).empty());
  const Bytes ack = racks.Receive({sync + 7, sizeof sync - 7});
  ASSERT_EQ(ack.size(), kDirectShortFrameSize);
  EXPECT_EQ(ack[6], kDirectReplyBit | kDirectAckBit);
  // A bad check byte: no answer; an unknown address: no answer.
  Bytes bad(sync, sync + sizeof sync);
  bad[8] ^= 1;
  EXPECT_TRUE(racks.Receive(bad).empty());
  EXPECT_EQ(racks.badFrames(), 1u);
  DirectBuildShortFrame(9, kDirectSyncControl, sync);
  EXPECT_TRUE(racks.Receive({sync, sizeof sync}).empty());
  // A length beyond any frame is dropped without waiting for its bytes.
  const Bytes huge = {0xAA, 0x55, 5, 0, 0x80, 0xFF, 0xFF};
  EXPECT_TRUE(racks.Receive(huge).empty());
  EXPECT_EQ(racks.badFrames(), 2u);
  DirectBuildShortFrame(5, kDirectSyncControl, sync);
  EXPECT_EQ(racks.Receive({sync, sizeof sync}).size(), kDirectShortFrameSize);
}

TEST(SerialRackFrames, SyncToTheBroadcastAddressIsNotAnsweredAndLaterBroadcastsStillReachEveryRack) {
  serialrack::SerialRack racks({5, 6}, RackModel::Config{});
  uint8_t sync[kDirectShortFrameSize];
  DirectBuildShortFrame(kDirectBroadcast, kDirectSyncControl, sync);
  EXPECT_TRUE(racks.Receive({sync, sizeof sync}).empty());
  // A broadcast command (get rack status, item 10): no answer, no station
  // made up for the broadcast address.
  const Bytes command = {27, 0, 1, 0, 10};
  uint8_t packed[32];
  const uint16_t n =
      RleEncode(command.data(), static_cast<uint16_t>(command.size()), packed, sizeof packed, 1);
  ASSERT_NE(n, RLE_FAIL);
  uint8_t frame[64];
  const size_t size = DirectBuildFrame(kDirectBroadcast, kDirectRequestControl, static_cast<uint16_t>(3 + n), 0, 0,
                                       packed, frame, sizeof frame);
  ASSERT_GT(size, 0u);
  EXPECT_TRUE(racks.Receive({frame, size}).empty());
  EXPECT_EQ(racks.frames(), 2u);
  DirectBuildShortFrame(5, kDirectSyncControl, sync);
  EXPECT_EQ(racks.Receive({sync, sizeof sync}).size(), kDirectShortFrameSize);
}

}  // namespace
