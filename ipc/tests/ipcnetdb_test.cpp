// The net node table: create, the getters, the lookups and the setters.
#include "ipcnetdb.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "ipc_fixture.h"
#include "ipcproc.h"

namespace {

using ipctest::LibFixture;
using ipctest::TakeReports;

const uint32_t kAddr3 = IpcNetAddrMake(192, 168, 1, 3);
const uint32_t kAddr4 = IpcNetAddrMake(192, 168, 1, 4);

// One report of the given code and severity, nothing else.
void ExpectOneReport(uint16_t code, uint8_t severity, const std::string& what,
                     const char* module = "ipcnetdb") {
  auto r = TakeReports();
  ASSERT_EQ(r.size(), 1u) << what;
  EXPECT_EQ(r[0].ErrCode, code) << what;
  EXPECT_EQ(r[0].hdr.evntCode, severity + 1) << what;
  EXPECT_STREQ(r[0].file, module) << what;
}

void ExpectNoReport(const std::string& what) { EXPECT_TRUE(TakeReports().empty()) << what; }

// Router events raised since the recorder was cleared: their count, and
// the content byte (offset 26) of the last one.
int RouterEvnts(uint16_t code, uint32_t dst, uint8_t* content = nullptr) {
  const IpcStubState& s = ipc::Cur().stubs;
  int n = 0;
  for (int k = 0; k < s.evntCount; ++k) {
    IpcEvntHdr h;
    std::memcpy(&h, s.evnts[k], sizeof h);
    uint32_t d;
    std::memcpy(&d, s.evnts[k] + 18, sizeof d);
    if (h.svrType != IPC_SVR_ROUTER || h.evntCode != code || d != dst) continue;
    ++n;
    if (content != nullptr) *content = s.evnts[k][26];
  }
  return n;
}

// The router's close of a link reaches the datagram layer, which in this
// table-only fixture (no sockets) refuses it with error 33.
int LinkCloseAttempts() {
  int n = 0;
  for (const IpcLogEvnt& r : ipctest::Reports()) {
    if (r.ErrCode == IPC_ERR_SOCKET && std::string(r.file) == "ipcnet") ++n;
  }
  return n;
}
// Queues one small event for a linked, online node in the datagram layer.
bool QueueEvent(uint8_t node) {
  uint8_t evnt[sizeof(IpcEvntHdr)] = {};
  evnt[0] = sizeof(IpcEvntHdr);
  return ipc::IpcNetTxQueue(IPC_PKT_EVNT, node, evnt);
}

bool QueueEmpty(uint8_t node) {
  uint16_t head = 0, tail = 0;
  IpcNetNodeBufStateGet(node, &head, &tail);
  return head == kIpcNoEntry;
}

// Entry 3 in use; entry 7 free.
class NodeTable : public LibFixture {
 protected:
  void SetUp() override {
    LibFixture::SetUp();
    ASSERT_EQ(IpcNetNodeInfoCreate(3, "Node3", kAddr3, 5), 3);
    ipc::IpcStubClear();
  }
};

TEST_F(NodeTable, CreateChecksInOrder) {
  struct Case {
    const char* what;
    uint8_t indx;
    const char* name;
    uint32_t addr;
    uint8_t type;
    uint16_t code;
    uint8_t severity;
  } cases[] = {
      {"index before everything", 100, nullptr, 0, 0, IPC_ERR_NET_NODE_INDX, IPC_SEV_ARG},
      {"null name before address", 4, nullptr, 0, 0, IPC_ERR_NODE_NAME, IPC_SEV_ARG},
      {"9-character name", 4, "ABCDEFGHI", 0, 0, IPC_ERR_NODE_NAME, IPC_SEV_ARG},
      {"address 0 before type", 4, "N4", 0, 0, IPC_ERR_NODE_ADDR, IPC_SEV_ARG},
      {"type 0", 4, "N4", kAddr4, 0, IPC_ERR_NODE_TYPE, IPC_SEV_ARG},
      {"type 26", 4, "N4", kAddr4, 26, IPC_ERR_NODE_TYPE, IPC_SEV_ARG},
      {"entry in use before duplicates", 3, "NODE3", kAddr3, 5, IPC_ERR_STATE, IPC_SEV_STATE},
      {"address used before name used", 4, "node3", kAddr3, 5, IPC_ERR_NODE_ADDR, IPC_SEV_STATE},
      {"name used in other case", 4, "NODE3", kAddr4, 5, IPC_ERR_NODE_NAME, IPC_SEV_STATE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IpcNetNodeInfoCreate(c.indx, c.name, c.addr, c.type), IPC_NO_NET_NODE) << c.what;
    ExpectOneReport(c.code, c.severity, c.what);
    EXPECT_FALSE(IpcNetNodeInfoGet(4, nullptr, nullptr, nullptr, nullptr, nullptr)) << c.what;
  }
  EXPECT_EQ(IpcNetNodeInfoCreate(4, "ABCDEFGH", kAddr4, 25), 4);
  EXPECT_EQ(IpcNetNodeInfoCreate(99, "N99", IpcNetAddrMake(192, 168, 1, 99), 1), 99);
  ExpectNoReport("valid creations");
}

TEST_F(NodeTable, NewEntryIsOfflineWithoutLinkAndReadsBackAsGiven) {
  char name[IPC_NODE_NAME_SIZE];
  std::memset(name, 'X', sizeof name);
  uint32_t addr = 0;
  uint8_t type = 0, status = 0, link = 0;
  ASSERT_TRUE(IpcNetNodeInfoGet(3, name, &addr, &type, &status, &link));
  EXPECT_EQ(std::memcmp(name, "Node3\0\0\0\0\0", IPC_NODE_NAME_SIZE), 0);  // stored as given
  EXPECT_EQ(addr, kAddr3);
  EXPECT_EQ(type, 5);
  EXPECT_EQ(status, IPC_NODE_STATUS_OFFLINE);
  EXPECT_EQ(link, IPC_LINK_STATUS_NONE);
  EXPECT_EQ(ipc::IpcNetNodeSockIndxGet(3), 0);
  EXPECT_EQ(ipc::IpcNetNodeSilenceTimeoutGet(3), 3000);
  EXPECT_EQ(IpcNetNodeDuplicateFoundGet(3), 0);
  // Optional out-pointers.
  EXPECT_TRUE(IpcNetNodeInfoGet(3, nullptr, nullptr, &type, nullptr, nullptr));
  ExpectNoReport("reads");
}

TEST_F(NodeTable, EntryZeroTakesTheDriversEtherAddressAndTheDateVersion) {
  const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  std::memcpy(ipc::Cur().tcpip.etherAddr, mac, 6);
  ASSERT_EQ(IpcNetNodeInfoCreate(0, "PC", IpcNetAddrMake(10, 0, 0, 1), 20), 0);
  uint8_t got[6] = {};
  IpcNetNodeEtherAddrGet(0, got);
  EXPECT_EQ(std::memcmp(got, mac, 6), 0);
  char version[IPC_VERSION_SIZE];
  IpcNetNodeVersionGet(0, version);
  EXPECT_EQ(std::memcmp(version, "020615\0\0", 8), 0);
  // A remote entry gets neither.
  IpcNetNodeEtherAddrGet(3, got);
  EXPECT_EQ(std::memcmp(got, "\0\0\0\0\0\0", 6), 0);
}

TEST_F(NodeTable, NewEntryInheritsTheSilenceTimeoutOfEntryZero) {
  EXPECT_EQ(ipc::IpcNetNodeSilenceTimeoutGet(3), 3000);  // created without entry 0
  ASSERT_EQ(IpcNetNodeInfoCreate(0, "PC", IpcNetAddrMake(10, 0, 0, 1), 20), 0);
  ASSERT_TRUE(ipc::IpcNetNodeSilenceTimeoutSet(0, 1234));
  ASSERT_EQ(IpcNetNodeInfoCreate(8, "N8", IpcNetAddrMake(10, 0, 0, 8), 2), 8);
  EXPECT_EQ(ipc::IpcNetNodeSilenceTimeoutGet(8), 1234);
  EXPECT_EQ(ipc::IpcNetNodeSilenceTimeoutGet(3), 3000);
  EXPECT_EQ(ipc::IpcNetNodeSilenceTimeoutGet(100), 3000);  // refused index
}

TEST_F(NodeTable, GettersReportTable) {
  char buf[16];
  uint8_t mac[6];
  struct Case {
    const char* what;
    std::function<uint32_t()> call;
    uint32_t result;
    uint16_t code;  // 0: no report
    uint8_t severity;
  } cases[] = {
      {"InfoGet index 100", [] { return IpcNetNodeInfoGet(100, nullptr, nullptr, nullptr, nullptr, nullptr); }, 0, IPC_ERR_NET_NODE_INDX, IPC_SEV_ARG},
      {"InfoGet free", [] { return IpcNetNodeInfoGet(7, nullptr, nullptr, nullptr, nullptr, nullptr); }, 0, 0, 0},
      {"StatusGet index 100", [] { return IpcNetNodeStatusGet(100); }, 0, IPC_ERR_NET_NODE_INDX, IPC_SEV_ARG},
      {"StatusGet free", [] { return IpcNetNodeStatusGet(7); }, 0, 0, 0},
      {"LinkStatusGet index 100", [] { return IpcNetNodeLinkStatusGet(100); }, 0, IPC_ERR_NET_NODE_INDX, IPC_SEV_ARG},
      {"LinkStatusGet free", [] { return IpcNetNodeLinkStatusGet(7); }, 0, 0, 0},
      {"AddrGet index 100", [] { return IpcNetNodeAddrGet(100); }, 0, IPC_ERR_NET_NODE_INDX, IPC_SEV_ARG},
      {"AddrGet free", [] { return IpcNetNodeAddrGet(7); }, 0, IPC_ERR_STATE, IPC_SEV_ARG},
      {"NameGet index 100", [&] { IpcNetNodeNameGet(100, buf); return 0u; }, 0, IPC_ERR_NET_NODE_INDX, IPC_SEV_ARG},
      {"NameGet free", [&] { IpcNetNodeNameGet(7, buf); return 0u; }, 0, IPC_ERR_STATE, IPC_SEV_ARG},
      {"NameGet null", [] { IpcNetNodeNameGet(3, nullptr); return 0u; }, 0, IPC_ERR_STATE, IPC_SEV_STATE},
      {"EtherAddrGet index 100", [&] { IpcNetNodeEtherAddrGet(100, mac); return 0u; }, 0, IPC_ERR_NET_NODE_INDX, IPC_SEV_ARG},
      {"EtherAddrGet free", [&] { IpcNetNodeEtherAddrGet(7, mac); return 0u; }, 0, IPC_ERR_STATE, IPC_SEV_STATE},
      {"EtherAddrGet null", [] { IpcNetNodeEtherAddrGet(3, nullptr); return 0u; }, 0, IPC_ERR_STATE, IPC_SEV_ARG},
      {"VersionGet index 100", [&] { IpcNetNodeVersionGet(100, buf); return 0u; }, 0, IPC_ERR_NET_NODE_INDX, IPC_SEV_ARG},
      {"VersionGet free", [&] { IpcNetNodeVersionGet(7, buf); return 0u; }, 0, IPC_ERR_NET_NODE_INDX, IPC_SEV_ARG},
      {"VersionGet null", [] { IpcNetNodeVersionGet(3, nullptr); return 0u; }, 0, IPC_ERR_VERSION, IPC_SEV_ARG},
      {"DuplicateFoundGet index 100", [] { return IpcNetNodeDuplicateFoundGet(100); }, 0, IPC_ERR_NET_NODE_INDX, IPC_SEV_ARG},
      {"DuplicateFoundGet free", [] { return IpcNetNodeDuplicateFoundGet(7); }, 0, IPC_ERR_STATE, IPC_SEV_STATE},
      {"NameExists null", [] { return IpcNetNodeNameExists(nullptr); }, 255, IPC_ERR_NODE_NAME, IPC_SEV_ARG},
      {"NameExists 9 characters", [] { return IpcNetNodeNameExists("NODE3NODE"); }, 255, IPC_ERR_NODE_NAME, IPC_SEV_ARG},
      {"AddrExists 0 without entry 0", [] { return IpcNetNodeAddrExists(0); }, 255, 0, 0},
      {"AddrSplit null", [] { uint8_t a, b, c; return IpcNetAddrSplit(kAddr3, &a, &b, &c, nullptr); }, 0, IPC_ERR_STATE, IPC_SEV_ARG},
      {"TypeStr null", [] { return IpcNodeTypeStrGet(20, nullptr) == nullptr ? 0u : 1u; }, 0, IPC_ERR_STATE, IPC_SEV_ARG},
  };
  for (const Case& c : cases) {
    std::memset(buf, 'X', sizeof buf);
    std::memset(mac, 'X', sizeof mac);
    EXPECT_EQ(c.call(), c.result) << c.what;
    if (c.code == 0) {
      ExpectNoReport(c.what);
    } else {
      ExpectOneReport(c.code, c.severity, c.what);
    }
    // A refused getter writes nothing.
    if (c.code != 0) {
      EXPECT_EQ(buf[0], 'X') << c.what;
      EXPECT_EQ(mac[0], 'X') << c.what;
    }
  }
}

TEST_F(NodeTable, NamesCompareWithoutCaseInAsciiOnly) {
  EXPECT_EQ(IpcNetNodeNameExists("NODE3"), 3);
  EXPECT_EQ(IpcNetNodeNameExists("node3"), 3);
  EXPECT_EQ(IpcNetNodeNameExists("Node"), IPC_NO_NET_NODE);
  EXPECT_EQ(IpcNetNodeNameExists("Node33"), IPC_NO_NET_NODE);
  // Bytes outside ASCII are not folded (no locale decides).
  ASSERT_EQ(IpcNetNodeInfoCreate(5, "\xE9t\xE9", IpcNetAddrMake(10, 0, 0, 5), 2), 5);
  EXPECT_EQ(IpcNetNodeNameExists("\xE9T\xE9"), 5);
  EXPECT_EQ(IpcNetNodeNameExists("\xC9T\xC9"), IPC_NO_NET_NODE);
  ExpectNoReport("lookups");
}

TEST_F(NodeTable, AddressLookupAndAddressZero) {
  EXPECT_EQ(IpcNetNodeAddrExists(kAddr3), 3);
  EXPECT_EQ(IpcNetNodeAddrExists(kAddr4), IPC_NO_NET_NODE);
  EXPECT_EQ(IpcNetNodeAddrExists(0), IPC_NO_NET_NODE);
  ASSERT_EQ(IpcNetNodeInfoCreate(0, "PC", IpcNetAddrMake(10, 0, 0, 1), 20), 0);
  EXPECT_EQ(IpcNetNodeAddrExists(0), 0);
  ExpectNoReport("lookups");
}

TEST(NetAddr, MakeAndSplitPutTheFirstNumberInTheTopByte) {
  const uint32_t addr = IpcNetAddrMake(192, 168, 1, 20);
  EXPECT_EQ(addr, 0xC0A80114u);
  uint8_t a = 0, b = 0, c = 0, d = 0;
  EXPECT_EQ(IpcNetAddrSplit(addr, &a, &b, &c, &d), 192);
  EXPECT_EQ(b, 168);
  EXPECT_EQ(c, 1);
  EXPECT_EQ(d, 20);
  EXPECT_EQ(IpcGetMaxNetNodeIndx(), 100);
}

TEST_F(NodeTable, AddrSplitWithANullOutWritesNothing) {
  uint8_t a = 7, b = 7, c = 7;
  EXPECT_EQ(IpcNetAddrSplit(kAddr3, &a, &b, &c, nullptr), 0);
  EXPECT_EQ(a, 7);
  EXPECT_EQ(b, 7);
  EXPECT_EQ(c, 7);
}

TEST(NodeTypeStr, FourCharactersWithinFiveBytesAndUnknownTypes) {
  for (int type = 0; type < 256; ++type) {
    char buf[8];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(IpcNodeTypeStrGet(static_cast<uint8_t>(type), buf), buf);
    EXPECT_EQ(std::strlen(buf), 4u) << type;
    EXPECT_EQ(buf[5], 'X') << type;  // nothing beyond the 5 bytes
    const bool known = type >= 1 && type <= 24;
    EXPECT_EQ(std::string(buf) == "????", !known) << type;
  }
}

class NodeStatus : public NodeTable {};

TEST_F(NodeStatus, LastHeardIsUpdatedEvenWhenTheStatusDoesNotChange) {
  IpcCurrentTime = IPC_TIME_MAKE(1, 2, 3, 4);
  EXPECT_TRUE(ipc::IpcNetNodeStatusSet(3, IPC_NODE_STATUS_ONLINE));
  EXPECT_EQ(IpcNetNodeStatusGet(3), IPC_NODE_STATUS_ONLINE);
  EXPECT_EQ(ipc::IpcNetNodeLastHeardGet(3), IPC_TIME_MAKE(1, 2, 3, 4));
  ASSERT_TRUE(ipc::IpcNetNodeLinkStatusSet(3, IPC_LINK_STATUS_OK));
  ASSERT_TRUE(QueueEvent(3));

  IpcCurrentTime = IPC_TIME_MAKE(1, 5, 0, 0);
  EXPECT_TRUE(ipc::IpcNetNodeStatusSet(3, IPC_NODE_STATUS_ONLINE));
  EXPECT_EQ(ipc::IpcNetNodeLastHeardGet(3), IPC_TIME_MAKE(1, 5, 0, 0));
  EXPECT_FALSE(QueueEmpty(3));  // nothing flushed
}

TEST_F(NodeStatus, OnlyAChangeOfThisPcsStatusIsAnnounced) {
  const uint32_t own = IpcNetAddrMake(192, 168, 1, 1);
  ASSERT_EQ(IpcNetNodeInfoCreate(0, "PC", own, 20), 0);
  ipc::IpcStubClear();
  uint8_t status = 0;
  EXPECT_TRUE(ipc::IpcNetNodeStatusSet(0, IPC_NODE_STATUS_ONLINE));
  EXPECT_EQ(RouterEvnts(262, 0xFFFFFFFFu, &status), 1);
  EXPECT_EQ(status, IPC_NODE_STATUS_ONLINE);
  EXPECT_TRUE(ipc::IpcNetNodeStatusSet(0, IPC_NODE_STATUS_ONLINE));
  EXPECT_EQ(RouterEvnts(262, 0xFFFFFFFFu), 1);  // no change, no announce
  // Another node's change is announced by that node itself.
  EXPECT_TRUE(ipc::IpcNetNodeStatusSet(3, IPC_NODE_STATUS_ONLINE));
  EXPECT_EQ(RouterEvnts(262, 0xFFFFFFFFu), 1);
}

TEST_F(NodeStatus, GoingOfflineFlushesAndClosesAnEstablishedLink) {
  struct Case {
    uint8_t link;
    bool closes;
  } cases[] = {
      {IPC_LINK_STATUS_NONE, false},
      {IPC_LINK_STATUS_LINK_WAIT, false},
      {IPC_LINK_STATUS_OK, true},
      {IPC_LINK_STATUS_UNLINK_WAIT, true},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(ipc::IpcNetNodeStatusSet(3, IPC_NODE_STATUS_ONLINE));
    ASSERT_TRUE(ipc::IpcNetNodeLinkStatusSet(3, IPC_LINK_STATUS_OK));
    ASSERT_TRUE(QueueEvent(3));
    ASSERT_TRUE(ipc::IpcNetNodeLinkStatusSet(3, c.link));
    ipc::IpcStubClear();
    EXPECT_TRUE(ipc::IpcNetNodeStatusSet(3, IPC_NODE_STATUS_OFFLINE));
    EXPECT_TRUE(QueueEmpty(3)) << int(c.link);
    EXPECT_EQ(LinkCloseAttempts(), c.closes ? 1 : 0) << int(c.link);
  }
}

TEST_F(NodeStatus, RefusedValuesAndEntries) {
  for (uint8_t bad : {0, 4, 255}) {
    EXPECT_FALSE(ipc::IpcNetNodeStatusSet(3, bad));
    ExpectOneReport(IPC_ERR_NODE_STATUS, IPC_SEV_ARG, "status " + std::to_string(bad));
  }
  EXPECT_FALSE(ipc::IpcNetNodeStatusSet(7, IPC_NODE_STATUS_ONLINE));
  ExpectOneReport(IPC_ERR_STATE, IPC_SEV_ARG, "free entry");
  EXPECT_FALSE(ipc::IpcNetNodeStatusSet(100, IPC_NODE_STATUS_ONLINE));
  ExpectOneReport(IPC_ERR_NET_NODE_INDX, IPC_SEV_ARG, "index 100");
  EXPECT_EQ(IpcNetNodeStatusGet(3), IPC_NODE_STATUS_OFFLINE);
}

TEST_F(NodeStatus, LinkStatusChangeRaisesTheLinkEvent) {
  EXPECT_TRUE(ipc::IpcNetNodeLinkStatusSet(3, IPC_LINK_STATUS_OK));
  EXPECT_EQ(IpcNetNodeLinkStatusGet(3), IPC_LINK_STATUS_OK);
  uint8_t link = 0;
  ASSERT_EQ(RouterEvnts(261, kAddr3, &link), 1);
  EXPECT_EQ(link, IPC_LINK_STATUS_OK);
  EXPECT_TRUE(ipc::IpcNetNodeLinkStatusSet(3, IPC_LINK_STATUS_OK));
  EXPECT_EQ(RouterEvnts(261, kAddr3), 1);  // unchanged: no event
}

TEST_F(NodeStatus, LinkErrorAndBrokenAreRecordedNotStored) {
  ASSERT_TRUE(ipc::IpcNetNodeLinkStatusSet(3, IPC_LINK_STATUS_OK));
  ipc::IpcStubClear();
  EXPECT_TRUE(ipc::IpcNetNodeLinkStatusSet(3, IPC_LINK_STATUS_ERROR));
  EXPECT_EQ(IpcNetNodeLinkStatusGet(3), IPC_LINK_STATUS_OK);
  char text[31];
  EXPECT_EQ(ipc::IpcSockErrorGet(3, text), IPC_LINK_STATUS_ERROR);
  EXPECT_STREQ(text, "LinkStatus");
  // An error already held is kept.
  EXPECT_TRUE(ipc::IpcNetNodeLinkStatusSet(3, IPC_LINK_STATUS_BROKEN));
  EXPECT_EQ(ipc::IpcSockErrorGet(3, nullptr), IPC_LINK_STATUS_ERROR);
  EXPECT_EQ(ipc::IpcSockErrorGet(3, text), IPC_LINK_STATUS_ERROR);
  EXPECT_STREQ(text, "LinkStatus");
  EXPECT_EQ(RouterEvnts(261, kAddr3), 0);

  for (uint8_t bad : {0, 7}) {
    EXPECT_FALSE(ipc::IpcNetNodeLinkStatusSet(3, bad));
    ExpectOneReport(IPC_ERR_LINK_STATUS, IPC_SEV_ARG, "link status " + std::to_string(bad));
  }
}

class NodeSetters : public NodeTable {};

TEST_F(NodeSetters, DeleteClosesAnEstablishedLinkWhateverTheIndex) {
  for (uint8_t indx : {1, 42, 98, 99}) {
    ASSERT_EQ(IpcNetNodeInfoCreate(indx, "LINKED", IpcNetAddrMake(10, 1, 0, indx), 2), indx);
    ASSERT_TRUE(ipc::IpcNetNodeLinkStatusSet(indx, IPC_LINK_STATUS_OK));
    ipc::IpcStubClear();
    EXPECT_TRUE(ipc::IpcNetNodeDelete(indx));
    // The datagram layer was asked to close the link: this entry has no
    // socket, which it reports.
    auto r = TakeReports();
    ASSERT_EQ(r.size(), 1u) << int(indx);
    EXPECT_STREQ(r[0].file, "ipcnet") << int(indx);
    EXPECT_EQ(r[0].ErrCode, IPC_ERR_SOCKET) << int(indx);
    EXPECT_FALSE(ipc::IpcNetNodeInUse(indx));
    EXPECT_EQ(IpcNetNodeNameExists("LINKED"), IPC_NO_NET_NODE);
    EXPECT_EQ(IpcNetNodeStatusGet(indx), 0);
  }
  // Without a link nothing is closed.
  ipc::IpcStubClear();
  EXPECT_TRUE(ipc::IpcNetNodeDelete(3));
  ExpectNoReport("delete without a link");
  EXPECT_FALSE(ipc::IpcNetNodeDelete(3));
  ExpectOneReport(IPC_ERR_STATE, IPC_SEV_STATE, "delete free");
  EXPECT_EQ(ipc::IpcNetNodeFreeIndxFind(), 1);
}

TEST_F(NodeSetters, FreeIndexSearchSkipsZeroAndGives255WhenFull) {
  EXPECT_EQ(ipc::IpcNetNodeFreeIndxFind(), 1);
  for (uint8_t i = 1; i < IPC_MAX_NET_NODES; ++i) {
    if (i == 3) continue;
    ASSERT_EQ(IpcNetNodeInfoCreate(i, ("N" + std::to_string(i)).c_str(), IpcNetAddrMake(10, 2, 0, i), 2), i);
  }
  EXPECT_EQ(ipc::IpcNetNodeFreeIndxFind(), IPC_NO_NET_NODE);  // entry 0 is never offered
}

TEST_F(NodeSetters, InfoSetChecksAndStores) {
  ASSERT_EQ(IpcNetNodeInfoCreate(4, "N4", kAddr4, 2), 4);
  ipc::IpcStubClear();
  EXPECT_FALSE(ipc::IpcNetNodeInfoSet(4, "NODE3", std::nullopt, std::nullopt));
  ExpectOneReport(IPC_ERR_NODE_NAME, IPC_SEV_STATE, "name of another entry");
  EXPECT_FALSE(ipc::IpcNetNodeInfoSet(4, nullptr, kAddr3, std::nullopt));
  ExpectOneReport(IPC_ERR_NODE_ADDR, IPC_SEV_STATE, "address of another entry");
  EXPECT_FALSE(ipc::IpcNetNodeInfoSet(4, nullptr, 0u, std::nullopt));
  ExpectOneReport(IPC_ERR_NODE_ADDR, IPC_SEV_ARG, "address 0");
  EXPECT_FALSE(ipc::IpcNetNodeInfoSet(7, "N7", std::nullopt, std::nullopt));
  ExpectOneReport(IPC_ERR_STATE, IPC_SEV_STATE, "free entry");

  EXPECT_TRUE(ipc::IpcNetNodeInfoSet(4, "n4", std::nullopt, uint8_t{21}));  // own name, new case
  char name[IPC_NODE_NAME_SIZE];
  uint8_t type = 0;
  IpcNetNodeInfoGet(4, name, nullptr, &type, nullptr, nullptr);
  EXPECT_STREQ(name, "n4");
  EXPECT_EQ(type, 21);
  uint8_t f[4];
  ipc::IpcNetNodeFeaturesGet(4, f);
  EXPECT_EQ(f[0] | f[1] << 8 | f[2] << 16 | f[3] << 24, 8);
  ExpectNoReport("valid update");
}

TEST_F(NodeSetters, FeatureWordFromTypeAndAnnouncedBelow4096) {
  struct TypeCase {
    uint8_t type;
    uint32_t features;
  } types[] = {{1, 1033}, {3, 1033}, {6, 1033}, {7, 1033}, {18, 1033}, {4, 1034}, {8, 1034},
               {21, 8},   {22, 8},   {5, 0},    {20, 0},   {25, 0}};
  for (const TypeCase& t : types) EXPECT_EQ(ipc::IpcNetNodeFeaturesFor(t.type), t.features) << int(t.type);

  auto features = [] {
    uint8_t f[4];
    ipc::IpcNetNodeFeaturesGet(3, f);
    return uint32_t(f[0]) | uint32_t(f[1]) << 8 | uint32_t(f[2]) << 16 | uint32_t(f[3]) << 24;
  };
  ipc::IpcNetNodeFeaturesAnnounced(3, 4095);
  EXPECT_EQ(features(), 4095u);
  ipc::IpcNetNodeFeaturesAnnounced(3, 4096);
  EXPECT_EQ(features(), 4095u);
  ipc::IpcNetNodeFeaturesAnnounced(3, 0);
  EXPECT_EQ(features(), 0u);
  ipc::IpcNetNodeFeaturesAnnounced(3, 0x1033);
  EXPECT_EQ(features(), 0u);
}

TEST_F(NodeSetters, SocketVersionStartTimeAndDuplicate) {
  // The last socket table entry, 100, can be recorded.
  EXPECT_TRUE(ipc::IpcNetNodeSockIndxSet(3, 100));
  EXPECT_EQ(ipc::IpcNetNodeSockIndxGet(3), 100);
  EXPECT_FALSE(ipc::IpcNetNodeSockIndxSet(3, 101));
  ExpectOneReport(IPC_ERR_SOCKET, IPC_SEV_ARG, "socket 101");

  EXPECT_TRUE(ipc::IpcNetNodeVersionSet(3, "1.3c"));
  char v[IPC_VERSION_SIZE];
  IpcNetNodeVersionGet(3, v);
  EXPECT_EQ(std::memcmp(v, "1.3c\0\0\0\0", 8), 0);
  EXPECT_FALSE(ipc::IpcNetNodeVersionSet(3, "10.3c+"));
  ExpectOneReport(IPC_ERR_VERSION, IPC_SEV_ARG, "invalid version");
  EXPECT_FALSE(ipc::IpcNetNodeVersionSet(3, nullptr));
  ExpectOneReport(IPC_ERR_VERSION, IPC_SEV_ARG, "null version", "ipccheck");
  EXPECT_FALSE(ipc::IpcNetNodeVersionSet(7, "1.3c"));
  ExpectOneReport(IPC_ERR_NET_NODE_INDX, IPC_SEV_ARG, "free entry");

  IpcCurrentTime = IPC_TIME_MAKE(2, 30, 0, 0);
  EXPECT_TRUE(ipc::IpcNetNodeStartTimeSet(3, IPC_TIME_MAKE(1, 2, 3, 4)));
  EXPECT_EQ(ipc::IpcNetNodeStartTimeGet(3), IPC_TIME_MAKE(1, 2, 3, 4));
  EXPECT_EQ(ipc::IpcNetNodeLastHeardGet(3), IPC_TIME_MAKE(2, 30, 0, 0));
  EXPECT_EQ(ipc::IpcNetNodeStartTimeGet(7), IpcCurrentTime);  // refused: now
  EXPECT_EQ(ipc::IpcNetNodeLastHeardGet(100), IpcCurrentTime);

  EXPECT_TRUE(ipc::IpcNetNodeDuplicateSet(3, true));
  EXPECT_EQ(IpcNetNodeDuplicateFoundGet(3), 1);
  ExpectNoReport("setters");
}

}  // namespace
