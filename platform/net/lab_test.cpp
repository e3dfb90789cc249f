#include <cstdlib>

#include <gtest/gtest.h>

#include "net/backend.h"
#include "net/lab.h"

namespace net {
namespace {

constexpr uint32_t A(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return (uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d;
}

TEST(ParseAddress, AcceptsOnlyPlainDottedQuads) {
  const struct {
    const char* text;
    bool ok;
    uint32_t address;
  } cases[] = {
      {"127.0.0.5", true, A(127, 0, 0, 5)},
      {"255.255.255.255", true, 0xFFFFFFFFu},
      {"0.0.0.0", true, 0},
      {"192.168.001.010", true, A(192, 168, 1, 10)},
      {"127.0.0", false, 0},
      {"127.0.0.5.", false, 0},
      {"127.0.0.256", false, 0},
      {"127.0.0.1000", false, 0},
      {"0x7f.0.0.1", false, 0},
      {"127.0.0.1 ", false, 0},
      {" 127.0.0.1", false, 0},
      {"127..0.1", false, 0},
      {"", false, 0},
  };
  for (const auto& c : cases) {
    uint32_t a = 12345;
    EXPECT_EQ(ParseAddress(c.text, &a), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(a, c.address) << c.text;
    }
  }
  EXPECT_FALSE(ParseAddress(nullptr, nullptr));
  EXPECT_EQ(FormatEndpoint(Endpoint{A(10, 1, 2, 3), 2510}), "10.1.2.3:2510");
}

TEST(LabConfig, UnsetOrEmptyChangesNothing) {
  std::string problems = "stale";
  for (const char* v : {static_cast<const char*>(nullptr), ""}) {
    const LabConfig c = ParseLabConfig(v, v, v, &problems);
    EXPECT_EQ(c.ownAddress, 0u);
    EXPECT_FALSE(c.bindWildcardToOwn);
    EXPECT_TRUE(c.broadcastTo.empty());
    EXPECT_EQ(problems, "");
  }
}

TEST(LabConfig, ReadsTheThreeSettings) {
  std::string problems;
  const LabConfig c = ParseLabConfig("127.0.0.5", "1", "127.0.0.2, 127.0.0.3,127.0.0.2", &problems);
  EXPECT_EQ(problems, "");
  EXPECT_EQ(c.ownAddress, A(127, 0, 0, 5));
  EXPECT_TRUE(c.bindWildcardToOwn);
  // A repeated address gets one copy.
  EXPECT_EQ(c.broadcastTo, (std::vector<uint32_t>{A(127, 0, 0, 2), A(127, 0, 0, 3)}));
}

TEST(LabConfig, BadValueIsIgnoredWholeAndNamed) {
  const struct {
    const char* addr;
    const char* bindOwn;
    const char* bcast;
    const char* named;
  } cases[] = {
      {"127.0.0", nullptr, nullptr, "DROVANA_NET_ADDR"},
      {"0.0.0.0", nullptr, nullptr, "DROVANA_NET_ADDR"},
      {"255.255.255.255", nullptr, nullptr, "DROVANA_NET_ADDR"},
      {"localhost", nullptr, nullptr, "DROVANA_NET_ADDR"},
      {nullptr, "maybe", nullptr, "DROVANA_NET_BIND_OWN"},
      {nullptr, nullptr, "127.0.0.2,,127.0.0.3", "DROVANA_NET_BCAST_TO"},
      {nullptr, nullptr, "127.0.0.2,127.0.0.300", "DROVANA_NET_BCAST_TO"},
      {nullptr, nullptr, "127.0.0.2;127.0.0.3", "DROVANA_NET_BCAST_TO"},
      {nullptr, nullptr, "127.0.0.2,", "DROVANA_NET_BCAST_TO"},
  };
  for (const auto& c : cases) {
    std::string problems;
    const LabConfig cfg = ParseLabConfig(c.addr, c.bindOwn, c.bcast, &problems);
    EXPECT_EQ(cfg.ownAddress, 0u);
    EXPECT_FALSE(cfg.bindWildcardToOwn);
    EXPECT_TRUE(cfg.broadcastTo.empty());
    EXPECT_NE(problems.find(c.named), std::string::npos) << problems;
  }
  std::string problems;
  // The line says which words are taken.
  ParseLabConfig(nullptr, "maybe", nullptr, &problems);
  EXPECT_NE(problems.find("expected 1/yes/true/on or 0/no/false/off"), std::string::npos) << problems;
  EXPECT_FALSE(ParseLabConfig(nullptr, "0", nullptr, &problems).bindWildcardToOwn);
  EXPECT_EQ(problems, "");
}

TEST(LabConfig, BroadcastListIsBounded) {
  std::string list;
  for (int i = 0; i < 255; ++i) {
    list += (i ? "," : "") + std::string("10.0.") + std::to_string(i / 250) + "." + std::to_string(1 + i % 250);
  }
  std::string problems;
  EXPECT_TRUE(ParseLabConfig(nullptr, nullptr, list.c_str(), &problems).broadcastTo.empty());
  EXPECT_NE(problems.find("254"), std::string::npos);
  list = list.substr(0, list.rfind(','));  // 254 addresses
  EXPECT_EQ(ParseLabConfig(nullptr, nullptr, list.c_str(), &problems).broadcastTo.size(), 254u);
}

TEST(LabConfig, ReadsTheDocumentedEnvironmentVariables) {
  ::setenv("DROVANA_NET_ADDR", "127.0.0.7", 1);
  ::setenv("DROVANA_NET_BIND_OWN", "1", 1);
  ::setenv("DROVANA_NET_BCAST_TO", "127.0.0.7,127.0.0.8", 1);
  std::string problems;
  const LabConfig c = LabConfigFromEnvironment(&problems);
  ::unsetenv("DROVANA_NET_ADDR");
  ::unsetenv("DROVANA_NET_BIND_OWN");
  ::unsetenv("DROVANA_NET_BCAST_TO");
  EXPECT_EQ(problems, "");
  EXPECT_EQ(c.ownAddress, A(127, 0, 0, 7));
  EXPECT_TRUE(c.bindWildcardToOwn);
  EXPECT_EQ(c.broadcastTo.size(), 2u);
}

}  // namespace
}  // namespace net
