#include "Rle.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Repeat(uint8_t b, size_t n) { return Bytes(n, b); }
Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Distinct(size_t n, uint8_t from = 0) {
  Bytes out;
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(from + i));
  return out;
}

Bytes Encode(const Bytes& in, uint16_t stride, uint16_t outSize = 2048) {
  Bytes out(outSize);
  uint16_t n = RleEncode(in.data(), static_cast<uint16_t>(in.size()), out.data(), outSize, stride);
  if (n == RLE_FAIL) return {0xEE, 0xEE, 0xEE};
  out.resize(n);
  return out;
}

struct Example {
  const char* name;
  Bytes in;
  uint16_t stride;
  Bytes packed;
};

TEST(Rle, PacksTheDocumentedExamples) {
  const Example examples[] = {
      {"run then single", {0x41, 0x41, 0x41, 0x41, 0x42}, 1, {0x84, 0x41, 0x01, 0x42}},
      {"short runs join literals",
       {0x41, 0x41, 0x42, 0x42, 0x42, 0x43, 0x43},
       1,
       {0x02, 0x41, 0x41, 0x83, 0x42, 0x02, 0x43, 0x43}},
      {"130 equal bytes", Repeat(0x41, 130), 1, {0xFF, 0x41, 0x83, 0x41}},
      {"200 distinct bytes", Distinct(200), 1,
       Concat({{0x7F}, Distinct(127), {0x49}, Distinct(73, 127)})},
      {"stride 4 visits planes", {0x05, 0x06, 0x07, 0x08, 0x09}, 4,
       {0x05, 0x05, 0x09, 0x06, 0x07, 0x08}},
      {"stride 2 run across planes", {0x01, 0x01, 0x01, 0x01}, 2, {0x84, 0x01}},
      {"run of exactly 127", Repeat(7, 127), 1, {0xFF, 0x07}},
      {"128 equal bytes", Repeat(7, 128), 1, {0xFF, 0x07, 0x01, 0x07}},
      {"empty", {}, 1, {}},
      {"stride wider than input", {0x01, 0x02}, 4, {0x02, 0x01, 0x02}},
  };
  for (const auto& ex : examples) {
    SCOPED_TRACE(ex.name);
    EXPECT_EQ(Encode(ex.in, ex.stride), ex.packed);
    Bytes back(ex.in.size());
    EXPECT_EQ(RleDecode(ex.packed.data(), static_cast<uint16_t>(ex.packed.size()), back.data(),
                        static_cast<uint16_t>(back.size()), ex.stride),
              ex.in.size());
    EXPECT_EQ(back, ex.in);
  }
}

TEST(Rle, EncoderNeverWritesForbiddenFirstBytesAndRoundTrips) {
  std::mt19937 rng(12345);
  for (uint16_t stride = 1; stride <= 4; ++stride) {
    for (uint16_t len = 0; len <= 600; ++len) {
      Bytes in(len);
      // Mostly runs of a few values, so both packet kinds appear.
      for (auto& b : in) b = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : rng() % 3);
      Bytes packed = Encode(in, stride);
      ASSERT_LE(packed.size(), RleWorstCase(len)) << "len " << len;
      for (size_t i = 0; i < packed.size();) {
        uint8_t h = packed[i];
        ASSERT_TRUE(h != 0x00 && h != 0x80 && h != 0x81 && h != 0x82) << "len " << len;
        i += (h & 0x80) ? 2 : 1 + h;
      }
      Bytes back(len);
      ASSERT_EQ(RleDecode(packed.data(), static_cast<uint16_t>(packed.size()), back.data(), len,
                          stride),
                len)
          << "stride " << stride << " len " << len;
      ASSERT_EQ(back, in) << "stride " << stride << " len " << len;
    }
  }
}

TEST(Rle, EncoderFailsWhenOneByteShortOfTheExactSize) {
  const Bytes inputs[] = {Distinct(290), Repeat(9, 300), Concat({Repeat(1, 5), Distinct(40)})};
  for (const auto& in : inputs) {
    Bytes exact = Encode(in, 1);
    ASSERT_NE(exact.size(), 3u);
    Bytes out(exact.size());
    EXPECT_EQ(RleEncode(in.data(), static_cast<uint16_t>(in.size()), out.data(),
                        static_cast<uint16_t>(out.size()), 1),
              exact.size());
    EXPECT_EQ(RleEncode(in.data(), static_cast<uint16_t>(in.size()), out.data(),
                        static_cast<uint16_t>(out.size() - 1), 1),
              RLE_FAIL);
  }
  // 290 incompressible bytes need 293.
  EXPECT_EQ(Encode(Distinct(290), 1).size(), 293u);
  EXPECT_EQ(RleWorstCase(290), 293u);
}

TEST(Rle, DecoderFillsTheOutputExactlyAndRefusesMore) {
  const Bytes packed = {0x84, 0x41, 0x01, 0x42};
  Bytes out(5);
  EXPECT_EQ(RleDecode(packed.data(), 4, out.data(), 5, 1), 5);
  EXPECT_EQ(RleDecode(packed.data(), 4, out.data(), 4, 1), RLE_FAIL);
  const Bytes more = {0x84, 0x41, 0x01, 0x42, 0x01, 0x43};
  EXPECT_EQ(RleDecode(more.data(), 6, out.data(), 5, 1), RLE_FAIL);
}

TEST(Rle, DecoderRefusesPacketsCutOffByTheEndOfInput) {
  const Bytes cases[] = {
      {0x84},                    // run without its byte
      {0x05, 1, 2, 3},           // literal of 5 with 3 bytes
      {0x01, 0x42, 0x83},        // good packet then a cut run
      {0x7F},                    // literal header alone
  };
  for (const auto& in : cases) {
    Bytes out(300, 0xAA);
    EXPECT_EQ(RleDecode(in.data(), static_cast<uint16_t>(in.size()), out.data(), 300, 1), RLE_FAIL);
  }
}

}  // namespace
