// The network log switched by one thread while another logs datagrams:
// every file holds whole records only.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "IpcComm.h"
#include "NetLog.h"
#include "TestSupport.h"

namespace {

TEST(NetLogSwitch, FilesSwitchedWhileDatagramsAreLoggedHoldWholeRecords) {
  TempDir dir;
  std::vector<std::string> paths;
  for (int i = 0; i < 8; ++i) paths.push_back((dir.path() / ("net" + std::to_string(i) + ".bin")).string());
  std::atomic<bool> stop{false};
  std::atomic<long> logged{0};
  std::thread comm([&] {
    uint8_t datagram[300];
    for (int i = 0; i < 300; ++i) datagram[i] = static_cast<uint8_t>(i);
    for (uint16_t n = 0; !stop.load(); n = static_cast<uint16_t>((n + 37) % 300)) {
      NetLogDebugHook(1 + n % 2, n, datagram);
      logged.fetch_add(1);
    }
  });
  for (int round = 0; round < 200; ++round) {
    const std::string& p = paths[static_cast<size_t>(round) % paths.size()];
    ASSERT_TRUE(OpenNetLog(p.c_str()));
    // Let some datagrams in before the next switch.
    const long before = logged.load();
    while (logged.load() < before + 20) std::this_thread::yield();
    if (round % 3 == 0) CloseNetLog();
  }
  CloseNetLog();
  stop.store(true);
  comm.join();

  for (const std::string& p : paths) {
    std::ifstream in(p, std::ios::binary);
    const std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    size_t at = 0;
    while (at + 8 <= bytes.size()) {
      const unsigned dir2 = bytes[at] | bytes[at + 1] << 8;
      const size_t n = bytes[at + 2] | bytes[at + 3] << 8;
      ASSERT_TRUE(dir2 == 1 || dir2 == 2) << p << " at " << at;
      ASSERT_LE(at + 8 + n, bytes.size()) << p;
      for (size_t k = 0; k < n; ++k) ASSERT_EQ(bytes[at + 8 + k], static_cast<uint8_t>(k)) << p;
      at += 8 + n;
    }
    EXPECT_EQ(at, bytes.size()) << p;
  }
}

}  // namespace
