// The network log on a disk that fills up: the file holds whole records to
// its end, and the records it could not take are told.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "FileSizeLimit.h"
#include "IpcComm.h"
#include "LogBuffer.h"
#include "NetLog.h"
#include "TestSupport.h"
#include "platform/time/fake_clock.h"

namespace {

// The records of a network log file, read to its end: their lengths, or
// -1 at the place where a record is torn.
std::vector<int> Records(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
  std::vector<int> out;
  size_t at = 0;
  while (at < bytes.size()) {
    if (at + kNetLogRecordHeader > bytes.size()) return out.push_back(-1), out;
    const size_t n = bytes[at + 2] | bytes[at + 3] << 8;
    if (at + kNetLogRecordHeader + n > bytes.size()) return out.push_back(-1), out;
    out.push_back(static_cast<int>(n));
    at += kNetLogRecordHeader + n;
  }
  return out;
}

// A network log open in a fresh folder, and the log lines it writes.
class NetLogFullDisk : public ::testing::Test {
 protected:
  NetLogFullDisk() : log(clock, dir.path()), path((dir.path() / "net.bin").string()) {
    g_bTimeStampLog = false;
    log.AddObserver(&seen);
  }
  ~NetLogFullDisk() override { CloseNetLog(); }

  TempDir dir;
  FlagGuard flags;
  platform::time::FakeClock clock;
  LogBuffer log;
  RecordingObserver seen;
  const std::string path;
};

TEST_F(NetLogFullDisk, RecordsAreWholeOrDroppedAndTheDropsAreToldWhenTheFileTakesOneAgain) {
  ASSERT_TRUE(OpenNetLog(path.c_str()));
  uint8_t datagram[100] = {};
  NetLogDebugHook(1, 46, datagram);  // 54 bytes
  {
    drovana::test::FileSizeLimit full(54 + 100);
    NetLogDebugHook(2, 80, datagram);  // 88: fits
    NetLogDebugHook(1, 46, datagram);  // cut at 12 bytes: taken back
    NetLogDebugHook(1, 100, datagram);
  }
  NetLogDebugHook(2, 10, datagram);
  CloseNetLog();
  log.OnDrainQueue();
  EXPECT_EQ(Records(path), (std::vector<int>{46, 80, 10}));
  EXPECT_EQ(seen.text(), "Error: 2 network log records were not written to \"" + path +
                             "\" (File too large).\n");
}

TEST_F(NetLogFullDisk, DropsStillUntoldWhenTheLogClosesAreToldThen) {
  ASSERT_TRUE(OpenNetLog(path.c_str()));
  uint8_t datagram[20] = {};
  {
    drovana::test::FileSizeLimit full(0);
    NetLogDebugHook(1, 20, datagram);
    CloseNetLog();
  }
  log.OnDrainQueue();
  EXPECT_EQ(Records(path), std::vector<int>{});
  EXPECT_EQ(seen.text(), "Error: 1 network log record was not written to \"" + path +
                             "\" (File too large).\n");
}

}  // namespace
