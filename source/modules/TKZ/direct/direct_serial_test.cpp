// The serial primitives of the direct-connect link: byte rings, CRC-16,
// the millisecond clock, and the COM port calls over a fake line.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <numeric>

#include "ByteRing.h"
#include "Crc16.h"
#include "direct_fixture.h"
#include "platform/time/fake_clock.h"

namespace {

TEST(ByteRing, HoldsOneByteLessThanItsSizeAndRefusesWhenFull) {
  static ByteRing ring;
  RingInit(&ring);
  for (int i = 0; i < kByteRingCapacity; ++i)
    ASSERT_EQ(RingPut(&ring, static_cast<uint8_t>(i)), 1) << i;
  EXPECT_EQ(kByteRingCapacity, 1649);
  EXPECT_EQ(RingPut(&ring, 0xEE), 0);
  EXPECT_EQ(RingCount(&ring), kByteRingCapacity);
  EXPECT_EQ(RingSpace(&ring), 0);
  const uint8_t more[3] = {1, 2, 3};
  EXPECT_EQ(RingPutN(&ring, more, 3), 0);
  for (int i = 0; i < kByteRingCapacity; ++i)
    ASSERT_EQ(RingGet(&ring), static_cast<uint8_t>(i)) << i;
  EXPECT_EQ(RingGet(&ring), kRingEmpty);
}

TEST(ByteRing, PartialPutStoresThePrefixAndEmptyGetWritesNothing) {
  static ByteRing ring;
  RingInit(&ring);
  Bytes fill(kByteRingCapacity - 4, 0x11);
  ASSERT_EQ(RingPutN(&ring, fill.data(), static_cast<uint16_t>(fill.size())), fill.size());
  const uint8_t ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(RingPutN(&ring, ten, 10), 4);

  Bytes out(kByteRingCapacity + 8, 0);
  EXPECT_EQ(RingGetN(&ring, out.data(), static_cast<uint16_t>(out.size())), kByteRingCapacity);
  EXPECT_EQ(Bytes(out.end() - 12, out.end() - 8), (Bytes{1, 2, 3, 4}));

  uint8_t untouched[4] = {0xA5, 0xA5, 0xA5, 0xA5};
  EXPECT_EQ(RingGetN(&ring, untouched, 4), 0);
  EXPECT_EQ(untouched[0], 0xA5);
}

TEST(ByteRing, KeepsOrderAcrossTheWrap) {
  static ByteRing ring;
  RingInit(&ring);
  Bytes scratch(1600);
  RingPutN(&ring, scratch.data(), 1600);
  RingGetN(&ring, scratch.data(), 1600);  // both positions near the end
  Bytes in(300);
  std::iota(in.begin(), in.end(), 0);
  ASSERT_EQ(RingPutN(&ring, in.data(), 300), 300);
  EXPECT_EQ(RingCount(&ring), 300);
  Bytes out(300);
  ASSERT_EQ(RingGetN(&ring, out.data(), 300), 300);
  EXPECT_EQ(out, in);
}

TEST(Crc16, TableAndCheckValueOfCcittFalse) {
  EXPECT_EQ(Crc16TableEntry(0), 0x0000);
  EXPECT_EQ(Crc16TableEntry(1), 0x1021);
  EXPECT_EQ(Crc16TableEntry(255), 0x1EF0);
  const char* check = "123456789";
  EXPECT_EQ(Crc16(reinterpret_cast<const uint8_t*>(check), 9, 0xFFFF), 0x29B1);
  // Byte-wise steps give the same as the whole run.
  uint16_t crc = 0xFFFF;
  for (int i = 0; i < 9; ++i) crc = Crc16Step(static_cast<uint8_t>(check[i]), crc);
  EXPECT_EQ(crc, 0x29B1);
  const uint8_t b = 0x42;
  EXPECT_EQ(Crc16(&b, 0, 0x1234), 0x1234);
  EXPECT_EQ(Crc16(&b, -5, 0x1234), 0x1234);
}

TEST(MsClock, MillisecondsSinceMidnightAndWrapAcrossIt) {
  MsClockSet(23, 59, 59, 99);
  uint32_t start;
  MsClockGet(&start);
  EXPECT_EQ(start, 86399990u);
  MsClockSet(23, 59, 59, 99);
  EXPECT_EQ(MsClockSince(&start), 0u);
  MsClockSet(0, 0, 0, 1);
  // The clock fell back: the wait is over at once.
  EXPECT_EQ(MsClockSince(&start), uint32_t(10 - 86399990));
  EXPECT_GT(MsClockSince(&start), 5000u);
  MsClockSet(1, 2, 3, 4);
  EXPECT_EQ(MsClockSince(&start), 3723040u - 86399990u);
}

using ComPorts = DirectFixture;

TEST_F(ComPorts, PortsTwoToFourAreCom1ToCom3AndNoOtherPortOpens) {
  for (uint8_t p = 0; p < 7; ++p) ComOpen(p);
  EXPECT_EQ(fake_.opens(), (std::vector<int>{1, 2, 3}));
  for (uint8_t p = 0; p < 7; ++p) EXPECT_EQ(ComIsOpen(p), p >= 2 && p <= 4) << int(p);
  // Opening an open port leaves it alone.
  ComOpen(2);
  EXPECT_EQ(fake_.opens().size(), 3u);
}

TEST_F(ComPorts, OpenMakesReadsImmediateAndRtsManualAndCloseRestoresBoth) {
  serial::FakeLine& line = Com(3);
  line.state.baud = 1200;
  line.state.rtsControl = serial::RtsControl::kHandshake;
  line.timeouts = {50, 2, 100, 7, 300};
  const serial::LineSettings asFound = line.state;
  const serial::Timeouts timeoutsAsFound = line.timeouts;

  ComOpen(4);
  EXPECT_EQ(line.timeouts, (serial::Timeouts{serial::kMaxDword, 0, 0, 7, 300}));
  EXPECT_EQ(line.state.rtsControl, serial::RtsControl::kDisable);
  EXPECT_EQ(line.state.baud, 1200u);
  ComSetBaud(4, 4);
  ComSetFormat(4, 3, 7, 2);
  ComClose(4);
  EXPECT_FALSE(line.open);
  EXPECT_EQ(line.state, asFound);
  EXPECT_EQ(line.timeouts, timeoutsAsFound);
}

TEST_F(ComPorts, SpeedCodesGiveTheirBaudRatesAndEverythingElse19200) {
  const std::pair<uint16_t, uint32_t> cases[] = {
      {1, 300},    {2, 1200},   {3, 2400},   {4, 9600},   {5, 19200},     {6, 38400},
      {7, 19200},  {8, 19200},  {9, 4800},   {0, 19200},  {10, 19200},    {0xFFFF, 19200},
  };
  ComOpen(2);
  for (const auto& [code, baud] : cases) {
    ComSetBaud(2, code);
    EXPECT_EQ(Com(1).state.baud, baud) << code;
  }
}

TEST_F(ComPorts, FormatMapsParityDataBitsAndStopBits) {
  struct Case {
    uint8_t parity, bits, stop;
    serial::Parity wantParity;
    bool check;
    uint8_t wantBits;
    serial::StopBits wantStop;
  } cases[] = {
      {1, 8, 1, serial::Parity::kNone, false, 8, serial::StopBits::kOne},
      {2, 8, 1, serial::Parity::kOdd, true, 8, serial::StopBits::kOne},
      {3, 7, 2, serial::Parity::kEven, true, 7, serial::StopBits::kTwo},
      {0, 9, 0, serial::Parity::kNone, false, 7, serial::StopBits::kOne},
      {4, 5, 3, serial::Parity::kNone, false, 7, serial::StopBits::kOne},
  };
  ComOpen(2);
  for (const Case& c : cases) {
    ComSetFormat(2, c.parity, c.bits, c.stop);
    const serial::LineSettings& s = Com(1).state;
    EXPECT_EQ(s.parity, c.wantParity) << int(c.parity);
    EXPECT_EQ(s.parityCheck, c.check) << int(c.parity);
    EXPECT_EQ(s.byteSize, c.wantBits) << int(c.bits);
    EXPECT_EQ(s.stopBits, c.wantStop) << int(c.stop);
  }
}

uint8_t g_hookPort = 0xEE;
int g_hookCalls = 0;
void RecordHook(uint8_t port) {
  g_hookPort = port;
  ++g_hookCalls;
}

TEST_F(ComPorts, WriteDrainsBeforeTheHookRunsEvenWhenTheDeviceFailed) {
  ComOpen(2);
  g_hookCalls = 0;
  bdAuxRegTX(RecordHook, 2);
  bool drainedBeforeHook = false;
  Com(1).onWrite = [&](std::span<const uint8_t>) { drainedBeforeHook = g_hookCalls == 0; };
  const uint8_t bytes[] = {1, 2, 3, 4};
  EXPECT_EQ(ComWrite(2, 4, bytes), 4);
  EXPECT_TRUE(drainedBeforeHook);
  EXPECT_EQ(g_hookCalls, 1);
  EXPECT_EQ(g_hookPort, 2);
  EXPECT_EQ(Com(1).Trace().substr(Com(1).Trace().size() - 11), "write drain");

  // A port whose device did not open writes nothing but still reports the
  // write as done.
  Com(2).exists = false;
  ComOpen(3);
  bdAuxRegTX(RecordHook, 3);
  EXPECT_EQ(ComWrite(3, 4, bytes), 0);
  EXPECT_EQ(g_hookCalls, 2);
  EXPECT_EQ(g_hookPort, 3);

  bdAuxRegTXDefault(2);
  ComWrite(2, 4, bytes);
  EXPECT_EQ(g_hookCalls, 2);
  // No port 5 and beyond: nothing, no hook.
  EXPECT_EQ(ComWrite(9, 4, bytes), 0);
}

TEST_F(ComPorts, HookRegistrationLogsEveryTimeWithoutASwitch) {
  platform::time::FakeClock clock;
  g_bTimeStampLog = false;
  g_bDirectConnectDebug = false;
  LogBuffer log(clock);
  RecordingObserver seen;
  log.AddObserver(&seen);
  bdAuxRegTX(RecordHook, 2);
  bdAuxRegTX(RecordHook, 2);
  bdAuxRegTXDefault(2);
  EXPECT_EQ(seen.lines(),
            (std::vector<std::string>{"+++bdAuxRegTX()", "+++bdAuxRegTX()", "+++bdAuxRegTXDefault()"}));
  log.RemoveObserver(&seen);
}

TEST_F(ComPorts, ADeviceThatDoesNotOpenIsLoggedOncePerPortAndReason) {
  platform::time::FakeClock clock;
  g_bTimeStampLog = false;
  LogBuffer log(clock);
  RecordingObserver seen;
  log.AddObserver(&seen);
  serial::FakeLine& com1 = Com(1);
  com1.device = "/dev/ttyUSB0";
  com1.exists = false;
  Com(2).exists = false;
  const std::string missing = "Error: COM1 cannot be opened: /dev/ttyUSB0: No such file or directory.";
  const std::string denied = "Error: COM1 cannot be opened: /dev/ttyUSB0: Permission denied.";
  struct Step {
    const char* what;
    uint8_t port;
    std::function<void()> before;
    std::vector<std::string> lines;  // logged by this open
  } steps[] = {
      {"missing", 2, [] {}, {missing}},
      {"missing again", 2, [] {}, {}},
      {"another reason", 2, [&] { com1.openError = "Permission denied"; }, {denied}},
      {"that reason again", 2, [] {}, {}},
      {"another port", 3, [] {}, {"Error: COM2 cannot be opened: COM2: No such file or directory."}},
      {"opens", 2, [&] { com1.exists = true; }, {}},
      {"fails after it opened", 2, [&] { ComClose(2); com1.exists = false; }, {denied}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.before();
    const size_t before = seen.lines().size();
    ComOpen(step.port);
    const std::vector<std::string> all = seen.lines();
    EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(before), all.end()), step.lines);
  }
  log.RemoveObserver(&seen);
}

TEST_F(ComPorts, PollHandsOnABoundedAmountPerCall) {
  ComOpen(2);
  Bytes flood(10000, 0x00);
  Com(1).Feed(flood);
  ComPoll(2);
  EXPECT_EQ(Com(1).input.size(), 10000u - kComPollMax);
  ComPoll(2);
  ComPoll(2);
  EXPECT_TRUE(Com(1).input.empty());
}

TEST_F(ComPorts, RefusedRtsChangesAreCountedAndTolerated) {
  Com(1).failRts = true;
  ComOpen(2);
  ComRtsOn(2);
  ComRtsOff(2);
  EXPECT_EQ(ComRtsFailures(2), 2u);
  const uint8_t b = 7;
  EXPECT_EQ(ComWrite(2, 1, &b), 1);
  EXPECT_EQ(ComRtsFailures(3), 0u);
}

}  // namespace
