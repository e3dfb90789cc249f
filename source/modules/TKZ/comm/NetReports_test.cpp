// The operator reports' lines and the binary network log's records.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

#include "IpcComm.h"
#include "NetLog.h"
#include "NetReports.h"
#include "NodeTestSupport.h"

namespace {

class FakeNetNodeTable final : public NetNodeTable {
 public:
  struct Entry {
    uint8_t status;
    bool readable;
    const char* name;
    uint32_t addr;
    const char* type;
    uint8_t ether[6];
    const char* version;  // 8 bytes are copied
  };
  std::map<uint8_t, Entry> entries;
  uint8_t max = 100;

  uint8_t MaxIndx() override { return max; }
  bool IndxValid(uint8_t i) override { return entries.count(i) != 0; }
  uint8_t Status(uint8_t i) override { return entries.at(i).status; }
  bool Info(uint8_t i, char* name, uint32_t* addr, uint8_t* type) override {
    const Entry& e = entries.at(i);
    if (!e.readable) return false;
    std::memset(name, 0, 10);
    std::memcpy(name, e.name, std::min<size_t>(std::strlen(e.name), 10));
    *addr = e.addr;
    *type = i;
    return true;
  }
  void EtherAddr(uint8_t i, uint8_t* ether) override { std::memcpy(ether, entries.at(i).ether, 6); }
  void Version(uint8_t i, char* version) override { std::memcpy(version, entries.at(i).version, 8); }
  std::string TypeCode(uint8_t type) override { return entries.at(type).type; }
};

TEST(NodeListReport, ListsOnlineOfflineAndDisabledNodesAndFlagsUnreadableOnes) {
  FakeNetNodeTable t;
  const std::string heading =
      "NODE_ADDRESS     NODE_NAME  TYPE  STATUS   ETHERNET_ADDRESS   VERSION\n";
  // No valid node: only the heading.
  EXPECT_EQ(ReportNodeLines(t), (std::vector<std::string>{"\n", heading}));

  t.entries[0] = {IPC_NODE_STATUS_ONLINE, true, "PC1", 0x7F000001, "TKZ ",
                  {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}, "1.3c\0\0\0\0"};
  // A name that fills its 10 bytes without a terminator, a version of 8.
  t.entries[4] = {IPC_NODE_STATUS_OFFLINE, true, "NODE123456XYZ", 0x0A010203, "K4Z ",
                  {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0xFF}, "020615\0\0"};
  t.entries[5] = {IPC_NODE_STATUS_NOT_IN_USE, true, "GONE", 1, "K4Z ", {}, "1.1\0\0\0\0\0"};
  t.entries[7] = {IPC_NODE_STATUS_DISABLED, false, "", 0, "", {}, "\0\0\0\0\0\0\0\0"};
  t.entries[150] = {IPC_NODE_STATUS_ONLINE, true, "BEYOND", 2, "K4Z ", {}, "1.1\0\0\0\0\0"};
  t.max = 200;  // the library's bound holds, whatever the table says
  EXPECT_EQ(ReportNodeLines(t),
            (std::vector<std::string>{
                "\n", heading,
                "127.0.0.1        PC1        TKZ   On-Line  00:11:22:33:44:55  1.3c   \n",
                "10.1.2.3         NODE123456 K4Z   Off-Line 0A:0B:0C:0D:0E:FF  020615 \n",
                "CONFIG ERROR for Index = 7\n"}));
}

TEST(TableReports, CountersOfPortsRacksAndVersionsInMapOrder) {
  NodesRig rig;
  rig.Load({{1, 0x7F000201, {1, 0, 1, 0, 0, 0}}, {2, 0x7F000202, {0, 0, 0, 0, 0, 0}}},
           {{1, 5, 0}, {1, 7, 3}, {9, 256, 3}});
  NodeEntry* n = rig.nodes.Node(1);
  n->state = NODE_STATE_ONLINE;
  n->linkResets = 3;
  n->ports[0].TxMsgs = 4;
  n->ports[0].RxMsgs = 2;
  n->ports[0].queued = 1;
  RackEntry* r = rig.nodes.Rack(5);
  r->flags |= RACK_FLAG_UP;
  r->TxMsgs = 12;
  r->RxMsgs = 3;
  r->RxFaults = 1;
  r->Errors = 2;
  r->LastErrRcode = 0x413;
  r->LastErrCmd = 0x1B;
  std::memcpy(r->serial, "SN123456", 8);
  std::memcpy(r->software, "V2.10a", 6);
  r->hardware = 3;
  std::memcpy(rig.nodes.Rack(7)->serial, "S1", 2);
  std::memcpy(rig.nodes.Rack(7)->software, "2a", 2);

  NetStatsFigures f{93784, 937840, 1000, 250};
  EXPECT_EQ(ReportNetStatsLines(f, rig.nodes),
            (std::vector<std::string>{
                "\n", "Uptime: 1 days, 2 hours, 3 minutes, 4 seconds.\n",
                "Average of 10 timer messages/second.\n",
                "IPC has been polled 1000 times (average 0/second).\n",
                "Longest time between polls = 250 milliseconds\n", "\n",
                "      Node       State         Port  TxMsgs  RxMsgs  Queued Msgs Link resets\n",
                "127.0.2.1        Online         -1         4       2            1           3\n",
                "127.0.2.1        Online         1         0       0            0           3\n",
                "127.0.2.2        Unknown        -\n", "\n"}));
  // The first second: the averages are the counts themselves.
  const auto first = ReportNetStatsLines({0, 7, 30, 0}, rig.nodes);
  EXPECT_EQ(first[2], "Average of 7 timer messages/second.\n");
  EXPECT_EQ(first[3], "IPC has been polled 30 times (average 30/second).\n");

  const auto racks = ReportRackLines(rig.nodes);
  ASSERT_GE(racks.size(), 3u);
  EXPECT_EQ(racks[1], "Rack State TxMsgs  RxMsgs  RxFaults  Errors  LastErrRcode  LastErrCmd  Node\n");
  EXPECT_EQ(racks[2], "  5  up        12       3        1        2     0x0413       0x001B    127.0.2.1:-1\n");
  // Rack 256 names a node the table does not hold.
  ASSERT_EQ(racks.size(), 6u);
  EXPECT_EQ(racks[4], "256  down       0       0        0        0     0x0000       0x0000    :2\n");
  EXPECT_EQ(racks.back(), "\n");

  const auto versions = ReportRackVersionLines(rig.nodes);
  EXPECT_EQ(versions[1], "Rack   S/N    Software  Hardware Ver\n");
  EXPECT_EQ(versions[2], "  5  SN123456  V2.10a        3\n");
  EXPECT_EQ(versions[3], "  7        S1      2a        0\n");
  EXPECT_EQ(versions[4], "256     ?        ?           ?\n");
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST(NetLog, OneRecordPerDatagramWithDirectionLengthAndMilliseconds) {
  TempDir dir;
  platform::time::FakeClock clock(2026, 3, 14, 9, 30, 0);
  clock.AdvanceMs(1234);
  SetNetLogClock(&clock);
  const std::string path = (dir.path() / "net.bin").string();
  // Nothing is written while no log is open.
  NetLogDebugHook(1, 3, "abc");
  ASSERT_TRUE(OpenNetLog(path.c_str()));
  const uint8_t sent[] = {1, 2, 3};
  NetLogDebugHook(1, sizeof sent, sent);
  clock.AdvanceMs(5);
  NetLogDebugHook(2, 0, nullptr);
  NetLogDebugHook(2, 1, "\xFF");
  CloseNetLog();
  NetLogDebugHook(1, 3, "abc");
  SetNetLogClock(nullptr);

  const auto ms = static_cast<uint32_t>(static_cast<uint64_t>(clock.NowUnixMs()) - 5);
  auto le32 = [](uint32_t v) {
    return std::vector<uint8_t>{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                                static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
  };
  std::vector<uint8_t> want = {1, 0, 3, 0};
  for (uint8_t b : le32(ms)) want.push_back(b);
  want.insert(want.end(), {1, 2, 3});
  want.insert(want.end(), {2, 0, 0, 0});
  for (uint8_t b : le32(ms + 5)) want.push_back(b);
  want.insert(want.end(), {2, 0, 1, 0});
  for (uint8_t b : le32(ms + 5)) want.push_back(b);
  want.push_back(0xFF);
  EXPECT_EQ(ReadAll(path), want);
  EXPECT_FALSE(NetLogIsOpen());
}

TEST(NetLog, ReopeningTruncatesAndAFailedOpenLeavesNoLogOpen) {
  TempDir dir;
  FlagGuard flags;
  g_bTimeStampLog = false;
  platform::time::FakeClock clock;
  LogBuffer log(clock, dir.path());
  RecordingObserver seen;
  log.AddObserver(&seen);
  const std::string a = (dir.path() / "a.bin").string(), b = (dir.path() / "b.bin").string();
  ASSERT_TRUE(OpenNetLog(a.c_str()));
  NetLogDebugHook(1, 2, "xy");
  // Switching files closes the first whole.
  ASSERT_TRUE(OpenNetLog(b.c_str()));
  NetLogDebugHook(2, 1, "z");
  EXPECT_EQ(ReadAll(a).size(), 10u);
  const std::string bad = (dir.path() / "no" / "such.bin").string();
  EXPECT_FALSE(OpenNetLog(bad.c_str()));
  EXPECT_FALSE(NetLogIsOpen());
  EXPECT_EQ(ReadAll(b).size(), 9u);
  ASSERT_TRUE(OpenNetLog(a.c_str()));
  CloseNetLog();
  EXPECT_EQ(ReadAll(a).size(), 0u);
  EXPECT_NE(seen.text().find("Couldn't open net log file \"" + bad + "\"."), std::string::npos);
}

}  // namespace
