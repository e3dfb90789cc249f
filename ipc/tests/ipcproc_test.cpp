// Start and stop of the library, the error context and the error reports.
#include "ipcproc.h"

#include <gtest/gtest.h>

#include <cstring>

#include "ipc_fixture.h"
#include "ipccheck.h"
#include "ipcdb.h"
#include "ipcnetdb.h"

namespace {

using ipctest::LibFixture;
using ipctest::Reports;
using ipctest::TakeReports;

class LogError : public LibFixture {};

TEST_F(LogError, PackagesTheReportAsA34ByteLogServerEvent) {
  EXPECT_EQ(IpcLogError(2, IPC_SVR_IO_KRN, 7, IPC_ERR_NODE_NAME, "../../../ipc/csrc/ipcdb.c", 123), 1);
  auto r = TakeReports();
  ASSERT_EQ(r.size(), 1u);
  const IpcLogEvnt& e = r[0];
  EXPECT_EQ(e.hdr.length, 34);
  EXPECT_EQ(e.hdr.evntCode, 3);  // severity + 1
  EXPECT_EQ(e.hdr.svrType, IPC_SVR_LOG);
  EXPECT_EQ(e.hdr.evntId, 1);
  EXPECT_EQ(e.hdr.hostHandle, 1);
  EXPECT_EQ(e.Svr, IPC_SVR_IO_KRN);
  EXPECT_EQ(e.hTargetSvr, 7);
  EXPECT_EQ(e.ErrCode, IPC_ERR_NODE_NAME);
  EXPECT_STREQ(e.file, "ipcdb");
  EXPECT_EQ(e.line, 123);

  // Severity 0 gives code 1; a Winsock number passes as the error code.
  IpcLogError(0, IPC_SVR_LOG, 1, 10048, "ipctcpip.c", 9);
  r = TakeReports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].hdr.evntCode, 1);
  EXPECT_EQ(r[0].ErrCode, 10048);
  EXPECT_STREQ(r[0].file, "ipctcpip");
}

TEST(LogFileName, ModuleNameFromThePath) {
  struct Case {
    const char* path;
    const char* name;
  } cases[] = {
      {"../../../ipc/csrc/ipcdb.c", "ipcdb"},
      {"ipcnetdb.c", "ipcnetdb"},
      {"c:\\src\\ipc\\ipcnet.c", "ipcnet"},
      {"mixed/dir\\ipcroutr.c", "ipcroutr"},
      {"verylongname.c", "verylong"},  // at most 8 characters
      {"x.c", "x"},
      {"dir/.c", ""},
      {"ab", ""},
      {"a", ""},  // shorter than two characters: empty, nothing read before it
      {"", ""},
      {nullptr, ""},
  };
  for (const Case& c : cases) {
    char out[10];
    std::memset(out, 'X', sizeof out);
    ipc::IpcLogFileName(c.path, out);
    EXPECT_STREQ(out, c.name) << (c.path ? c.path : "(null)");
    EXPECT_EQ(out[9], '\0');
  }
}

TEST_F(LogError, ShortOrNullPathGivesAnEmptyFile) {
  IpcLogError(1, IPC_SVR_LOG, 1, IPC_ERR_VERSION, nullptr, 5);
  IpcLogError(1, IPC_SVR_LOG, 1, IPC_ERR_VERSION, "c", 6);
  auto r = TakeReports();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_STREQ(r[0].file, "");
  EXPECT_STREQ(r[1].file, "");
  EXPECT_EQ(r[1].line, 6);
}

TEST(LogErrorLifecycle, DroppedWithoutALogServerBeforeInitAndAfterTerm) {
  ipctest::InstanceDeleter del;
  ipc::Instance* inst = ipc::NewInstance();
  {
    ipc::ScopedInstance use(inst);
    // Before IpcInit: nothing exists, nothing is raised.
    EXPECT_EQ(IpcLogError(1, IPC_SVR_LOG, 1, IPC_ERR_VERSION, "ipccheck.c", 1), 0);
    EXPECT_EQ(ipc::IpcStubCount(IpcStubOp::kEvntRaise), 0);

    IpcInit();
    EXPECT_EQ(IpcLogError(1, IPC_SVR_LOG, 1, IPC_ERR_VERSION, "ipccheck.c", 2), 1);
    EXPECT_EQ(Reports().size(), 1u);

    IpcTerm();
    ipc::IpcStubClear();
    EXPECT_EQ(IpcLogError(1, IPC_SVR_LOG, 1, IPC_ERR_VERSION, "ipccheck.c", 3), 0);
    EXPECT_EQ(ipc::IpcStubCount(IpcStubOp::kEvntRaise), 0);
    // Reports from a module are dropped the same way.
    EXPECT_EQ(IpcNetNodeAddrGet(100), 0u);
    EXPECT_EQ(ipc::IpcStubCount(IpcStubOp::kEvntRaise), 0);

    IpcInit();  // a host that goes on starts again
    EXPECT_EQ(IpcLogError(1, IPC_SVR_LOG, 1, IPC_ERR_VERSION, "ipccheck.c", 4), 1);
  }
  del(inst);
}

TEST_F(LogError, AReportMadeWhileRaisingAReportIsDroppedNotRecursed) {
  ipc::Cur().stubs.reportOnRaise = true;
  EXPECT_EQ(IpcLogError(1, IPC_SVR_LOG, 1, IPC_ERR_VERSION, "ipccheck.c", 1), 1);
  EXPECT_EQ(ipc::IpcStubCount(IpcStubOp::kEvntRaise), 1);
  EXPECT_EQ(ipc::Cur().proc.nestedReportsDropped, 1u);
  // The next report goes out again.
  ipc::Cur().stubs.reportOnRaise = false;
  EXPECT_EQ(IpcLogError(1, IPC_SVR_LOG, 1, IPC_ERR_VERSION, "ipccheck.c", 2), 1);
  EXPECT_EQ(ipc::IpcStubCount(IpcStubOp::kEvntRaise), 2);
}

class ErrorContext : public LibFixture {};

TEST_F(ErrorContext, ReportsCarryTheContextOfTheRefusedOperation) {
  // An operation with server arguments sets the context to them; the
  // validators it calls report with it.
  ipc::IpcErrCtxSet(IPC_SVR_IO_KRN, 5);
  EXPECT_FALSE(ipc::IpcSvrIndxValid(7, 1));
  // An export without server arguments sets (1, 1) on entry.
  EXPECT_EQ(IpcNetNodeAddrGet(100), 0u);
  auto r = TakeReports();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].Svr, IPC_SVR_IO_KRN);
  EXPECT_EQ(r[0].hTargetSvr, 5);
  EXPECT_EQ(r[0].ErrCode, IPC_ERR_SVR_TYPE);
  EXPECT_STREQ(r[0].file, "ipccheck");
  EXPECT_EQ(r[1].Svr, IPC_SVR_LOG);
  EXPECT_EQ(r[1].hTargetSvr, 1);
  EXPECT_EQ(r[1].ErrCode, IPC_ERR_NET_NODE_INDX);
  EXPECT_STREQ(r[1].file, "ipcnetdb");
  EXPECT_GT(r[1].line, 0);
}

TEST_F(ErrorContext, InternalOperationsKeepTheirCallersContext) {
  ipc::IpcErrCtxSet(IPC_SVR_ROUTER, 1);
  EXPECT_FALSE(ipc::IpcNetNodeStatusSet(3, IPC_NODE_STATUS_ONLINE));  // free entry
  auto r = TakeReports();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].Svr, IPC_SVR_ROUTER);
  EXPECT_EQ(r[0].ErrCode, IPC_ERR_STATE);
}

class InitTerm : public LibFixture {};

TEST_F(InitTerm, InitAfterActivityLeavesEveryTableEmptyAndThePeriodAt50) {
  ipc::Cur().tcpip.etherAddr[0] = 0x02;
  ASSERT_EQ(IpcNetNodeInfoCreate(0, "PC", IpcNetAddrMake(10, 0, 0, 1), 20), 0);
  ASSERT_EQ(IpcNetNodeInfoCreate(99, "NODE99", IpcNetAddrMake(10, 0, 0, 99), 5), 99);
  ipc::IpcNetNodeStatusSet(99, IPC_NODE_STATUS_ONLINE);
  ipc::Cur().net.pool[5].next = 5;  // a transmit entry in use
  // Server locations here and elsewhere, with client parts of both kinds.
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 7, IPC_HOST_KIND_LOCAL, 3, 0, 0, 0, 0, 0);
  IpcSvrLocationSet(IPC_SVR_IO_FTP, 100, 5, 9, 99, 0, 0, 0, 0);
  IpcSvrLocationSet(IPC_SVR_AUX, 1, IPC_HOST_KIND_LOCAL, 1, 0, 0, 0, 0, 0);
  uint8_t h = 0;
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_KRN, 7, "1.3c", &h), 0);
  ASSERT_TRUE(ipc::IpcClntNodeSet(IpcClntKind::kComProc, IPC_SVR_IO_KRN, 7, h, 99));
  ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 7, nullptr, "1.3c", &h, 0), 0);
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_FTP, 100, "1.3c", &h), 0);
  ASSERT_TRUE(ipc::IpcClntNetHandleSet(IpcClntKind::kComProc, IPC_SVR_IO_FTP, 100, h, 4));
  ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_AUX, 1, nullptr, "1.3c", &h, 0), 0);
  ipc::Cur().netdb.subnetMask = 0;
  IpcNetBcastPeriod = 7;
  ipc::IpcErrCtxSet(IPC_SVR_IO_FTP, 9);
  ipc::IpcStubClear();

  IpcInit();

  for (uint8_t i = 0; i < IPC_MAX_NET_NODES; ++i) {
    EXPECT_FALSE(IpcNetNodeInfoGet(i, nullptr, nullptr, nullptr, nullptr, nullptr)) << int(i);
  }
  EXPECT_EQ(IpcNetNodeAddrExists(0), IPC_NO_NET_NODE);
  EXPECT_EQ(IpcNetNodeNameExists("NODE99"), IPC_NO_NET_NODE);
  EXPECT_EQ(IpcNetNodeSubNetMaskGet(), 0xFFFFFF00u);
  // Every location and client slot is zero again, but the router's own:
  // 18/1 on this PC with its com-proc and event client in slot 1.
  const IpcDbState& db = ipc::Cur().db;
  const IpcSvrLocation* router = ipc::IpcSvrLocationGet(IPC_SVR_ROUTER, 1);
  for (int pos = 0; pos < kIpcSvrLocationCount; ++pos) {
    SCOPED_TRACE(pos);
    const bool isRouter = &db.locs[pos] == router;
    EXPECT_EQ(db.locs[pos].hostKind, isRouter ? IPC_HOST_KIND_LOCAL : 0);
    EXPECT_EQ(db.locs[pos].hostHandle, isRouter ? 1 : 0);
    EXPECT_EQ(db.locs[pos].node, 0);
    for (int k = 0; k < IPC_MAX_CLNTS; ++k) {
      const IpcClntSlot& s = db.slots[pos][k];
      const bool routerSlot = isRouter && k == 0;
      EXPECT_EQ(s.comProc.inUse, routerSlot ? 1 : 0) << k;
      EXPECT_EQ(s.comProc.node, 0) << k;
      EXPECT_EQ(s.comProc.netHandle, 0) << k;
      EXPECT_EQ(s.evnt.inUse, routerSlot ? 1 : 0) << k;
      EXPECT_EQ(s.evnt.node, 0) << k;
      EXPECT_EQ(s.evnt.netHandle, 0) << k;
      EXPECT_EQ(s.evnt.userValue, 0) << k;
    }
  }
  EXPECT_EQ(IpcNetBcastPeriod, 50);
  EXPECT_EQ(ipc::IpcErrCtxSvrType(), IPC_SVR_LOG);
  EXPECT_EQ(ipc::IpcErrCtxSvrIndx(), 1);
  // The log server is created again and the datagram layer started.
  EXPECT_TRUE(ipc::IpcSvcExists(IPC_SVR_ROUTER, 1));  // the router
  EXPECT_EQ(ipc::IpcNetPoolFree(), kIpcTxPoolSize);
  EXPECT_TRUE(ipc::IpcSvcExists(IPC_SVR_LOG, 1));
  // Nothing was reported on the way.
  EXPECT_TRUE(Reports().empty());
}

TEST_F(InitTerm, TermEmptiesTheTablesAndRemovesTheLogServer) {
  ASSERT_EQ(IpcNetNodeInfoCreate(0, "PC", IpcNetAddrMake(10, 0, 0, 1), 20), 0);
  IpcNetTcpIpInitDriver();
  ASSERT_TRUE(IpcNetTcpIpIsInitOk());
  IpcTerm();
  EXPECT_FALSE(IpcNetTcpIpIsInitOk());  // the socket driver was stopped
  EXPECT_FALSE(IpcNetNodeInfoGet(0, nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_FALSE(ipc::IpcSvcExists(IPC_SVR_LOG, 1));
  EXPECT_EQ(IpcNetNodeSubNetMaskGet(), 0xFFFFFF00u);
}

int g_termCallbacks = 0;
void CountTermCallback(const IpcEvntHdr*, intptr_t) { ++g_termCallbacks; }

// Events queued for a located server with a local client are gone after
// IpcTerm, and every location and client slot reads free.
TEST_F(InitTerm, TermEmptiesTheEventRingTheLocationsAndTheClientSlots) {
  static const uint8_t kIds[] = {1};
  ASSERT_EQ(IpcSvrAndSvcCreate(IPC_SVR_IO_KRN, 7, "1.0a", "1.1", 1, nullptr, 0, kIds, 1), 1);
  IpcSvrLocationSet(IPC_SVR_IO_KRN, 7, IPC_HOST_KIND_LOCAL, 7, 0, 0, 0, 0, 0);
  IpcSvrLocationSet(IPC_SVR_IO_FTP, 5, 5, 9, 42, 0, 0, 0, 0);
  uint8_t h = 0;
  ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 7, &CountTermCallback, "1.3c", &h, 0), 0);
  ASSERT_EQ(IpcClntComProcCreate(IPC_SVR_IO_FTP, 5, "1.3c", &h), 0);
  g_termCallbacks = 0;
  for (int i = 0; i < 3; ++i) {
    IpcEvntHdr e{};
    e.length = sizeof e;
    e.evntCode = 258;
    e.svrType = IPC_SVR_IO_KRN;
    e.evntId = 1;
    e.hostHandle = 7;
    IpcEvnt(&e);
  }
  ASSERT_GT(ipc::IpcEvntQueued(), 0);

  IpcTerm();

  EXPECT_FALSE(IpcEvntDespatch());
  EXPECT_EQ(g_termCallbacks, 0);
  EXPECT_EQ(ipc::IpcEvntQueued(), 0);
  const IpcDbState& db = ipc::Cur().db;
  for (int pos = 0; pos < kIpcSvrLocationCount; ++pos) {
    SCOPED_TRACE(pos);
    EXPECT_EQ(db.locs[pos].hostKind, 0);
    EXPECT_EQ(db.locs[pos].hostHandle, 0);
    EXPECT_EQ(db.locs[pos].node, 0);
    for (int k = 0; k < IPC_MAX_CLNTS; ++k) {
      EXPECT_EQ(db.slots[pos][k].comProc.inUse, 0) << k;
      EXPECT_EQ(db.slots[pos][k].evnt.inUse, 0) << k;
      EXPECT_EQ(db.slots[pos][k].evnt.node, 0) << k;
    }
  }
}

TEST(InitTermInstances, EachInstanceKeepsItsOwnTables) {
  ipctest::InstanceDeleter del;
  ipc::Instance* a = ipc::NewInstance();
  ipc::Instance* b = ipc::NewInstance();
  {
    ipc::ScopedInstance use(a);
    IpcInit();
    ASSERT_EQ(IpcNetNodeInfoCreate(0, "PCA", IpcNetAddrMake(127, 0, 0, 2), 20), 0);
    {
      ipc::ScopedInstance useB(b);
      IpcInit();
      EXPECT_EQ(IpcNetNodeNameExists("PCA"), IPC_NO_NET_NODE);
      ASSERT_EQ(IpcNetNodeInfoCreate(0, "PCB", IpcNetAddrMake(127, 0, 0, 3), 20), 0);
    }
    EXPECT_EQ(IpcNetNodeNameExists("PCA"), 0);
    EXPECT_EQ(IpcNetNodeNameExists("PCB"), IPC_NO_NET_NODE);
  }
  del(a);
  del(b);
}

}  // namespace
