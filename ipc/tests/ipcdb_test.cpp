// Server locations and client slots: location rules, slot allocation, the
// attach pass, and the clean-up when a link closes.
#include "ipcdb.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <vector>

#include "db_fixture.h"
#include "tessio32.h"

namespace {

using ipctest::DbTest;

constexpr uint32_t kAddr5 = 0xC0A80105;  // 192.168.1.5

IpcSvrLocation LocOf(uint8_t t, uint8_t i) { return *ipc::IpcSvrLocationGet(t, i); }

// ---------------------------------------------------------------------
// Locations

TEST_F(DbTest, LocationSetEvictsTheIndexHoldingTheSameHostHandleKindAndNode) {
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 3, 1, 1, 5, 0, 0, 0, 0);
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 4, 1, 1, 6, 0, 0, 0, 0);  // other node: stays
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 5, 4, 1, 5, 0, 0, 0, 0);  // other kind: stays
  IpcSvrLocationSet(IPC_SVR_IO_FTP, 3, 1, 1, 5, 0, 0, 0, 0);  // other type: stays

  IpcSvrLocationSet(IPC_SVR_IO_KRN, 7, 1, 1, 5, 1, 1, 1, 1);

  const IpcSvrLocation evicted = LocOf(IPC_SVR_IO_KRN, 3);
  EXPECT_EQ(evicted.hostKind, 0);
  EXPECT_EQ(evicted.hostHandle, 0);
  EXPECT_EQ(evicted.node, 255);
  const IpcSvrLocation now = LocOf(IPC_SVR_IO_KRN, 7);
  EXPECT_EQ(now.hostKind, 1);
  EXPECT_EQ(now.hostHandle, 1);
  EXPECT_EQ(now.node, 5);
  EXPECT_EQ(LocOf(IPC_SVR_IO_KRN, 4).hostKind, 1);
  EXPECT_EQ(LocOf(IPC_SVR_IO_KRN, 5).hostKind, 4);
  EXPECT_EQ(LocOf(IPC_SVR_IO_FTP, 3).hostKind, 1);

  // Setting the same index again evicts nothing.
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 7, 1, 1, 5, 0, 0, 0, 0);
  EXPECT_EQ(LocOf(IPC_SVR_IO_KRN, 7).node, 5);
}

TEST_F(DbTest, LocationSetRefusalsReportTheirCodeAndChangeNothing) {
  EnableReports();
  struct Case {
    uint8_t type, indx, kind, handle, node;
    int32_t a, b, c, d;
    uint16_t code;
  };
  const Case cases[] = {
      {2, 1, 1, 1, 0, 0, 0, 0, 0, IPC_ERR_SVR_TYPE},
      {IPC_SVR_IO_KRN, 101, 1, 1, 0, 0, 0, 0, 0, IPC_ERR_SVR_INDX},
      {IPC_SVR_ROUTER, 2, 1, 1, 0, 0, 0, 0, 0, IPC_ERR_SVR_INDX},
      {IPC_SVR_IO_KRN, 0, 1, 1, 0, 0, 0, 0, 0, IPC_ERR_SVR_INDX},
      {IPC_SVR_IO_KRN, 9, 1, 0, 0, 0, 0, 0, 0, IPC_ERR_SVR_INDX},
      {IPC_SVR_IO_KRN, 9, 1, 1, 100, 0, 0, 0, 0, IPC_ERR_NET_NODE_INDX},
      {IPC_SVR_IO_KRN, 9, 4, 1, 0, 0, 0, 0, 0, IPC_ERR_HOST_KIND},
      {IPC_SVR_IO_KRN, 9, 1, 1, 0, 1, 0, 0, 0, IPC_ERR_LOCATION_ARGS},
      {IPC_SVR_IO_KRN, 9, 1, 1, 0, 0, 0, 0, -1, IPC_ERR_LOCATION_ARGS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int(c.type) << " indx " << int(c.indx)
                                    << " code " << c.code);
    IpcSvrLocationSet(c.type, c.indx, c.kind, c.handle, c.node, c.a, c.b, c.c, c.d);
    const std::vector<ipctest::Report> r = Reports();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, c.code);
    EXPECT_EQ(r[0].severity, IPC_SEV_ARG);
    EXPECT_EQ(r[0].file, "ipcdb");
    EXPECT_EQ(r[0].svr, c.type);
    EXPECT_EQ(r[0].indx, c.indx);
  }
  EXPECT_EQ(LocOf(IPC_SVR_IO_KRN, 9).hostKind, 0);
  // The router located itself at IpcInit; the refused call changed nothing.
  EXPECT_EQ(LocOf(IPC_SVR_ROUTER, 1).hostKind, IPC_HOST_KIND_LOCAL);
  EXPECT_EQ(LocOf(IPC_SVR_ROUTER, 1).node, 0);
}

TEST_F(DbTest, HostHandleGetMatchesHostKinds4To8AsOneAndForcesKind1ForLogAndRouter) {
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 2, 5, 9, 3, 0, 0, 0, 0);
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 4, 1, 7, 3, 0, 0, 0, 0);
  IpcSvrLocationSet(IPC_SVR_ROUTER, 1, 1, 1, 3, 0, 0, 0, 0);
  IpcSvrLocationSet(IPC_SVR_LOG, 1, 1, 1, 0, 0, 0, 0, 0);
  struct Case {
    uint8_t type, handle, kind, node, want;
  };
  const Case cases[] = {
      {IPC_SVR_IO_KRN, 9, 5, 3, 2},  // equal kinds
      {IPC_SVR_IO_KRN, 9, 8, 3, 2},  // 8 and 5 count as one kind
      {IPC_SVR_IO_KRN, 9, 4, 3, 2},
      {IPC_SVR_IO_KRN, 9, 1, 3, 0},  // 1 is not one of them
      {IPC_SVR_IO_KRN, 9, 3, 3, 0},
      {IPC_SVR_IO_KRN, 9, 9, 3, 0},
      {IPC_SVR_IO_KRN, 7, 4, 3, 0},  // a kind-1 location is never found as 4
      {IPC_SVR_IO_KRN, 7, 1, 3, 4},
      {IPC_SVR_IO_KRN, 9, 5, 4, 0},  // other node
      {IPC_SVR_IO_FTP, 9, 5, 3, 0},  // other type
      {IPC_SVR_ROUTER, 1, 6, 3, 1},  // router: any kind is taken as 1
      {IPC_SVR_ROUTER, 1, 0, 3, 1},
      {IPC_SVR_LOG, 1, 1, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int(c.type) << " handle " << int(c.handle)
                                    << " kind " << int(c.kind) << " node " << int(c.node));
    EXPECT_EQ(IpcSvrHostHandleGet(c.type, c.handle, c.kind, c.node), c.want);
  }
}

TEST_F(DbTest, HostHandleGetRefusesBadArgumentsInTheContextOfTheTypeAndHostHandle) {
  EnableReports();
  // Index 2 is served under host handle 9: a report names 9, not 2.
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 2, 1, 9, 0, 0, 0, 0, 0);
  struct Case {
    uint8_t type, handle, kind, node;
    uint16_t code;
  };
  const Case cases[] = {
      {3, 9, 1, 0, IPC_ERR_SVR_TYPE},
      {IPC_SVR_IO_KRN, 0, 1, 0, IPC_ERR_SVR_INDX},
      {IPC_SVR_IO_KRN, 9, 1, 100, IPC_ERR_NET_NODE_INDX},
      {IPC_SVR_IO_KRN, 9, 4, 0, IPC_ERR_HOST_KIND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(IpcSvrHostHandleGet(c.type, c.handle, c.kind, c.node), 0);
    const std::vector<ipctest::Report> r = Reports();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, c.code);
    EXPECT_EQ(r[0].svr, c.type);
    EXPECT_EQ(r[0].indx, c.handle);
  }
}

TEST_F(DbTest, DestroyedLocationKeepsItsClientsButNamesNoNodeToLinkOrRouter) {
  AddNode(5, kAddr5);
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 3, 1, 1, 5, 0, 0, 0, 0);
  uint8_t h = 0;
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 3, "1.3c", &h), 0);
  ASSERT_TRUE(ipc::IpcClntNetHandleSet(IpcClntKind::kComProc, IPC_SVR_IO_KRN, 3, h, 6));
  EXPECT_EQ(peers.Count("need", 5), 1);

  IpcSvrLocationDestroy(IPC_SVR_IO_KRN, 3);
  EXPECT_EQ(LocOf(IPC_SVR_IO_KRN, 3).node, 255);
  EXPECT_TRUE(ipc::IpcClntComProcPartGet(IPC_SVR_IO_KRN, 3, h)->inUse);

  peers.calls.clear();
  ipc::IpcClntAttachPass();
  IpcClntComProcDestroy(IPC_SVR_IO_KRN, 3, h);
  uint8_t h2 = 0;
  ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 3, nullptr, "1.3c", &h2, 0), 0);
  IpcClntEvntDestroy(IPC_SVR_IO_KRN, 3, h2);
  for (const ipctest::PeerCall& c : peers.calls) ADD_FAILURE() << c.op << " node " << int(c.node);
  EXPECT_FALSE(ipc::IpcClntComProcPartGet(IPC_SVR_IO_KRN, 3, h)->inUse);
}

// The clients of 22/3 on node 5 (a com-proc and an event client) put the
// node's link into link wait; a location that leaves the node takes that
// need with it, unless another server's client on the node still needs it.
TEST_F(DbTest, LocationThatLeavesItsNodeReleasesTheLinkItsClientsNeeded) {
  struct Case {
    const char* what;
    bool otherClient;  // 22/4 on node 5 keeps a client of its own
    std::function<void()> change;
    uint8_t link;  // node 5's link status afterwards
  };
  const Case cases[] = {
      {"destroyed", false, [] { IpcSvrLocationDestroy(IPC_SVR_IO_KRN, 3); },
       IPC_LINK_STATUS_NONE},
      {"evicted by another index", false,
       [] { IpcSvrLocationSet(IPC_SVR_IO_KRN, 7, 1, 1, 5, 0, 0, 0, 0); }, IPC_LINK_STATUS_NONE},
      {"set on another node", false,
       [] { IpcSvrLocationSet(IPC_SVR_IO_KRN, 3, 1, 1, 6, 0, 0, 0, 0); }, IPC_LINK_STATUS_NONE},
      {"set again on the same node", false,
       [] { IpcSvrLocationSet(IPC_SVR_IO_KRN, 3, 1, 1, 5, 0, 0, 0, 0); },
       IPC_LINK_STATUS_LINK_WAIT},
      {"destroyed, another server's client remains", true,
       [] { IpcSvrLocationDestroy(IPC_SVR_IO_KRN, 3); }, IPC_LINK_STATUS_LINK_WAIT},
      {"evicted, another server's client remains", true,
       [] { IpcSvrLocationSet(IPC_SVR_IO_KRN, 7, 1, 1, 5, 0, 0, 0, 0); },
       IPC_LINK_STATUS_LINK_WAIT},
  };
  ipc::IpcDbPeersInstall(nullptr);  // the datagram layer's own link handling
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    IpcInit();
    EnableReports();
    AddNode(5, kAddr5, IPC_NODE_STATUS_OFFLINE, IPC_LINK_STATUS_NONE);
    IpcSvrLocationSet(IPC_SVR_IO_KRN, 3, 1, 1, 5, 0, 0, 0, 0);
    uint8_t c3 = 0, e3 = 0, e4 = 0;
    ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 3, "1.3c", &c3), 0);
    ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 3, nullptr, "1.3c", &e3, 0), 0);
    if (c.otherClient) {
      IpcSvrLocationSet(IPC_SVR_IO_KRN, 4, 1, 2, 5, 0, 0, 0, 0);
      ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 4, nullptr, "1.3c", &e4, 0), 0);
    }
    ASSERT_EQ(IpcNetNodeLinkStatusGet(5), IPC_LINK_STATUS_LINK_WAIT);

    c.change();
    EXPECT_EQ(IpcNetNodeLinkStatusGet(5), c.link);
    // Then the clients go: the link is free unless 22/4's client needs it,
    // and it was released once, not once per client part (a second release
    // of a free link is reported).
    IpcClntComProcDestroy(IPC_SVR_IO_KRN, 3, c3);
    IpcClntEvntDestroy(IPC_SVR_IO_KRN, 3, e3);
    EXPECT_EQ(IpcNetNodeLinkStatusGet(5),
              c.otherClient ? IPC_LINK_STATUS_LINK_WAIT : IPC_LINK_STATUS_NONE);
    EXPECT_TRUE(Reports().empty());
  }
}

// ---------------------------------------------------------------------
// Slot allocation

TEST_F(DbTest, SeventeenthCreateFailsWith4AndTheLowestFreedHandleIsReused) {
  EnableReports();
  for (int n = 1; n <= IPC_MAX_CLNTS; ++n) {
    uint8_t h = 0;
    ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 2, nullptr, "1.3c", &h, n), 0);  // null callback
    EXPECT_EQ(h, n);
  }
  uint8_t h = 99;
  EXPECT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 2, nullptr, "1.3c", &h, 0), IPC_ERR_NO_FREE_CLNT);
  EXPECT_EQ(h, 99);
  const std::vector<ipctest::Report> r = Reports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].code, IPC_ERR_NO_FREE_CLNT);
  EXPECT_EQ(r[0].severity, IPC_SEV_FAILURE);
  EXPECT_EQ(r[0].svr, IPC_SVR_IO_KRN);
  EXPECT_EQ(r[0].indx, 2);

  // The com-proc parts of the same slots are independent.
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 2, "1.1", &h), 0);
  EXPECT_EQ(h, 1);

  IpcClntEvntDestroy(IPC_SVR_IO_KRN, 2, 9);
  IpcClntEvntDestroy(IPC_SVR_IO_KRN, 2, 3);
  ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 2, nullptr, "1.3c", &h, 0), 0);
  EXPECT_EQ(h, 3);
  ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 2, nullptr, "1.3c", &h, 0), 0);
  EXPECT_EQ(h, 9);
  EXPECT_TRUE(Reports().empty());
}

TEST_F(DbTest, DestroyOfAFreePartIsError12AndChangesNothing) {
  EnableReports();
  uint8_t h = 0;
  ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 2, nullptr, "1.3c", &h, 77), 0);
  IpcClntComProcDestroy(IPC_SVR_IO_KRN, 2, h);  // only the event part is in use
  IpcClntEvntDestroy(IPC_SVR_IO_KRN, 2, 5);
  const std::vector<ipctest::Report> r = Reports();
  ASSERT_EQ(r.size(), 2u);
  for (const ipctest::Report& x : r) {
    EXPECT_EQ(x.code, IPC_ERR_STATE);
    EXPECT_EQ(x.severity, IPC_SEV_STATE);
  }
  const IpcClntEvntPart& e = *ipc::IpcClntEvntPartGet(IPC_SVR_IO_KRN, 2, h);
  EXPECT_TRUE(e.inUse);
  EXPECT_EQ(e.userValue, 77);
  EXPECT_STREQ(e.version, "1.3c");
  const IpcClntComProcPart& c = *ipc::IpcClntComProcPartGet(IPC_SVR_IO_KRN, 2, h);
  EXPECT_EQ(c.inUse, 0);
  EXPECT_EQ(c.node, 0);  // a never-used part keeps its zero bytes
  EXPECT_TRUE(peers.calls.empty());
}

TEST_F(DbTest, CreateRefusalsReturnAndReportTheirCodeInOrder) {
  EnableReports();
  struct Case {
    uint8_t type, indx;
    const char* version;
    bool nullHandle;
    uint16_t code;
  };
  const Case cases[] = {
      {0, 1, "1.3c", false, IPC_ERR_SVR_TYPE},
      {IPC_SVR_IO_KRN, 0, "1.3c", false, IPC_ERR_SVR_INDX},
      {IPC_SVR_IO_KRN, 1, "1..3", false, IPC_ERR_VERSION},    // not a version form
      {IPC_SVR_IO_KRN, 1, nullptr, false, IPC_ERR_VERSION},
      {5, 1, "x", false, IPC_ERR_VERSION},                    // version before type
      {IPC_SVR_IO_KRN, 1, "1.3c", true, IPC_ERR_CLNT_HANDLE},
      {5, 1, "1.3c", false, IPC_ERR_SVR_TYPE},
      {IPC_SVR_IO_KRN, 101, "1.3c", false, IPC_ERR_SVR_INDX},  // reported, not only returned
      {IPC_SVR_AUX, 2, "1.3c", false, IPC_ERR_SVR_INDX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << int(c.type) << " indx " << int(c.indx)
                                    << " code " << c.code);
    for (IpcClntKind kind : {IpcClntKind::kComProc, IpcClntKind::kEvnt}) {
      uint8_t h = 0;
      uint8_t* out = c.nullHandle ? nullptr : &h;
      const IpcErrCode got = kind == IpcClntKind::kComProc
                                 ? IpcClntComProcCreate(c.type, c.indx, c.version, out)
                                 : IpcClntEvntCreate(c.type, c.indx, nullptr, c.version, out, 0);
      EXPECT_EQ(got, c.code);
      EXPECT_EQ(h, 0);
      const std::vector<ipctest::Report> r = Reports();
      ASSERT_EQ(r.size(), 1u);
      EXPECT_EQ(r[0].code, c.code);
      EXPECT_EQ(r[0].svr, c.type);
      EXPECT_EQ(r[0].indx, c.indx);
    }
  }
}

TEST_F(DbTest, ClientOfARemoteServerNeedsItsNodesLinkAndReleasesItOnDestroy) {
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 1, 1, 1, 5, 0, 0, 0, 0);
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 2, 1, 2, 0, 0, 0, 0, 0);
  uint8_t remote = 0, local = 0;
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 1, "1.3c", &remote), 0);
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 2, "1.3c", &local), 0);
  EXPECT_EQ(peers.Count("need"), 1);
  EXPECT_EQ(peers.Count("need", 5), 1);
  IpcClntComProcDestroy(IPC_SVR_IO_KRN, 2, local);
  EXPECT_EQ(peers.Count("release"), 0);
  IpcClntComProcDestroy(IPC_SVR_IO_KRN, 1, remote);
  EXPECT_EQ(peers.Count("release", 5), 1);
  // A destroyed part reads free and carries the fill pattern.
  const IpcClntComProcPart& p = *ipc::IpcClntComProcPartGet(IPC_SVR_IO_KRN, 1, remote);
  EXPECT_EQ(p.inUse, 0);
  EXPECT_EQ(p.node, 0xCC);
  EXPECT_EQ(p.netHandle, 0xCC);
}

// ---------------------------------------------------------------------
// Attach and detach

TEST_F(DbTest, LocalClientsOfARemoteServerShareTheFirstNetHandleAndOnlyTheLastDetaches) {
  AddNode(5, kAddr5);
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 1, 1, 4, 5, 0, 0, 0, 0);
  uint8_t a = 0, b = 0;
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 1, "1.3c", &a), 0);
  peers.calls.clear();

  // Requests repeat every period until the router answers.
  ipc::IpcClntAttachPass();
  ipc::IpcClntAttachPass();
  ASSERT_EQ(peers.Count("attach"), 2);
  const ipctest::PeerCall& req = peers.calls[0];
  EXPECT_EQ(req.kind, IpcClntKind::kComProc);
  EXPECT_EQ(req.node, 5);
  EXPECT_EQ(req.svrType, IPC_SVR_IO_KRN);
  EXPECT_EQ(req.hostHandle, 4);
  EXPECT_EQ(req.hostKind, 1);
  EXPECT_EQ(req.version, "1.3c");

  ASSERT_TRUE(ipc::IpcClntNetHandleSet(IpcClntKind::kComProc, IPC_SVR_IO_KRN, 1, a, 11));
  EXPECT_EQ(IpcClntComProcNetHandleGet(IPC_SVR_IO_KRN, 1, a), 11);

  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 1, "1.1", &b), 0);
  EXPECT_EQ(IpcClntComProcNetHandleGet(IPC_SVR_IO_KRN, 1, b), 0);
  peers.calls.clear();
  ipc::IpcClntAttachPass();
  EXPECT_EQ(peers.Count("attach"), 0);
  EXPECT_EQ(IpcClntComProcNetHandleGet(IPC_SVR_IO_KRN, 1, b), 11);

  IpcClntComProcDestroy(IPC_SVR_IO_KRN, 1, a);
  EXPECT_EQ(peers.Count("detach"), 0);
  IpcClntComProcDestroy(IPC_SVR_IO_KRN, 1, b);
  ASSERT_EQ(peers.Count("detach"), 1);
  const ipctest::PeerCall* det = nullptr;
  for (const ipctest::PeerCall& c : peers.calls) {
    if (c.op == "detach") det = &c;
  }
  EXPECT_EQ(det->node, 5);
  EXPECT_EQ(det->hostHandle, 4);
  EXPECT_EQ(det->netHandle, 11);
  EXPECT_EQ(det->version, "1.1");
  EXPECT_EQ(peers.Count("release", 5), 2);
}

TEST_F(DbTest, AttachPassSendsEventClientRequestsAfterComProcOnes) {
  AddNode(5, kAddr5);
  IpcSvrLocationSet(IPC_SVR_IO_FTP, 1, 1, 1, 5, 0, 0, 0, 0);
  uint8_t e = 0, c = 0;
  ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_FTP, 1, nullptr, "2a0", &e, 0), 0);
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_FTP, 1, "1.3c", &c), 0);
  peers.calls.clear();
  ipc::IpcClntAttachPass();
  ASSERT_EQ(peers.calls.size(), 2u);
  EXPECT_EQ(peers.calls[0].kind, IpcClntKind::kComProc);
  EXPECT_EQ(peers.calls[1].kind, IpcClntKind::kEvnt);
  EXPECT_EQ(peers.calls[1].version, "2a0");
}

TEST_F(DbTest, AttachPassSkipsOfflineNotOkAndInvalidNodesButNotNode99) {
  struct Case {
    const char* what;
    uint8_t node;
    uint8_t status;
    uint8_t link;
    bool destroyed;
    int attaches;
  };
  const Case cases[] = {
      {"online, link ok", 5, IPC_NODE_STATUS_ONLINE, IPC_LINK_STATUS_OK, false, 1},
      {"node 99", 99, IPC_NODE_STATUS_ONLINE, IPC_LINK_STATUS_OK, false, 1},
      {"offline", 5, IPC_NODE_STATUS_OFFLINE, IPC_LINK_STATUS_OK, false, 0},
      {"link wait", 5, IPC_NODE_STATUS_ONLINE, IPC_LINK_STATUS_LINK_WAIT, false, 0},
      {"unlink wait", 5, IPC_NODE_STATUS_ONLINE, IPC_LINK_STATUS_UNLINK_WAIT, false, 0},
      {"location destroyed", 5, IPC_NODE_STATUS_ONLINE, IPC_LINK_STATUS_OK, true, 0},
      {"node not in the table", 6, 0, 0, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    IpcInit();
    if (c.status != 0) AddNode(c.node, kAddr5 + c.node, c.status, c.link);
    IpcSvrLocationSet(IPC_SVR_IO_KRN, 1, 1, 1, c.node, 0, 0, 0, 0);
    uint8_t h = 0;
    ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 1, "1.3c", &h), 0);
    if (c.destroyed) IpcSvrLocationDestroy(IPC_SVR_IO_KRN, 1);
    peers.calls.clear();
    ipc::IpcClntAttachPass();
    EXPECT_EQ(peers.Count("attach"), c.attaches);
  }
}

TEST_F(DbTest, LinkCloseZeroesNetHandlesAndFreesProxiesEventPartFirst) {
  AddNode(5, kAddr5);
  AddNode(6, kAddr5 + 1);
  // A remote server on node 5 with an attached local client.
  IpcSvrLocationSet(IPC_SVR_IO_FTP, 1, 1, 1, 5, 0, 0, 0, 0);
  uint8_t remote = 0;
  ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_FTP, 1, nullptr, "1.3c", &remote, 0), 0);
  ASSERT_TRUE(ipc::IpcClntNetHandleSet(IpcClntKind::kEvnt, IPC_SVR_IO_FTP, 1, remote, 3));
  // A server of this PC with proxies of node 5 (both parts of slot 1) and
  // one of node 6.
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 1, 1, 1, 0, 0, 0, 0, 0);
  uint8_t p = 0, q = 0;
  ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 1, nullptr, "1.3c", &p, 0), 0);
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 1, "1.3c", &p), 0);
  ASSERT_TRUE(ipc::IpcClntNodeSet(IpcClntKind::kEvnt, IPC_SVR_IO_KRN, 1, p, 5));
  ASSERT_TRUE(ipc::IpcClntNodeSet(IpcClntKind::kComProc, IPC_SVR_IO_KRN, 1, p, 5));
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 1, "1.3c", &q), 0);
  ASSERT_TRUE(ipc::IpcClntNodeSet(IpcClntKind::kComProc, IPC_SVR_IO_KRN, 1, q, 6));
  EXPECT_TRUE(ipc::IpcClntAnyRelation(5));

  std::vector<std::array<bool, 2>> partsAtRelease;  // {event, com-proc} of slot p
  peers.onRelease = [&](uint8_t) {
    partsAtRelease.push_back({ipc::IpcClntEvntPartGet(IPC_SVR_IO_KRN, 1, p)->inUse != 0,
                              ipc::IpcClntComProcPartGet(IPC_SVR_IO_KRN, 1, p)->inUse != 0});
  };
  peers.calls.clear();
  ipc::IpcClntLinkClosed(5);

  EXPECT_EQ(IpcClntEvntNetHandleGet(IPC_SVR_IO_FTP, 1, remote), 0);
  EXPECT_TRUE(ipc::IpcClntEvntPartGet(IPC_SVR_IO_FTP, 1, remote)->inUse);
  EXPECT_EQ(peers.Count("release", 5), 2);
  EXPECT_EQ(peers.Count("detach"), 0);  // proxies ask no router
  ASSERT_EQ(partsAtRelease.size(), 2u);
  EXPECT_EQ(partsAtRelease[0], (std::array<bool, 2>{false, true}));
  EXPECT_EQ(partsAtRelease[1], (std::array<bool, 2>{false, false}));
  EXPECT_TRUE(ipc::IpcClntComProcPartGet(IPC_SVR_IO_KRN, 1, q)->inUse);  // node 6's stays
  EXPECT_EQ(ipc::IpcClntFindByNode(IpcClntKind::kComProc, IPC_SVR_IO_KRN, 1, 5), 0);
  EXPECT_EQ(ipc::IpcClntFindByNode(IpcClntKind::kEvnt, IPC_SVR_IO_KRN, 1, 5), 0);
  EXPECT_TRUE(ipc::IpcClntAnyRelation(5));  // the local client of the server on node 5
  EXPECT_EQ(ipc::IpcClntFindByNode(IpcClntKind::kComProc, IPC_SVR_IO_KRN, 1, 6), q);

  // The attach pass then attaches the local client again.
  ipc::IpcClntAttachPass();
  EXPECT_EQ(peers.Count("attach", 5), 1);
}

TEST_F(DbTest, LinkCloseOfNode0OrAnInvalidNodeIsRefused) {
  EnableReports();
  ipc::IpcClntLinkClosed(0);
  ipc::IpcClntLinkClosed(100);
  EXPECT_EQ(ReportCodes(), (std::vector<uint16_t>{IPC_ERR_NET_NODE_INDX, IPC_ERR_NET_NODE_INDX}));
}

TEST_F(DbTest, NodeSetAcceptsOnlyProxiesOfLocalServers) {
  EnableReports();
  auto cb = [](const IpcEvntHdr*, intptr_t) {};
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 1, 1, 1, 0, 0, 0, 0, 0);
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 2, 1, 1, 5, 0, 0, 0, 0);
  uint8_t withCb = 0, proxy = 0, remote = 0;
  ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 1, cb, "1.3c", &withCb, 0), 0);
  ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 1, nullptr, "1.3c", &proxy, 0), 0);
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 2, "1.3c", &remote), 0);
  struct Case {
    IpcClntKind kind;
    uint8_t indx, handle, node;
    bool ok;
    uint16_t code;
  };
  const Case cases[] = {
      {IpcClntKind::kEvnt, 1, withCb, 5, false, IPC_ERR_STATE},  // has a callback
      {IpcClntKind::kEvnt, 1, withCb, 0, true, 0},
      {IpcClntKind::kEvnt, 1, proxy, 0, false, IPC_ERR_STATE},   // no callback
      {IpcClntKind::kEvnt, 1, proxy, 5, true, 0},
      {IpcClntKind::kComProc, 2, remote, 5, false, IPC_ERR_STATE},  // server elsewhere
      {IpcClntKind::kComProc, 1, 9, 5, false, IPC_ERR_STATE},       // not in use
      {IpcClntKind::kEvnt, 1, proxy, 100, false, IPC_ERR_NET_NODE_INDX},
      {IpcClntKind::kEvnt, 1, 17, 5, false, IPC_ERR_CLNT_HANDLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "handle " << int(c.handle) << " node " << int(c.node));
    EXPECT_EQ(ipc::IpcClntNodeSet(c.kind, IPC_SVR_IO_KRN, c.indx, c.handle, c.node), c.ok);
    const std::vector<uint16_t> codes = ReportCodes();
    EXPECT_EQ(codes, c.ok ? std::vector<uint16_t>{} : std::vector<uint16_t>{c.code});
  }
  EXPECT_EQ(ipc::IpcClntEvntPartGet(IPC_SVR_IO_KRN, 1, proxy)->node, 5);
  EXPECT_EQ(ipc::IpcClntFindByNode(IpcClntKind::kEvnt, IPC_SVR_IO_KRN, 1, 5), proxy);
}

TEST_F(DbTest, NetHandleSetTakes0To16OnAnInUsePart) {
  EnableReports();
  uint8_t h = 0;
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 1, "1.3c", &h), 0);
  EXPECT_TRUE(ipc::IpcClntNetHandleSet(IpcClntKind::kComProc, IPC_SVR_IO_KRN, 1, h, 16));
  EXPECT_FALSE(ipc::IpcClntNetHandleSet(IpcClntKind::kComProc, IPC_SVR_IO_KRN, 1, h, 17));
  EXPECT_FALSE(ipc::IpcClntNetHandleSet(IpcClntKind::kEvnt, IPC_SVR_IO_KRN, 1, h, 1));
  EXPECT_EQ(ReportCodes(), (std::vector<uint16_t>{IPC_ERR_CLNT_HANDLE, IPC_ERR_STATE}));
  EXPECT_EQ(IpcClntComProcNetHandleGet(IPC_SVR_IO_KRN, 1, h), 16);
}

// ---------------------------------------------------------------------
// Node info

TEST_F(DbTest, ClntNetNodeInfoGetGivesRelationsAndValidatesAllThreeArrays) {
  EnableReports();
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 1, 1, 1, 0, 0, 0, 0, 0);  // here, proxies of node 5
  IpcSvrLocationSet(IPC_SVR_IO_FTP, 2, 1, 8, 5, 0, 0, 0, 0);  // on node 5
  uint8_t h = 0;
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 1, "1.3c", &h), 0);
  ASSERT_TRUE(ipc::IpcClntNodeSet(IpcClntKind::kComProc, IPC_SVR_IO_KRN, 1, h, 5));
  ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 1, nullptr, "1.3c", &h, 0), 0);
  ASSERT_TRUE(ipc::IpcClntNodeSet(IpcClntKind::kEvnt, IPC_SVR_IO_KRN, 1, h, 5));
  uint8_t a = 0, b = 0;
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_FTP, 2, "1.3c", &a), 0);
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_FTP, 2, "1.3c", &b), 0);
  ASSERT_TRUE(ipc::IpcClntNetHandleSet(IpcClntKind::kComProc, IPC_SVR_IO_FTP, 2, b, 4));
  ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_FTP, 2, nullptr, "1.3c", &a, 0), 0);
  Reports();

  uint8_t types[4] = {}, handles[4] = {};
  IpcClntRelation rel[4] = {};
  ASSERT_EQ(IpcClntNetNodeInfoGet(5, types, handles, rel, 4), 2);
  EXPECT_EQ(types[0], IPC_SVR_IO_FTP);  // types ascending: 21 before 22
  EXPECT_EQ(handles[0], 8);
  EXPECT_EQ(rel[0], IPC_CLNT_REL_COMPROC_UNATTACHED | IPC_CLNT_REL_COMPROC_ATTACHED |
                        IPC_CLNT_REL_EVNT_UNATTACHED);
  EXPECT_EQ(types[1], IPC_SVR_IO_KRN);
  EXPECT_EQ(handles[1], 1);
  EXPECT_EQ(rel[1], IPC_CLNT_REL_COMPROC_PROXY | IPC_CLNT_REL_EVNT_PROXY);
  EXPECT_TRUE(Reports().empty());

  // Capacity is checked before anything is stored.
  uint8_t one[1] = {0xEE}, oneH[1] = {0xEE};
  IpcClntRelation oneR[1] = {0xEE};
  EXPECT_EQ(IpcClntNetNodeInfoGet(5, one, oneH, oneR, 0), 0);
  EXPECT_EQ(one[0], 0xEE);
  EXPECT_EQ(IpcClntNetNodeInfoGet(5, one, oneH, oneR, 1), 1);
  EXPECT_EQ(one[0], IPC_SVR_IO_FTP);

  EXPECT_EQ(IpcClntNetNodeInfoGet(5, types, handles, nullptr, 4), 0);
  EXPECT_EQ(IpcClntNetNodeInfoGet(5, nullptr, handles, rel, 4), 0);
  EXPECT_EQ(IpcClntNetNodeInfoGet(5, types, nullptr, rel, 4), 0);
  EXPECT_EQ(IpcClntNetNodeInfoGet(100, types, handles, rel, 4), 0);
  EXPECT_EQ(ReportCodes(), (std::vector<uint16_t>{IPC_ERR_STATE, IPC_ERR_STATE, IPC_ERR_STATE,
                                                  IPC_ERR_NET_NODE_INDX}));
}

TEST_F(DbTest, SvrNetNodeInfoGetListsTheServersOnANodeUpToCapacity) {
  EnableReports();
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 9, 1, 3, 5, 0, 0, 0, 0);
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 4, 1, 2, 5, 0, 0, 0, 0);
  IpcSvrLocationSet(IPC_SVR_AUX, 1, 1, 1, 5, 0, 0, 0, 0);
  IpcSvrLocationSet(IPC_SVR_IO_FTP, 1, 1, 1, 6, 0, 0, 0, 0);
  uint8_t types[8] = {}, handles[8] = {};
  ASSERT_EQ(IpcSvrNetNodeInfoGet(5, types, handles, 8), 3);
  EXPECT_EQ(std::vector<uint8_t>(types, types + 3),
            (std::vector<uint8_t>{IPC_SVR_AUX, IPC_SVR_IO_KRN, IPC_SVR_IO_KRN}));
  EXPECT_EQ(std::vector<uint8_t>(handles, handles + 3), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(IpcSvrNetNodeInfoGet(5, types, handles, 2), 2);
  uint8_t t0 = 0xEE, h0 = 0xEE;
  EXPECT_EQ(IpcSvrNetNodeInfoGet(5, &t0, &h0, 0), 0);
  EXPECT_EQ(t0, 0xEE);
  EXPECT_EQ(IpcSvrNetNodeInfoGet(5, nullptr, handles, 8), 0);
  EXPECT_EQ(ReportCodes(), std::vector<uint16_t>{IPC_ERR_STATE});
}

}  // namespace
