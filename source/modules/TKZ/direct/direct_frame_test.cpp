// The direct-connect serial frame: layout and check bytes.
#include <gtest/gtest.h>

#include "direct_fixture.h"

namespace {

// Runs the receiver's two sums over the bytes from the address through both
// check bytes.
DirectCheck SumsFromAddress(const Bytes& frame) {
  DirectCheck c;
  for (std::size_t i = 4; i + 2 < frame.size(); ++i) c.Add(frame[i]);
  return c;
}

TEST(DirectFrame, RequestFrameGoldenBytes) {
  const uint8_t data[] = {0x1B, 0x00};
  Bytes f(32);
  f.resize(DirectBuildFrame(5, 0x80, 5, 0x23, 0x00, data, f.data(), f.size()));
  EXPECT_EQ(f, (Bytes{0xFF, 0xFF, 0xAA, 0x55, 0x05, 0x00, 0x80, 0x05, 0x00, 0x23, 0x00, 0x00,
                      0x1B, 0x00, 0xFE, 0x3A, 0xFF, 0xFF}));
}

TEST(DirectFrame, SynchronisationFrameGoldenBytes) {
  EXPECT_EQ(SyncFrame(5), (Bytes{0xFF, 0xFF, 0xAA, 0x55, 0x05, 0x00, 0xA0, 0xAC, 0xAF, 0xFF, 0xFF}));
  EXPECT_EQ(SyncFrame(0x0102).size(), kDirectShortFrameSize);
}

TEST(DirectFrame, FrameOfLengthLHasLPlus13BytesAndNoHeaderBelow3) {
  Bytes data(97, 0x5A);
  Bytes f(kDirectFrameMax);
  EXPECT_EQ(DirectBuildFrame(7, 0x81, 100, 0x23, 0, data.data(), f.data(), f.size()), 113u);
  EXPECT_EQ(f[7], 100);
  EXPECT_EQ(f[8], 0);
  for (uint16_t l : {0, 1, 2}) {
    Bytes g(32, 0xEE);
    EXPECT_EQ(DirectBuildFrame(7, 0x80, l, 0x23, 0, nullptr, g.data(), g.size()), 13u) << l;
    EXPECT_EQ(g[7], l);
    EXPECT_EQ(g[11], 0xFF);  // trailer right after the check bytes
    EXPECT_EQ(g[12], 0xFF);
  }
  // Does not fit: nothing is claimed written.
  EXPECT_EQ(DirectBuildFrame(7, 0x80, 100, 0x23, 0, data.data(), f.data(), 112), 0u);
  EXPECT_EQ(DirectBuildFrame(7, 0x80, kDirectRequestMaxL, 0x23, 0, Bytes(600).data(), f.data(),
                             f.size()),
            kDirectFrameMax);
}

TEST(DirectFrame, BothSumsEndAtZeroThroughTheCheckBytesAndAnyChangeShows) {
  Bytes data(40);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
  const Bytes frames[] = {ReplyFrame(0xFFFF, 0x08, 0x00, {}), ReplyFrame(3, 0x09, 0x7F, data),
                          AckFrame(0x1234), SyncFrame(0xFFFF)};
  for (const Bytes& f : frames) {
    const DirectCheck c = SumsFromAddress(f);
    EXPECT_EQ(c.sum1, 0);
    EXPECT_EQ(c.sum2, 0);
    // Every single-byte change and every swap of two neighbouring unequal
    // bytes is noticed.
    for (std::size_t i = 4; i + 2 < f.size(); ++i) {
      Bytes g = f;
      g[i] ^= 0x01;
      const DirectCheck d = SumsFromAddress(g);
      EXPECT_FALSE(d.sum1 == 0 && d.sum2 == 0) << i;
      if (i + 3 < f.size() && f[i] != f[i + 1]) {
        Bytes h = f;
        std::swap(h[i], h[i + 1]);
        const DirectCheck e = SumsFromAddress(h);
        EXPECT_FALSE(e.sum1 == 0 && e.sum2 == 0) << "swap " << i;
      }
    }
  }
}

}  // namespace
