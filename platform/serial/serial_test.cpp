#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <vector>

#include "platform/serial/fake.h"
#include "platform/serial/posix.h"
#include "platform/serial/pty.h"

namespace serial {
namespace {

TEST(DevicePath, DefaultsToTtySAndHonoursOverrides) {
  struct Case {
    int com;
    const char* env;
    const char* path;
  } cases[] = {
      {1, nullptr, "/dev/ttyS0"},     {3, nullptr, "/dev/ttyS2"},
      {1, "", "/dev/ttyS0"},          {1, "/dev/ttyUSB0", "/dev/ttyUSB0"},
      {2, "none", ""},                {0, nullptr, ""},
      {-1, "/dev/ttyUSB0", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DevicePathForCom(c.com, c.env), c.path) << c.com << " " << (c.env ? c.env : "-");
}

TEST(DevicePath, ReadsTheComVariableOfItsOwnPort) {
  ASSERT_EQ(ComEnvironmentName(2), "DROVANA_COM2");
  ::setenv("DROVANA_COM2", "/dev/ttyACM7", 1);
  EXPECT_EQ(DevicePathForCom(2), "/dev/ttyACM7");
  EXPECT_EQ(DevicePathForCom(3), "/dev/ttyS2");
  ::unsetenv("DROVANA_COM2");
  EXPECT_EQ(DevicePathForCom(2), "/dev/ttyS1");
}

TEST(PosixBackend, UnconfiguredMissingAndNonTerminalDevicesDoNotOpenAndSayWhy) {
  PosixBackend backend([](int com) -> std::string {
    if (com == 1) return "";
    if (com == 2) return "/nonexistent/ttyS9";
    return "/dev/null";
  });
  const struct {
    int com;
    const char* device;
    const char* reason;
  } cases[] = {{1, "", "no device is set for the port"},
               {2, "/nonexistent/ttyS9", "No such file or directory"},
               {3, "/dev/null", "not a serial device"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.com);
    OpenFailure why;
    EXPECT_EQ(backend.Open(c.com, &why), nullptr);
    EXPECT_EQ(why.device, c.device);
    EXPECT_EQ(why.reason, c.reason);
    EXPECT_EQ(backend.Open(c.com), nullptr);
  }
}

class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty_.ok()); }
  PtyPair pty_;
};

TEST_F(PtyPort, RawModePassesEveryByteBothWaysWithoutEcho) {
  auto port = OpenDevice(pty_.slavePath());
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetTimeouts(ImmediateReads({})));
  std::vector<uint8_t> all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<uint8_t>(b));

  ASSERT_TRUE(pty_.Write(all));
  std::vector<uint8_t> got;
  for (int tries = 0; got.size() < all.size() && tries < 2000; ++tries) {
    uint8_t buf[300];
    std::size_t n = 0;
    ASSERT_TRUE(port->Read(buf, sizeof buf, &n));
    got.insert(got.end(), buf, buf + n);
    if (n == 0) ::usleep(1000);
  }
  EXPECT_EQ(got, all);
  // Nothing came back to the master: no echo.
  EXPECT_TRUE(pty_.Read(1, 20).empty());

  std::size_t written = 0;
  ASSERT_TRUE(port->Write(all.data(), all.size(), &written));
  EXPECT_EQ(written, all.size());
  EXPECT_TRUE(port->Drain());
  EXPECT_EQ(pty_.Read(all.size(), 2000), all);
}

TEST_F(PtyPort, ImmediateReadReturnsAtOnceWithNothing) {
  auto port = OpenDevice(pty_.slavePath());
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetTimeouts(ImmediateReads({})));
  uint8_t buf[4];
  std::size_t n = 99;
  EXPECT_TRUE(port->Read(buf, sizeof buf, &n));
  EXPECT_EQ(n, 0u);
}

TEST_F(PtyPort, OpenIsExclusiveUntilClosed) {
  auto first = OpenDevice(pty_.slavePath());
  ASSERT_NE(first, nullptr);
  std::string reason;
  EXPECT_EQ(OpenDevice(pty_.slavePath(), &reason), nullptr);
  // The exclusive mode refuses it, or (for a privileged user) the lock.
  EXPECT_TRUE(reason == "Device or resource busy" || reason == "in use by another program") << reason;
  first.reset();
  EXPECT_NE(OpenDevice(pty_.slavePath()), nullptr);
}

TEST_F(PtyPort, LineSettingsRoundTripAndUnknownSpeedsAreRefused) {
  auto port = OpenDevice(pty_.slavePath());
  ASSERT_NE(port, nullptr);
  LineSettings s;
  ASSERT_TRUE(port->GetState(&s));
  s.baud = 19200;
  s.parityCheck = true;
  s.stopBits = StopBits::kTwo;
  s.rtsControl = RtsControl::kDisable;
  ASSERT_TRUE(port->SetState(s));
  // A pseudo-terminal keeps speed, stop bits and input checking; it forces
  // eight data bits without parity, so those are not compared here.
  LineSettings back;
  ASSERT_TRUE(port->GetState(&back));
  EXPECT_EQ(back.baud, 19200u);
  EXPECT_EQ(back.stopBits, StopBits::kTwo);
  EXPECT_TRUE(back.parityCheck);
  EXPECT_EQ(back.rtsControl, RtsControl::kDisable);

  LineSettings bad = s;
  bad.baud = 12345;
  EXPECT_FALSE(port->SetState(bad));
  bad = s;
  bad.byteSize = 9;
  EXPECT_FALSE(port->SetState(bad));
  ASSERT_TRUE(port->GetState(&back));
  EXPECT_EQ(back.baud, 19200u);
}

TEST_F(PtyPort, RtsFailsOnAPseudoTerminalButTheLineKeepsWorking) {
  auto port = OpenDevice(pty_.slavePath());
  ASSERT_NE(port, nullptr);
  EXPECT_FALSE(port->SetRts(true));
  LineSettings s;
  ASSERT_TRUE(port->GetState(&s));
  s.rtsControl = RtsControl::kDisable;  // drops RTS, which fails quietly
  EXPECT_TRUE(port->SetState(s));
  const uint8_t byte = 0x5A;
  std::size_t written = 0;
  EXPECT_TRUE(port->Write(&byte, 1, &written));
  EXPECT_EQ(pty_.Read(1, 2000), std::vector<uint8_t>{0x5A});
}

TEST_F(PtyPort, CloseRestoresTheSettingsAsFound) {
  termios before{};
  {
    int fd = ::open(pty_.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::tcgetattr(fd, &before), 0);
    ::close(fd);
  }
  {
    auto port = OpenDevice(pty_.slavePath());
    ASSERT_NE(port, nullptr);
    LineSettings s;
    ASSERT_TRUE(port->GetState(&s));
    s.baud = 1200;
    s.stopBits = StopBits::kTwo;
    ASSERT_TRUE(port->SetState(s));
  }
  int fd = ::open(pty_.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  termios after{};
  ASSERT_EQ(::tcgetattr(fd, &after), 0);
  ::close(fd);
  EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
}

TEST_F(PtyPort, WriteThatTheLineCannotTakeGivesUpAtItsTimeout) {
  auto port = OpenDevice(pty_.slavePath());
  ASSERT_NE(port, nullptr);
  Timeouts t;
  t.writeTotalConstant = 20;
  ASSERT_TRUE(port->SetTimeouts(t));
  std::vector<uint8_t> big(1 << 20, 0x55);  // far more than the pty buffers; nobody reads
  std::size_t written = 0;
  EXPECT_FALSE(port->Write(big.data(), big.size(), &written));
  EXPECT_LT(written, big.size());
}

TEST(FakeSerial, OpenIsExclusiveAndTheLineOutlivesItsPort) {
  FakeBackend fake;
  fake.Line(2).exists = false;
  EXPECT_EQ(fake.Open(2), nullptr);
  auto port = fake.Open(1);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(fake.Open(1), nullptr);
  const uint8_t bytes[] = {1, 2, 3};
  std::size_t n = 0;
  port->SetRts(true);
  port->Write(bytes, 3, &n);
  port->Drain();
  port->SetRts(false);
  port.reset();
  EXPECT_EQ(fake.Line(1).Trace(), "open rts+ write drain rts- close");
  EXPECT_EQ(fake.Line(1).Written(), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_FALSE(fake.Line(1).open);
  EXPECT_NE(fake.Open(1), nullptr);
}

}  // namespace
}  // namespace serial
