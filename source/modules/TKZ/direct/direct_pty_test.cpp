// The direct-connect link on a real terminal device: a pseudo-terminal
// plays COM1, the test plays the rack on its master side.
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

#include "direct_fixture.h"
#include "platform/serial/posix.h"
#include "platform/serial/pty.h"

namespace {

// Steps the channel until `done`; the clock stands still, so no time-out
// runs out meanwhile.  The bound only guards against a hang.
bool StepUntil(uint8_t c, const std::function<bool()>& done) {
  for (int i = 0; i < 5000; ++i) {
    DirectLinkStep(c);
    if (done()) return true;
    ::usleep(1000);
  }
  return false;
}

TEST(DirectLinkOverPty, RequestAndReplyRoundTripWithoutModemLines) {
  FlagGuard flags;
  g_bDirectConnectDebug = false;
  serial::PtyPair rack;
  ASSERT_TRUE(rack.ok());
  serial::PosixBackend backend(
      [&](int com) { return com == 1 ? rack.slavePath() : std::string(); });
  DirectSerialUseBackend(&backend);
  DirectLinkReset();
  MsClockSet(10, 0, 0, 0);

  DirectLinkChannelOpen(2, 4, false);
  ASSERT_TRUE(ComIsOpen(2));
  const uint8_t command[] = {0x1B, 0x00};
  ASSERT_TRUE(DirectLinkQueueEntry(2, DIRECT_KIND_CLIENT, 1, 5, 5, 0x23, 0, command));
  DirectLinkStep(2);
  EXPECT_EQ(rack.Read(kDirectShortFrameSize, 2000), SyncFrame(5));

  ASSERT_TRUE(rack.Write(AckFrame(5)));
  const DirectLinkChannel* ch = DirectLinkGetChannel(2);
  ASSERT_TRUE(StepUntil(2, [&] { return ch->state == DIRECT_SYNCHRONISED; }));
  DirectLinkStep(2);
  EXPECT_EQ(rack.Read(18, 2000),
            (Bytes{0xFF, 0xFF, 0xAA, 0x55, 0x05, 0x00, 0x80, 0x05, 0x00, 0x23, 0x00, 0x00, 0x1B,
                   0x00, 0xFE, 0x3A, 0xFF, 0xFF}));

  // Bytes that mean something to a terminal (XON/XOFF, CR, LF, ^C, DEL)
  // pass untouched.
  const Bytes answer = {0x11, 0x13, 0x0D, 0x0A, 0x03, 0x7F, 0x00, 0xFF};
  ASSERT_TRUE(rack.Write(ReplyFrame(5, 0x08, 0, answer)));
  ASSERT_TRUE(StepUntil(2, [] { return DirectLinkReplyCount() == 1; }));
  DirectLinkReply r;
  ASSERT_TRUE(DirectLinkTakeReply(&r));
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(Bytes(r.data, r.data + r.dataLength), answer);
  // A pseudo-terminal has no RTS: the changes were refused and the
  // exchange went on regardless.
  EXPECT_GT(ComRtsFailures(2), 0u);

  DirectLinkChannelClose(2);
  EXPECT_FALSE(ComIsOpen(2));
  DirectSerialReset();
  DirectSerialUseBackend(nullptr);
  DirectLinkReset();
}

}  // namespace
