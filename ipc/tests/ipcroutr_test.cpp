// The router's handling of node announcements and of its own events, in
// one library instance: announcements are put into the event ring as if
// they had arrived on the node-0 socket, and the router's event client
// takes them from there.
#include "ipcroutr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ipc_fixture.h"
#include "ipcevnt.h"
#include "ipcnet.h"
#include "ipcnetdb.h"

namespace {

using ipctest::LibFixture;

const uint32_t kOwn = IpcNetAddrMake(10, 0, 0, 1);
const uint32_t kAddrA = IpcNetAddrMake(10, 0, 0, 11);
const uint32_t kAddrB = IpcNetAddrMake(10, 0, 0, 12);

struct Ann {
  const char* name = "NODEA";
  uint32_t addr = kAddrA;
  uint8_t type = 1;
  uint8_t status = IPC_NODE_STATUS_ONLINE;
  uint8_t ether = 0xA1;  // every byte of the Ethernet address
  IpcTime start = IPC_TIME_MAKE(0, 1, 2, 3);
  uint16_t length = 84;
  uint32_t features = 77;
  const char* version = "1.3c";
};

IpcRouterEvnt MakeAnnounce(const Ann& a) {
  IpcRouterEvnt e{};
  e.hdr.length = a.length;
  e.hdr.evntCode = IPC_ROUTER_EVNT_NODE_STATUS;
  e.hdr.svrType = IPC_SVR_ROUTER;
  e.hdr.evntId = 8;
  e.hdr.hostKind = IPC_HOST_KIND_LOCAL;
  e.hdr.hostHandle = 1;
  ipc::IpcVersionCopy(e.hdr.version, a.version);
  e.dstAddr = ipc::kIpcAllNodes;
  e.srcAddr = a.addr;
  e.u.announce.status = a.status;
  e.u.announce.nodeType = a.type;
  std::memcpy(e.u.announce.name, a.name, std::min<size_t>(std::strlen(a.name), IPC_NODE_NAME_SIZE));
  e.u.announce.startTime = a.start;
  std::memset(e.u.announce.etherAddr, a.ether, IPC_ETHER_ADDR_SIZE);
  e.u.announce.features = a.features;
  return e;
}

// Puts an event into the ring as the node-0 socket does and lets every
// queued event be delivered.
void Receive(IpcRouterEvnt e) {
  ASSERT_TRUE(ipc::IpcEvntQueue(&e.hdr, 0, 0, 0));
  for (int k = 0; k < 60 && IpcEvntDespatch(); ++k) {
  }
}

void Announce(const Ann& a) { Receive(MakeAnnounce(a)); }

// The messages waiting in node 0's transmit queue, oldest first: their
// queue kind and the router event they carry.
struct Queued {
  uint8_t kind;
  IpcRouterEvnt e;
};
std::vector<Queued> Node0Queue() {
  const IpcNetState& n = ipc::Cur().net;
  std::vector<Queued> out;
  uint16_t i = n.seq[0].head;
  for (int k = 0; i != kIpcNoEntry && k < kIpcTxPoolSize; ++k) {
    const IpcTxEntry& t = n.pool[i];
    Queued q;
    q.kind = t.packet[10];
    std::memcpy(&q.e, t.packet + kIpcPktHdrLen, sizeof q.e);
    out.push_back(q);
    if (t.next == i) break;
    i = t.next;
  }
  return out;
}

void DrainEvents() {
  for (int k = 0; k < 60 && IpcEvntDespatch(); ++k) {
  }
}

uint8_t EtherByte(uint8_t node) {
  uint8_t ether[IPC_ETHER_ADDR_SIZE] = {};
  IpcNetNodeEtherAddrGet(node, ether);
  return ether[0];
}

// This PC is node 0 (online, link ok, Ethernet 0x0E...).
class Announces : public LibFixture {
 protected:
  void SetUp() override {
    LibFixture::SetUp();
    std::memset(ipc::Cur().tcpip.etherAddr, 0x0E, IPC_ETHER_ADDR_SIZE);
    ASSERT_EQ(IpcNetNodeInfoCreate(0, "PC", kOwn, 20), 0);
    ASSERT_TRUE(ipc::IpcNetNodeLinkStatusSet(0, IPC_LINK_STATUS_OK));
    ASSERT_TRUE(ipc::IpcNetNodeStatusSet(0, IPC_NODE_STATUS_ONLINE));
    DrainEvents();
    ipc::IpcNetTxFlush(0);
    ipc::IpcStubClear();
  }

  // A node already in the table.
  void Known(uint8_t indx, const char* name, uint32_t addr, uint8_t status, uint8_t ether,
             IpcTime start = IPC_TIME_MAKE(0, 1, 2, 3), uint8_t type = 1) {
    ASSERT_EQ(IpcNetNodeInfoCreate(indx, name, addr, type), indx);
    uint8_t e[IPC_ETHER_ADDR_SIZE];
    std::memset(e, ether, sizeof e);
    ASSERT_TRUE(ipc::IpcNetNodeEtherAddrSet(indx, e));
    ASSERT_TRUE(ipc::IpcNetNodeStartTimeSet(indx, start));
    ASSERT_TRUE(ipc::IpcNetNodeStatusSet(indx, status));
  }
};

TEST_F(Announces, TableOfAnnounceHandling) {
  struct Case {
    const char* what;
    // Entry 1 before the announce (name null: none).
    const char* priorName;
    uint32_t priorAddr;
    uint8_t priorStatus;
    uint8_t priorEther;
    Ann ann;
    // After: the index that holds the announced address (255: none), its
    // status, and what became of entry 1 (of entry 0 in the own-name row:
    // its duplicate flag); a name entry 1 no longer has is free.
    uint8_t indx;
    uint8_t status;
    bool dup1;
    const char* name1;  // entry 1's name afterwards
    uint8_t ether1;
  };
  const Case cases[] = {
      {"unknown node: lowest free index, online", "OTHER", kAddrB, IPC_NODE_STATUS_ONLINE, 0xB1,
       Ann{}, 2, IPC_NODE_STATUS_ONLINE, false, "OTHER", 0xB1},
      {"new address, name of an offline node: replaces it", "NODEA", kAddrB,
       IPC_NODE_STATUS_OFFLINE, 0xB1, Ann{}, 1, IPC_NODE_STATUS_ONLINE, false, "NODEA", 0xA1},
      {"new address, name of an online node: flagged, nothing else", "NODEA", kAddrB,
       IPC_NODE_STATUS_ONLINE, 0xB1, Ann{}, 255, 0, true, "NODEA", 0xB1},
      {"name compared without case", "nodea", kAddrB, IPC_NODE_STATUS_ONLINE, 0xB1, Ann{}, 255, 0,
       true, "nodea", 0xB1},
      {"differing Ethernet address of an online node: flagged", "NODEA", kAddrA,
       IPC_NODE_STATUS_ONLINE, 0xB1, Ann{}, 1, IPC_NODE_STATUS_ONLINE, true, "NODEA", 0xB1},
      {"differing Ethernet address of an offline node: new hardware taken", "NODEA", kAddrA,
       IPC_NODE_STATUS_OFFLINE, 0xB1, Ann{}, 1, IPC_NODE_STATUS_ONLINE, false, "NODEA", 0xA1},
      {"stored Ethernet address all zero takes the announced one", "NODEA", kAddrA,
       IPC_NODE_STATUS_OFFLINE, 0x00, Ann{}, 1, IPC_NODE_STATUS_ONLINE, false, "NODEA", 0xA1},
      {"announced status 3 taken as offline", "NODEA", kAddrA, IPC_NODE_STATUS_ONLINE, 0xA1,
       Ann{.status = IPC_NODE_STATUS_DISABLED}, 1, IPC_NODE_STATUS_OFFLINE, false, "NODEA", 0xA1},
      {"announced offline", "NODEA", kAddrA, IPC_NODE_STATUS_ONLINE, 0xA1,
       Ann{.status = IPC_NODE_STATUS_OFFLINE}, 1, IPC_NODE_STATUS_OFFLINE, false, "NODEA", 0xA1},
      {"bad node type: the offline namesake is kept", "NODEA", kAddrB, IPC_NODE_STATUS_OFFLINE,
       0xB1, Ann{.type = 26}, 255, 0, false, "NODEA", 0xB1},
      {"node type 0 likewise", "NODEA", kAddrB, IPC_NODE_STATUS_OFFLINE, 0xB1, Ann{.type = 0},
       255, 0, false, "NODEA", 0xB1},
      {"name without its NUL in 10 bytes", "NODEA", kAddrB, IPC_NODE_STATUS_OFFLINE, 0xB1,
       Ann{.name = "NODEA56789AB"}, 255, 0, false, "NODEA", 0xB1},
      {"name of 9 characters", "NODEA", kAddrB, IPC_NODE_STATUS_OFFLINE, 0xB1,
       Ann{.name = "NODEA5678"}, 255, 0, false, "NODEA", 0xB1},
      {"version that is not one", "NODEA", kAddrB, IPC_NODE_STATUS_OFFLINE, 0xB1,
       Ann{.version = "10.3c+"}, 255, 0, false, "NODEA", 0xB1},
      {"status 0", "NODEA", kAddrB, IPC_NODE_STATUS_OFFLINE, 0xB1, Ann{.status = 0}, 255, 0,
       false, "NODEA", 0xB1},
      {"renamed while online: the new name is taken", "OLDNAME", kAddrA, IPC_NODE_STATUS_ONLINE,
       0xA1, Ann{}, 1, IPC_NODE_STATUS_ONLINE, false, "NODEA", 0xA1},
      {"renamed while offline: the new name is taken", "OLDNAME", kAddrA,
       IPC_NODE_STATUS_OFFLINE, 0xA1, Ann{}, 1, IPC_NODE_STATUS_ONLINE, false, "NODEA", 0xA1},
      {"renamed, other Ethernet address while online: flagged, name kept", "OLDNAME", kAddrA,
       IPC_NODE_STATUS_ONLINE, 0xB1, Ann{}, 1, IPC_NODE_STATUS_ONLINE, true, "OLDNAME", 0xB1},
      {"own name: this PC's entry is never replaced, and flagged", "PC", kAddrB,
       IPC_NODE_STATUS_ONLINE, 0xB1, Ann{.name = "PC"}, 255, 0, true, "PC", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    const bool own = std::string(c.priorName) == "PC";
    if (!own) Known(1, c.priorName, c.priorAddr, c.priorStatus, c.priorEther);
    Announce(c.ann);

    EXPECT_EQ(IpcNetNodeAddrExists(c.ann.addr), c.indx);
    if (c.indx != IPC_NO_NET_NODE) {
      EXPECT_EQ(IpcNetNodeStatusGet(c.indx), c.status);
    }
    if (own) {
      EXPECT_EQ(IpcNetNodeAddrGet(0), kOwn);
      EXPECT_EQ(IpcNetNodeDuplicateFoundGet(0), c.dup1 ? 1 : 0);
      continue;
    }
    char name[IPC_NODE_NAME_SIZE] = {};
    ASSERT_TRUE(IpcNetNodeInfoGet(1, name, nullptr, nullptr, nullptr, nullptr));
    EXPECT_STREQ(name, c.name1);
    EXPECT_EQ(IpcNetNodeNameExists(c.name1), 1);
    if (std::string(c.priorName) != c.name1) {
      EXPECT_EQ(IpcNetNodeNameExists(c.priorName), IPC_NO_NET_NODE);
    }
    EXPECT_EQ(IpcNetNodeDuplicateFoundGet(1), c.dup1 ? 1 : 0);
    EXPECT_EQ(EtherByte(1), c.ether1);
  }
}

TEST_F(Announces, ReplacedHardwareIsAcceptedOnceTheNodeIsOfflineAndTheFlagCleared) {
  Known(1, "NODEA", kAddrA, IPC_NODE_STATUS_ONLINE, 0xB1);
  Announce(Ann{});  // the new board answers while the old entry is online
  EXPECT_EQ(IpcNetNodeDuplicateFoundGet(1), 1);
  EXPECT_EQ(EtherByte(1), 0xB1);
  ASSERT_TRUE(ipc::IpcNetNodeStatusSet(1, IPC_NODE_STATUS_OFFLINE));  // silence
  Announce(Ann{});
  EXPECT_EQ(IpcNetNodeDuplicateFoundGet(1), 0);
  EXPECT_EQ(EtherByte(1), 0xA1);
  EXPECT_EQ(IpcNetNodeStatusGet(1), IPC_NODE_STATUS_ONLINE);
}

TEST_F(Announces, RestartIsSeenAsOfflineThenOnline) {
  Known(1, "NODEA", kAddrA, IPC_NODE_STATUS_ONLINE, 0xA1, IPC_TIME_MAKE(0, 1, 2, 3));
  Announce(Ann{.start = IPC_TIME_MAKE(0, 9, 0, 0)});
  EXPECT_EQ(IpcNetNodeStatusGet(1), IPC_NODE_STATUS_OFFLINE);
  EXPECT_EQ(ipc::IpcNetNodeStartTimeGet(1), IPC_TIME_MAKE(0, 9, 0, 0));
  Announce(Ann{.start = IPC_TIME_MAKE(0, 9, 0, 0)});
  EXPECT_EQ(IpcNetNodeStatusGet(1), IPC_NODE_STATUS_ONLINE);
}

TEST_F(Announces, FeatureWordAndVersionComeFromTheAnnounce) {
  struct Case {
    uint16_t length;
    uint32_t announced;
    uint32_t stored;
  } cases[] = {
      {84, 77, 77},
      {80, 77, 0},  // short announce: feature word 0
      {84, 4096, 1033},  // out of range: type 1's word stays
      {84, 0, 0},
  };
  uint8_t indx = 1;
  for (const Case& c : cases) {
    const std::string name = "N" + std::to_string(indx);
    Announce(Ann{.name = name.c_str(), .addr = IpcNetAddrMake(10, 0, 1, indx), .length = c.length,
                 .features = c.announced});
    ASSERT_EQ(IpcNetNodeNameExists(name.c_str()), indx);
    uint8_t f[4];
    ipc::IpcNetNodeFeaturesGet(indx, f);
    EXPECT_EQ(f[0] | (f[1] << 8) | (f[2] << 16) | (uint32_t(f[3]) << 24), c.stored) << c.length;
    char version[IPC_VERSION_SIZE];
    IpcNetNodeVersionGet(indx, version);
    EXPECT_STREQ(version, "1.3c");
    ++indx;
  }
}

TEST_F(Announces, ANodeWithANewTypeWhileOfflineIsCreatedAgain) {
  Known(1, "NODEA", kAddrA, IPC_NODE_STATUS_OFFLINE, 0xA1, IPC_TIME_MAKE(0, 1, 2, 3), 4);
  Announce(Ann{.type = 7});
  uint8_t type = 0;
  ASSERT_TRUE(IpcNetNodeInfoGet(1, nullptr, nullptr, &type, nullptr, nullptr));
  EXPECT_EQ(type, 7);
  EXPECT_EQ(IpcNetNodeStatusGet(1), IPC_NODE_STATUS_ONLINE);
}

TEST_F(Announces, AnOfflineNodeMadeAgainFromItsAnnounceKeepsTheLinkItsClientsNeed) {
  struct Case {
    const char* what;
    Ann ann;
  } cases[] = {
      {"renamed", Ann{.status = IPC_NODE_STATUS_OFFLINE}},
      {"new type", Ann{.name = "OLDNAME", .type = 7, .status = IPC_NODE_STATUS_OFFLINE}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    Known(1, "OLDNAME", kAddrA, IPC_NODE_STATUS_OFFLINE, 0xA1);
    IpcSvrLocationSet(IPC_SVR_IO_KRN, 3, IPC_HOST_KIND_LOCAL, 1, 1, 0, 0, 0, 0);
    uint8_t h = 0;
    ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 3, "1.3c", &h), 0);
    ASSERT_EQ(IpcNetNodeLinkStatusGet(1), IPC_LINK_STATUS_LINK_WAIT);

    Announce(c.ann);
    char name[IPC_NODE_NAME_SIZE] = {};
    uint8_t type = 0;
    ASSERT_TRUE(IpcNetNodeInfoGet(1, name, nullptr, &type, nullptr, nullptr));
    EXPECT_STREQ(name, c.ann.name);
    EXPECT_EQ(type, c.ann.type);
    EXPECT_EQ(IpcNetNodeLinkStatusGet(1), IPC_LINK_STATUS_LINK_WAIT);
    EXPECT_TRUE(ipctest::TakeReports().empty());
  }
}

TEST_F(Announces, FullTableIgnoresANewNode) {
  for (uint8_t i = 1; i < IPC_MAX_NET_NODES; ++i) {
    ASSERT_EQ(IpcNetNodeInfoCreate(i, ("N" + std::to_string(i)).c_str(),
                                   IpcNetAddrMake(10, 1, 0, i), 2), i);
  }
  Announce(Ann{});
  EXPECT_EQ(IpcNetNodeAddrExists(kAddrA), IPC_NO_NET_NODE);
  EXPECT_EQ(ipc::Cur().routr.announcesRefused, 1u);
}

// Own events: what the router hands to node 0's queue.
TEST_F(Announces, OwnAnnounceIsBroadcastAndCopiedToNodesBeingLinked) {
  Known(1, "WAIT", kAddrA, IPC_NODE_STATUS_OFFLINE, 0xA1);
  Known(2, "IDLE", kAddrB, IPC_NODE_STATUS_OFFLINE, 0xB1);
  const uint32_t addrC = IpcNetAddrMake(10, 0, 0, 13);
  Known(3, "LINKED", addrC, IPC_NODE_STATUS_OFFLINE, 0xC1);
  ASSERT_TRUE(ipc::IpcNetNodeLinkStatusSet(1, IPC_LINK_STATUS_LINK_WAIT));
  ASSERT_TRUE(ipc::IpcNetNodeLinkStatusSet(3, IPC_LINK_STATUS_OK));
  DrainEvents();
  ipc::IpcNetTxFlush(0);

  ipc::IpcRouterNodeStatusEvnt(0, IPC_NODE_STATUS_ONLINE);
  ASSERT_TRUE(IpcEvntDespatch());
  const std::vector<Queued> q = Node0Queue();
  ASSERT_EQ(q.size(), 3u);
  struct Want {
    uint8_t kind;
    uint32_t dst;
  } want[] = {{IPC_PKT_EVNT, ipc::kIpcAllNodes}, {IPC_PKT_EVNT_TO, kAddrA}, {IPC_PKT_EVNT_TO, addrC}};
  for (int k = 0; k < 3; ++k) {
    const IpcRouterEvnt& e = q[k].e;
    EXPECT_EQ(+q[k].kind, want[k].kind);
    EXPECT_EQ(+e.dstAddr, want[k].dst);
    EXPECT_EQ(+e.srcAddr, kOwn);
    EXPECT_EQ(+e.hdr.length, 84);
    EXPECT_EQ(+e.hdr.evntCode, IPC_ROUTER_EVNT_NODE_STATUS);
    EXPECT_STREQ(e.u.announce.name, "PC");
    EXPECT_EQ(+e.u.announce.nodeType, 20);
    EXPECT_EQ(+e.u.announce.etherAddr[5], 0x0E);
    EXPECT_EQ(std::string(e.hdr.version, 6), IPC_VERSION_DATE);
  }
  EXPECT_EQ(IpcNetNodeDuplicateFoundGet(0), 0);
}

// The node-0 socket drops datagrams from this PC's own address, so an echo
// of the own address from another machine is seen only when raised here.
TEST_F(Announces, OwnAddressAnnouncedWithAnotherIdentityFlagsThisPc) {
  struct Case {
    Ann ann;
  } cases[] = {
      {Ann{.name = "INTRUDER", .addr = kOwn, .type = 20, .ether = 0x0E}},
      {Ann{.name = "PC", .addr = kOwn, .type = 21, .ether = 0x0E}},
      {Ann{.name = "PC", .addr = kOwn, .type = 20, .ether = 0x0F}},
  };
  for (const Case& c : cases) {
    SetUp();
    Announce(c.ann);
    EXPECT_EQ(IpcNetNodeDuplicateFoundGet(0), 1) << c.ann.name;
    EXPECT_TRUE(Node0Queue().empty()) << "not sent on";
  }
}

TEST_F(Announces, LinkStatusEventGoesToItsNode) {
  Known(1, "NODEA", kAddrA, IPC_NODE_STATUS_ONLINE, 0xA1);
  DrainEvents();
  ipc::IpcNetTxFlush(0);
  ASSERT_TRUE(ipc::IpcNetNodeLinkStatusSet(1, IPC_LINK_STATUS_LINK_WAIT));
  ASSERT_TRUE(IpcEvntDespatch());
  const std::vector<Queued> q = Node0Queue();
  ASSERT_EQ(q.size(), 1u);
  const IpcRouterEvnt& e = q[0].e;
  EXPECT_EQ(+q[0].kind, IPC_PKT_EVNT_TO);
  EXPECT_EQ(+e.hdr.evntCode, IPC_ROUTER_EVNT_LINK_STATUS);
  EXPECT_EQ(+e.dstAddr, kAddrA);
  EXPECT_EQ(+e.u.linkStatus, IPC_LINK_STATUS_LINK_WAIT);
}

TEST_F(Announces, EventBuildersRefuseBadArguments) {
  struct Case {
    const char* what;
    bool linkEvnt;
    uint8_t node, value;
    uint16_t code;
  } cases[] = {
      {"announce node 100", false, 100, 1, IPC_ERR_NET_NODE_INDX},
      {"announce free node", false, 5, 1, IPC_ERR_STATE},
      {"announce status 4", false, 0, 4, IPC_ERR_NODE_STATUS},
      {"link node 100", true, 100, 1, IPC_ERR_NET_NODE_INDX},
      {"link free node", true, 5, 1, IPC_ERR_STATE},
      {"link status 7", true, 0, 7, IPC_ERR_LINK_STATUS},
      {"link status 0", true, 0, 0, IPC_ERR_LINK_STATUS},
  };
  for (const Case& c : cases) {
    ipc::IpcStubClear();
    if (c.linkEvnt) {
      ipc::IpcRouterLinkStatusEvnt(c.node, c.value);
    } else {
      ipc::IpcRouterNodeStatusEvnt(c.node, c.value);
    }
    auto r = ipctest::TakeReports();
    ASSERT_EQ(r.size(), 1u) << c.what;
    EXPECT_EQ(+r[0].ErrCode, c.code) << c.what;
    EXPECT_STREQ(r[0].file, "ipcroutr") << c.what;
    EXPECT_EQ(+r[0].Svr, IPC_SVR_ROUTER) << c.what;
  }
}

}  // namespace

namespace {

// Procedures of this router, called as if they had arrived from node 1.
class Procedures : public Announces {
 protected:
  void SetUp() override {
    Announces::SetUp();
    Known(1, "NODEA", kAddrA, IPC_NODE_STATUS_ONLINE, 0xA1);
    IpcSvrLocationSet(IPC_SVR_IO_KRN, 4, IPC_HOST_KIND_LOCAL, 4, 0, 0, 0, 0, 0);
    DrainEvents();
    ipc::IpcNetTxFlush(0);
    ipc::IpcStubClear();
  }

  IpcRouterReq Req(uint8_t procId, uint32_t dst = kOwn, uint32_t src = kAddrA) {
    IpcRouterReq r{};
    r.hdr.length = sizeof r;
    r.hdr.svrType = IPC_SVR_ROUTER;
    r.hdr.svrIndx = 1;
    r.hdr.procId = procId;
    r.hdr.clntHandle = ipc::Cur().routr.comProcClnt;
    r.dstAddr = dst;
    r.srcAddr = src;
    r.svrType = IPC_SVR_IO_KRN;
    r.hostHandle = 4;
    r.hostKind = IPC_HOST_KIND_LOCAL;
    r.netHandle = 0xCC;
    ipc::IpcVersionCopy(r.version, "1.3c");
    return r;
  }

  void Call(IpcRouterReq r) { IpcComProc(&r.hdr); }

  // The attach and detach replies raised since the recorder was cleared.
  std::vector<IpcRouterEvnt> Replies() {
    std::vector<IpcRouterEvnt> out;
    const IpcStubState& s = ipc::Cur().stubs;
    for (int k = 0; k < s.evntCount; ++k) {
      IpcRouterEvnt e{};
      std::memcpy(&e, s.evnts[k], std::min<size_t>(sizeof e, IpcStubState::kEvntBytes));
      if (e.hdr.svrType == IPC_SVR_ROUTER && e.hdr.evntCode >= 257 && e.hdr.evntCode <= 260) {
        out.push_back(e);
      }
    }
    return out;
  }
};

TEST_F(Procedures, AttachMakesOneProxyPerNodeAndAnswersWithItsHandle) {
  Call(Req(IPC_ROUTER_ATTACH_COMPROC));
  Call(Req(IPC_ROUTER_ATTACH_COMPROC));  // repeated by the next attach pass
  Call(Req(IPC_ROUTER_ATTACH_EVNT));
  const std::vector<IpcRouterEvnt> r = Replies();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(+r[0].hdr.evntCode, IPC_ROUTER_EVNT_COMPROC_ATTACHED);
  EXPECT_EQ(+r[0].dstAddr, kAddrA);
  EXPECT_EQ(+r[0].srcAddr, kOwn);
  const uint8_t h = r[0].u.attach.netHandle;
  ASSERT_NE(h, 0);
  EXPECT_EQ(+r[1].u.attach.netHandle, h);
  EXPECT_EQ(ipc::IpcClntComProcPartGet(IPC_SVR_IO_KRN, 4, h)->node, 1);
  EXPECT_EQ(ipc::IpcClntFindByNode(IpcClntKind::kComProc, IPC_SVR_IO_KRN, 4, 1), h);
  EXPECT_EQ(+r[2].hdr.evntCode, IPC_ROUTER_EVNT_EVNT_ATTACHED);
  const uint8_t he = r[2].u.attach.netHandle;
  ASSERT_NE(he, 0);
  EXPECT_EQ(ipc::IpcClntEvntPartGet(IPC_SVR_IO_KRN, 4, he)->node, 1);
  EXPECT_EQ(ipc::IpcClntEvntPartGet(IPC_SVR_IO_KRN, 4, he)->callback, nullptr);
}

TEST_F(Procedures, DetachRemovesOnlyThatNodesProxy) {
  // A local client of this host's 22/4, and node 1's proxy.
  uint8_t local = 0;
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 4, "1.3c", &local), 0);
  Call(Req(IPC_ROUTER_ATTACH_COMPROC));
  const uint8_t proxy = ipc::IpcClntFindByNode(IpcClntKind::kComProc, IPC_SVR_IO_KRN, 4, 1);
  ASSERT_NE(proxy, 0);

  IpcRouterReq forged = Req(IPC_ROUTER_DETACH_COMPROC);
  forged.netHandle = local;
  Call(forged);
  EXPECT_TRUE(ipc::IpcClntComProcPartGet(IPC_SVR_IO_KRN, 4, local)->inUse);

  IpcRouterReq detach = Req(IPC_ROUTER_DETACH_COMPROC);
  detach.netHandle = proxy;
  ipc::IpcStubClear();
  Call(detach);
  EXPECT_FALSE(ipc::IpcClntComProcPartGet(IPC_SVR_IO_KRN, 4, proxy)->inUse);
  const std::vector<IpcRouterEvnt> r = Replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(+r[0].hdr.evntCode, IPC_ROUTER_EVNT_COMPROC_DETACHED);
  EXPECT_EQ(+r[0].u.attach.netHandle, proxy);
}

TEST_F(Procedures, RefusedRequests) {
  // A refused attach is still answered, with net handle 0: no proxy was
  // created.  A refused detach and a dropped request get no answer.
  struct Case {
    const char* what;
    IpcRouterReq req;
    uint16_t code;   // 0: dropped without a report
    uint16_t reply;  // event code of the answer; 0: none
  };
  auto with = [](IpcRouterReq r, auto f) {
    f(r);
    return r;
  };
  const Case cases[] = {
      {"addressed to every node", Req(IPC_ROUTER_LINK_OPEN, ipc::kIpcAllNodes), IPC_ERR_NODE_ADDR,
       0},
      {"asker not in the table", Req(IPC_ROUTER_LINK_OPEN, kOwn, kAddrB), 0, 0},
      {"for another node", Req(IPC_ROUTER_LINK_OPEN, kAddrB), 0, 0},
      {"attach for another node", Req(IPC_ROUTER_ATTACH_COMPROC, kAddrB), 0, 0},
      {"bad server type", with(Req(1), [](IpcRouterReq& r) { r.svrType = 2; }), IPC_ERR_SVR_TYPE,
       IPC_ROUTER_EVNT_COMPROC_ATTACHED},
      {"bad host handle", with(Req(1), [](IpcRouterReq& r) { r.hostHandle = 0; }),
       IPC_ERR_SVR_INDX, IPC_ROUTER_EVNT_COMPROC_ATTACHED},
      {"host handle 2 of the router", with(Req(2), [](IpcRouterReq& r) {
         r.svrType = IPC_SVR_ROUTER;
         r.hostHandle = 2;
       }), IPC_ERR_SVR_INDX, IPC_ROUTER_EVNT_EVNT_ATTACHED},
      {"host kind 4", with(Req(1), [](IpcRouterReq& r) { r.hostKind = 4; }), IPC_ERR_HOST_KIND,
       IPC_ROUTER_EVNT_COMPROC_ATTACHED},
      {"version without its NUL", with(Req(2), [](IpcRouterReq& r) {
         std::memcpy(r.version, "12345678", 8);
       }), IPC_ERR_VERSION, IPC_ROUTER_EVNT_EVNT_ATTACHED},
      {"detach with a bad server type", with(Req(IPC_ROUTER_DETACH_COMPROC), [](IpcRouterReq& r) {
         r.svrType = 2;
       }), IPC_ERR_SVR_TYPE, 0},
      {"detach with a bad host handle", with(Req(IPC_ROUTER_DETACH_EVNT), [](IpcRouterReq& r) {
         r.hostHandle = 101;
       }), IPC_ERR_SVR_INDX, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ipc::IpcStubClear();
    Call(c.req);
    // Both come from the same recorder: the replies first, as taking the
    // reports clears it.
    const std::vector<IpcRouterEvnt> replies = Replies();
    const auto reports = ipctest::TakeReports();
    if (c.code == 0) {
      EXPECT_TRUE(reports.empty());
    } else {
      ASSERT_EQ(reports.size(), 1u);
      EXPECT_EQ(+reports[0].ErrCode, c.code);
      EXPECT_STREQ(reports[0].file, "ipcroutr");
    }
    if (c.reply == 0) {
      EXPECT_TRUE(replies.empty());
    } else {
      ASSERT_EQ(replies.size(), 1u);
      EXPECT_EQ(+replies[0].hdr.evntCode, c.reply);
      EXPECT_EQ(+replies[0].dstAddr, kAddrA);
      EXPECT_EQ(+replies[0].u.attach.svrType, c.req.svrType);
      EXPECT_EQ(+replies[0].u.attach.hostHandle, c.req.hostHandle);
      EXPECT_EQ(+replies[0].u.attach.netHandle, 0);
    }
    EXPECT_EQ(ipc::IpcClntFindByNode(IpcClntKind::kComProc, IPC_SVR_IO_KRN, 4, 1), 0);
    EXPECT_EQ(ipc::IpcClntFindByNode(IpcClntKind::kEvnt, IPC_SVR_IO_KRN, 4, 1), 0);
  }
}

TEST_F(Procedures, RequestMadeHereIsForwardedOnNodeZero) {
  ipc::IpcRouterAttachEvntReq(1, IPC_SVR_IO_KRN, 7, IPC_HOST_KIND_LOCAL, "1.3c");
  const std::vector<Queued> q = Node0Queue();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(+q[0].kind, IPC_PKT_COMPROC_TO);
  IpcRouterReq r;
  std::memcpy(&r, &q[0].e, sizeof r);
  EXPECT_EQ(+r.hdr.length, 36);
  EXPECT_EQ(+r.hdr.procId, IPC_ROUTER_ATTACH_EVNT);
  EXPECT_EQ(+r.dstAddr, kAddrA);
  EXPECT_EQ(+r.srcAddr, kOwn);
  EXPECT_EQ(+r.hostHandle, 7);
  EXPECT_EQ(+r.netHandle, 0xCC);
  EXPECT_STREQ(r.version, "1.3c");
}

}  // namespace
