// The UDP socket driver, over real sockets on loopback and over the
// in-memory hub.
//
// Tests on real sockets use their own 127.0.0.x addresses and their own
// ports, so that they can run beside each other (ctest -j) and beside the
// other suites.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ipc_fixture.h"
#include "ipcinst.h"
#include "ipcnetdb.h"
#include "ipctcpip.h"
#include "net/error.h"
#include "net/hub.h"
#include "net/posix.h"
#include "tessio32.h"

namespace {

using ipctest::LibFixture;
using ipctest::Reports;
using ipctest::TakeReports;

constexpr uint32_t A(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return (uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d;
}

// The descriptors the process has open.
std::size_t OpenDescriptors() {
  std::size_t n = 0;
  for (int fd = 0; fd < 4096; ++fd) n += ::fcntl(fd, F_GETFD) != -1 ? 1 : 0;
  return n;
}

void ExpectOneReport(uint16_t code, uint8_t severity, const std::string& what) {
  auto r = TakeReports();
  ASSERT_EQ(r.size(), 1u) << what;
  EXPECT_EQ(r[0].ErrCode, code) << what;
  EXPECT_EQ(r[0].hdr.evntCode, severity + 1) << what;
  EXPECT_STREQ(r[0].file, "ipctcpip") << what;
}

void ExpectNoReport(const std::string& what) {
  auto r = TakeReports();
  EXPECT_TRUE(r.empty()) << what << ": first report " << (r.empty() ? 0 : r[0].ErrCode);
}

// What the hooks saw.  The hooks are plain functions, so they write here.
struct HookCall {
  int direction = 0;  // 0 for the open hook
  IpcSocket socket = 0;
  std::vector<uint8_t> bytes;
  std::size_t reportsBefore = 0;  // reports already made when the hook ran
  bool nonBlocking = false;       // open hook: the socket's mode at that moment
};
std::vector<HookCall> g_hookCalls;

void OpenHook(IpcSocket s) {
  HookCall c;
  c.socket = s;
  c.reportsBefore = Reports().size();
  const int fd = static_cast<int>(static_cast<intptr_t>(s));
  const int flags = fd >= 0 ? ::fcntl(fd, F_GETFL) : -1;
  c.nonBlocking = flags != -1 && (flags & O_NONBLOCK) != 0;
  g_hookCalls.push_back(c);
}

void DebugHookFn(int direction, uint16_t length, const void* datagram) {
  HookCall c;
  c.direction = direction;
  const auto* p = static_cast<const uint8_t*>(datagram);
  c.bytes.assign(p, p + length);
  c.reportsBefore = Reports().size();
  g_hookCalls.push_back(c);
}

// A backend that passes every call to another one, except the calls told
// to fail.
class FaultyBackend final : public net::Backend {
 public:
  explicit FaultyBackend(net::Backend& inner) : inner_(inner) {}
  int openError = 0;
  int sendError = 0;
  int closeError = 0;

  int Open(net::Socket* s) override {
    if (openError != 0) {
      *s = net::kInvalidSocket;
      return openError;
    }
    return inner_.Open(s);
  }
  int SetOption(net::Socket s, net::Option o, bool on) override { return inner_.SetOption(s, o, on); }
  int SetNonBlocking(net::Socket s, bool on) override { return inner_.SetNonBlocking(s, on); }
  int Bind(net::Socket s, net::Endpoint e) override { return inner_.Bind(s, e); }
  int LocalEndpoint(net::Socket s, net::Endpoint* e) override { return inner_.LocalEndpoint(s, e); }
  net::SendResult SendTo(net::Socket s, net::Endpoint to, const void* d, std::size_t n) override {
    if (sendError != 0) return net::SendResult{sendError, 0};
    return inner_.SendTo(s, to, d, n);
  }
  net::RecvResult RecvFrom(net::Socket s, void* buf, std::size_t size) override {
    return inner_.RecvFrom(s, buf, size);
  }
  int Close(net::Socket s) override {
    const int e = inner_.Close(s);
    return closeError != 0 ? closeError : e;
  }
  int OwnAddress(uint32_t* a) override { return inner_.OwnAddress(a); }
  int HostName(std::string* n) override { return inner_.HostName(n); }

 private:
  net::Backend& inner_;
};

// A library instance on real sockets, with the driver started and node 0
// at the given address.
class Driver : public LibFixture {
 protected:
  explicit Driver(uint32_t own) : own_(own) {}
  void SetUp() override {
    LibFixture::SetUp();
    g_hookCalls.clear();
    ipc::IpcTcpIpBackendSet(&posix_);
    IpcNetTcpIpInitDriver();
    ASSERT_EQ(IpcNetTcpIpIsInitOk(), 1);
    ASSERT_EQ(IpcNetNodeInfoCreate(0, "PC", own_, 20), 0);
    TakeReports();
  }
  void TearDown() override {
    IpcTerm();
    InstallSocketOpenHook(nullptr);
    InstallDebugHook(nullptr);
  }

  // Opens a socket for the node and binds it.
  uint8_t OpenBound(uint8_t node, uint32_t addr, uint16_t port) {
    const uint8_t e = ipc::IpcSockOpen(node);
    EXPECT_NE(e, 0);
    EXPECT_TRUE(ipc::IpcSockBind(e, addr, port));
    return e;
  }

  // A datagram of the given size has arrived on entry e (loopback queues a
  // datagram at the receiver before the send returns; the loop only guards
  // against a slow machine).
  uint16_t Receive(uint8_t e, void* buf, uint16_t size, uint32_t* from = nullptr,
                   uint16_t* port = nullptr) {
    for (int i = 0; i < 1000; ++i) {
      const uint16_t n = ipc::IpcSockRecv(e, from, port, size, buf);
      if (n != 0) return n;
      ::usleep(1000);
    }
    return 0;
  }

  uint32_t own_;
  net::PosixBackend posix_;
};

// ---------------------------------------------------------------------------
// Start and stop of the driver

struct StackCase {
  const char* name;
  int startError;
  uint16_t granted;
  const char* description;
  const char* status;
  bool initOk;
  bool socketsWork;
  bool refusalLine;
};
const StackCase* g_stack = nullptr;

int FakeStartup(uint16_t /*wanted*/, IpcWsaData* data) {
  std::memset(data, 0, sizeof *data);
  data->version = g_stack->granted;
  std::strcpy(data->description, g_stack->description);
  std::strcpy(data->systemStatus, g_stack->status);
  return g_stack->startError;
}

class DriverStart : public LibFixture {
 protected:
  void TearDown() override { IpcTerm(); }
  net::PosixBackend posix_;
};

TEST_F(DriverStart, OutcomeOfTheStackStartAndTheOwnEtherAddress) {
  const StackCase cases[] = {
      {"granted 1.1", 0, 0x0101, "Linux UDP", "Running", true, true, false},
      {"start fails", 10091, 0x0101, "", "", false, false, false},
      {"another version granted", 0, 0x0201, "Linux UDP", "Running", false, false, false},
      {"PC-NFS 5 refused", 0, 0x0101, "PC-NFS 5.1 WinSock", "RTM.EXE loaded", false, true, true},
      {"PC-NFS without RTM.EXE accepted", 0, 0x0101, "PC-NFS 5.1 WinSock", "Running", true, true,
       false},
  };
  ipc::IpcTcpIpBackendSet(&posix_);
  for (const StackCase& c : cases) {
    SCOPED_TRACE(c.name);
    g_stack = &c;
    IpcTerm();
    IpcInit();
    ipc::IpcTcpIpWsaStartupSet(FakeStartup);
    ipc::Cur().tcpip.etherAddr[0] = 0x02;
    TakeReports();
    testing::internal::CaptureStdout();
    IpcNetTcpIpInitDriver();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(IpcNetTcpIpIsInitOk(), c.initOk ? 1 : 0);
    EXPECT_EQ(out, c.refusalLine ? "   Cannot run on PC-NFS V5.x winsock.dll\n" : "");
    uint8_t ether[6];
    ipc::IpcSockEtherAddrGet(ether);
    EXPECT_EQ(std::memcmp(ether, "\xFF\xFF\xFF\xFF\xFF\xFF", 6), 0);
    ExpectNoReport("start");

    const uint8_t e = ipc::IpcSockOpen(0);
    if (c.socketsWork) {
      EXPECT_NE(e, 0);
      ExpectNoReport("open");
    } else {
      EXPECT_EQ(e, 0);
      ExpectOneReport(ipc::kIpcWsaNotInitialised, IPC_SEV_INTERNAL, "open without a stack");
      EXPECT_EQ(ipc::IpcSockErrorGet(0, nullptr), ipc::kIpcWsaNotInitialised);
    }
  }
  ipc::IpcTcpIpWsaStartupSet(nullptr);
}

TEST_F(DriverStart, TheBuiltInStartGrantsVersion11AndTickDoesNothing) {
  ipc::IpcTcpIpBackendSet(&posix_);
  EXPECT_EQ(IpcNetTcpIpIsInitOk(), 0);
  IpcNetTcpIpInitDriver();
  EXPECT_EQ(IpcNetTcpIpIsInitOk(), 1);
  IpcNetTcpIpTick();
  EXPECT_EQ(IpcNetTcpIpIsInitOk(), 1);
  // A new start of the library clears the flag but keeps the stack started.
  IpcInit();
  EXPECT_EQ(IpcNetTcpIpIsInitOk(), 0);
  const uint8_t e = ipc::IpcSockOpen(0);
  EXPECT_EQ(e, 1);
  ExpectNoReport("open after IpcInit");
  // The stop releases the stack: no socket until the driver starts again.
  IpcTerm();
  EXPECT_EQ(IpcNetTcpIpIsInitOk(), 0);
  IpcInit();
  TakeReports();
  EXPECT_EQ(ipc::IpcSockOpen(0), 0);
  ExpectOneReport(ipc::kIpcWsaNotInitialised, IPC_SEV_INTERNAL, "open after IpcTerm");
}

// ---------------------------------------------------------------------------
// Broadcasts and the link ports

class BroadcastOnLoopback : public Driver {
 protected:
  BroadcastOnLoopback() : Driver(A(127, 0, 0, 5)) {}
};

// On Linux loopback 127.0.0.255 is an ordinary local address (lo holds
// 127.0.0.0/8): a datagram sent there reaches the socket bound to exactly
// that address, not the wildcard-bound sockets of other lab addresses.
// That is what the lab's broadcast list is for; the hub test below shows
// the broadcast as a real segment delivers it.
TEST_F(BroadcastOnLoopback, Node0BroadcastGoesToTheSubnetBroadcastAddress) {
  constexpr uint16_t kPort = 23511;
  const uint8_t e = OpenBound(0, ipc::kIpcAnyAddress, kPort);
  ipc::IpcSockRemotePortSet(e, kPort);

  net::PosixBackend other;
  net::Socket listener = net::kInvalidSocket;
  ASSERT_EQ(other.Open(&listener), 0);
  ASSERT_EQ(other.SetNonBlocking(listener, true), 0);
  ASSERT_EQ(other.SetOption(listener, net::Option::kReuseAddress, true), 0);
  ASSERT_EQ(other.Bind(listener, {A(127, 0, 0, 255), kPort}), 0);

  const char msg[] = "router announce";
  EXPECT_EQ(ipc::IpcSockSend(e, ipc::kIpcAnyAddress, 0, sizeof msg, msg), sizeof msg);
  ExpectNoReport("broadcast");

  char buf[64] = {};
  net::RecvResult r;
  for (int i = 0; i < 1000; ++i) {
    r = other.RecvFrom(listener, buf, sizeof buf);
    if (r.error != net::err::kWouldBlock) break;
    ::usleep(1000);
  }
  ASSERT_EQ(r.error, 0);
  EXPECT_EQ(r.size, sizeof msg);
  EXPECT_STREQ(buf, msg);
  EXPECT_EQ(r.from.port, kPort);
}

TEST(BroadcastOnHub, ReachesEveryNode0SocketOnTheSubnetAtPort2510) {
  net::Hub hub;
  struct Node {
    uint32_t addr;
    std::unique_ptr<net::Backend> host;
    ipc::Instance* inst;
    uint8_t sock;
  };
  std::vector<Node> nodes;
  for (uint32_t addr : {A(192, 168, 1, 5), A(192, 168, 1, 6), A(192, 168, 2, 7)}) {
    nodes.push_back(Node{addr, hub.AddHost(addr), ipc::NewInstance(), 0});
  }
  for (Node& n : nodes) {
    ipc::ScopedInstance use(n.inst);
    IpcInit();
    ipc::IpcTcpIpBackendSet(n.host.get());
    IpcNetTcpIpInitDriver();
    ASSERT_EQ(IpcNetNodeInfoCreate(0, "N", n.addr, 20), 0);
    n.sock = ipc::IpcSockOpen(0);
    ASSERT_TRUE(ipc::IpcSockBind(n.sock, ipc::kIpcAnyAddress, ipc::kIpcNode0Port));
    ipc::IpcSockRemotePortSet(n.sock, ipc::kIpcNode0Port);
  }
  {
    ipc::ScopedInstance use(nodes[0].inst);
    EXPECT_EQ(ipc::IpcSockSend(nodes[0].sock, ipc::kIpcAnyAddress, 0, 3, "ann"), 3);
  }
  const std::vector<net::Record> rec = hub.Records();
  ASSERT_EQ(rec.size(), 1u);
  EXPECT_EQ(rec[0].to, (net::Endpoint{A(192, 168, 1, 255), 2510}));
  EXPECT_TRUE(rec[0].broadcast);

  // The sender hears its own broadcast, as on a real segment; the node of
  // another subnet does not.
  const bool expected[] = {true, true, false};
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    ipc::ScopedInstance use(nodes[i].inst);
    char buf[16];
    uint32_t from = 0;
    uint16_t port = 0;
    EXPECT_EQ(ipc::IpcSockRecv(nodes[i].sock, &from, &port, sizeof buf, buf), expected[i] ? 3 : 0)
        << "node " << i;
    if (expected[i]) {
      EXPECT_EQ(from, A(192, 168, 1, 5));
    }
    EXPECT_TRUE(TakeReports().empty());
    IpcTerm();
  }
  for (Node& n : nodes) ipc::DeleteInstance(n.inst);
}

TEST(LinkPorts, AreTheBasePlusTheLowAddressByte) {
  EXPECT_EQ(ipc::IpcSockLinkPort(A(192, 168, 1, 20)), 2535);
  EXPECT_EQ(ipc::IpcSockLinkPort(A(10, 0, 0, 0)), 2515);
  EXPECT_EQ(ipc::IpcSockLinkPort(A(10, 0, 0, 255)), 2770);
}

// Two library instances on two lab addresses, as two processes would be:
// each side binds its own address at 2515 + the peer's low byte and sends
// to 2515 + its own low byte.
TEST(LinkPortsOnLoopback, TwoLabAddressesReachEachOther) {
  const uint32_t pcAddr = A(127, 0, 0, 21);
  const uint32_t nodeAddr = A(127, 0, 0, 22);
  net::PosixBackend posix;
  struct Side {
    ipc::Instance* inst;
    uint32_t own, peer;
    uint8_t peerIndx;
    uint8_t sock;
  } sides[] = {{ipc::NewInstance(), pcAddr, nodeAddr, 4, 0},
               {ipc::NewInstance(), nodeAddr, pcAddr, 7, 0}};
  for (Side& s : sides) {
    ipc::ScopedInstance use(s.inst);
    IpcInit();
    ipc::IpcTcpIpBackendSet(&posix);
    IpcNetTcpIpInitDriver();
    ASSERT_EQ(IpcNetNodeInfoCreate(0, "OWN", s.own, 20), 0);
    ASSERT_EQ(IpcNetNodeInfoCreate(s.peerIndx, "PEER", s.peer, 5), s.peerIndx);
    s.sock = ipc::IpcSockOpen(s.peerIndx);
    ASSERT_NE(s.sock, 0);
    ASSERT_TRUE(ipc::IpcSockBind(s.sock, s.own, ipc::IpcSockLinkPort(s.peer)));
    ipc::IpcSockRemotePortSet(s.sock, ipc::IpcSockLinkPort(s.own));
    EXPECT_TRUE(TakeReports().empty());
  }
  for (int from = 0; from < 2; ++from) {
    const Side& tx = sides[from];
    const Side& rx = sides[1 - from];
    {
      ipc::ScopedInstance use(tx.inst);
      EXPECT_EQ(ipc::IpcSockSend(tx.sock, tx.peer, 0, 4, "link"), 4);
    }
    ipc::ScopedInstance use(rx.inst);
    char buf[8] = {};
    uint32_t addr = 0;
    uint16_t port = 0;
    uint16_t n = 0;
    for (int i = 0; i < 1000 && n == 0; ++i) {
      n = ipc::IpcSockRecv(rx.sock, &addr, &port, sizeof buf, buf);
      if (n == 0) ::usleep(1000);
    }
    EXPECT_EQ(n, 4) << "from side " << from;
    EXPECT_EQ(addr, tx.own);
    EXPECT_EQ(port, ipc::IpcSockLinkPort(rx.own));
    EXPECT_TRUE(TakeReports().empty());
  }
  for (Side& s : sides) {
    {
      ipc::ScopedInstance use(s.inst);
      IpcTerm();
    }
    ipc::DeleteInstance(s.inst);
  }
}

// ---------------------------------------------------------------------------
// The hooks

class Hooks : public Driver {
 protected:
  Hooks() : Driver(A(127, 0, 0, 11)) {}
};

TEST_F(Hooks, OpenHookSeesEachNewSocketBeforeTheDriverLooksAtIt) {
  InstallSocketOpenHook(OpenHook);
  const uint8_t e = ipc::IpcSockOpen(0);
  ASSERT_EQ(e, 1);
  ASSERT_EQ(g_hookCalls.size(), 1u);
  EXPECT_EQ(g_hookCalls[0].socket, static_cast<IpcSocket>(ipc::IpcSockOf(e)));
  EXPECT_FALSE(g_hookCalls[0].nonBlocking);  // not yet made non-blocking
  const int fd = ipc::IpcSockOf(e);
  EXPECT_NE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  int on = 0;
  socklen_t len = sizeof on;
  ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, &len), 0);
  EXPECT_EQ(on, 1);  // node 0's socket may broadcast
  ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, &len), 0);
  EXPECT_EQ(on, 1);
  const int linkFd = ipc::IpcSockOf(ipc::IpcSockOpen(3));
  ASSERT_EQ(::getsockopt(linkFd, SOL_SOCKET, SO_BROADCAST, &on, &len), 0);
  EXPECT_EQ(on, 0);  // a link socket may not
  EXPECT_EQ(g_hookCalls.size(), 2u);

  // A socket that cannot be created is shown to the hook too, before the
  // failure is reported; its entry stays free.
  FaultyBackend faulty(posix_);
  faulty.openError = net::err::kTooManyFiles;
  ipc::IpcTcpIpBackendSet(&faulty);  // closes the two sockets
  g_hookCalls.clear();
  EXPECT_EQ(ipc::IpcSockOpen(5), 0);
  ASSERT_EQ(g_hookCalls.size(), 1u);
  EXPECT_EQ(g_hookCalls[0].socket, static_cast<IpcSocket>(static_cast<intptr_t>(-1)));
  EXPECT_EQ(g_hookCalls[0].reportsBefore, 0u);
  ExpectOneReport(net::err::kTooManyFiles, IPC_SEV_INTERNAL, "open failed");
  EXPECT_EQ(ipc::IpcSockErrorGet(5, nullptr), net::err::kTooManyFiles);
  EXPECT_EQ(ipc::IpcSockUsedCount(), 0);

  // Hooks stay installed across IpcInit.
  faulty.openError = 0;
  IpcInit();
  g_hookCalls.clear();
  EXPECT_EQ(ipc::IpcSockOpen(0), 1);
  EXPECT_EQ(g_hookCalls.size(), 1u);
  InstallSocketOpenHook(nullptr);
  EXPECT_EQ(ipc::IpcSockOpen(1), 2);
  EXPECT_EQ(g_hookCalls.size(), 1u);
  IpcTerm();
  ipc::IpcTcpIpBackendSet(&posix_);
}

TEST_F(Hooks, DebugHookSeesEverySendAttemptFirst) {
  constexpr uint16_t kPort = 23521;
  const uint8_t rx = OpenBound(4, A(127, 0, 0, 11), kPort);
  const uint8_t tx = OpenBound(5, A(127, 0, 0, 11), kPort + 1);
  ipc::IpcSockRemotePortSet(tx, kPort);
  InstallDebugHook(DebugHookFn);

  // A send that goes out.
  EXPECT_EQ(ipc::IpcSockSend(tx, A(127, 0, 0, 11), 0, 3, "abc"), 3);
  ASSERT_EQ(g_hookCalls.size(), 1u);
  EXPECT_EQ(g_hookCalls[0].direction, IPC_DEBUG_DIR_SEND);
  EXPECT_EQ(g_hookCalls[0].bytes, (std::vector<uint8_t>{'a', 'b', 'c'}));
  ExpectNoReport("send");

  // A send the stack refuses: the hook ran before the failure was reported.
  FaultyBackend faulty(posix_);
  ipc::Cur().tcpip.backend = &faulty;  // same sockets, failing sends
  faulty.sendError = net::err::kNoBuffers;
  g_hookCalls.clear();
  EXPECT_EQ(ipc::IpcSockSend(tx, A(127, 0, 0, 11), 0, 2, "de"), 0);
  ASSERT_EQ(g_hookCalls.size(), 1u);
  EXPECT_EQ(g_hookCalls[0].reportsBefore, 0u);
  ExpectOneReport(net::err::kNoBuffers, IPC_SEV_INTERNAL, "send failed");
  EXPECT_EQ(ipc::IpcSockErrorGet(5, nullptr), net::err::kNoBuffers);
  ipc::Cur().tcpip.backend = &posix_;

  // A send on an entry that turns out to be free.
  ipc::IpcSockClose(tx);
  g_hookCalls.clear();
  EXPECT_EQ(ipc::IpcSockSend(tx, A(127, 0, 0, 11), kPort, 1, "f"), 0);
  ASSERT_EQ(g_hookCalls.size(), 1u);
  EXPECT_EQ(g_hookCalls[0].direction, IPC_DEBUG_DIR_SEND);
  EXPECT_EQ(g_hookCalls[0].reportsBefore, 0u);
  ExpectOneReport(IPC_ERR_SOCKET, IPC_SEV_ARG, "send on a free entry");

  // Entries outside the table and null data are refused before the hook.
  g_hookCalls.clear();
  EXPECT_EQ(ipc::IpcSockSend(0, A(127, 0, 0, 11), kPort, 1, "g"), 0);
  EXPECT_EQ(ipc::IpcSockSend(101, A(127, 0, 0, 11), kPort, 1, "g"), 0);
  EXPECT_EQ(ipc::IpcSockSend(rx, A(127, 0, 0, 11), kPort, 1, nullptr), 0);
  EXPECT_TRUE(g_hookCalls.empty());
  auto r = TakeReports();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].ErrCode, IPC_ERR_SOCKET);
  EXPECT_EQ(r[1].ErrCode, IPC_ERR_SOCKET);
  EXPECT_EQ(r[2].ErrCode, IPC_ERR_STATE);
}

TEST_F(Hooks, DebugHookSeesEachDatagramReceivedAndNothingWhenIdle) {
  constexpr uint16_t kPort = 23531;
  const uint8_t rx = OpenBound(4, A(127, 0, 0, 11), kPort);
  const uint8_t tx = OpenBound(5, A(127, 0, 0, 11), kPort + 1);
  InstallDebugHook(DebugHookFn);

  // Idle: nothing, no report, no hook.
  char buf[32];
  uint32_t from = 7;
  uint16_t port = 7;
  EXPECT_EQ(ipc::IpcSockRecv(rx, &from, &port, sizeof buf, buf), 0);
  EXPECT_EQ(from, 7u);
  EXPECT_TRUE(g_hookCalls.empty());
  ExpectNoReport("idle receive");

  // An empty datagram is taken without the hook.
  ASSERT_EQ(ipc::IpcSockSend(tx, A(127, 0, 0, 11), kPort, 0, ""), 0);
  ExpectNoReport("empty send");
  ::usleep(10000);
  EXPECT_EQ(ipc::IpcSockRecv(rx, nullptr, nullptr, sizeof buf, buf), 0);
  ASSERT_EQ(g_hookCalls.size(), 1u);  // the send attempt only
  g_hookCalls.clear();

  ASSERT_EQ(ipc::IpcSockSend(tx, A(127, 0, 0, 11), kPort, 5, "hello"), 5);
  g_hookCalls.clear();
  std::memset(buf, 0, sizeof buf);
  EXPECT_EQ(Receive(rx, buf, sizeof buf, &from, &port), 5);
  EXPECT_EQ(from, A(127, 0, 0, 11));
  EXPECT_EQ(port, kPort + 1);
  ASSERT_EQ(g_hookCalls.size(), 1u);
  EXPECT_EQ(g_hookCalls[0].direction, IPC_DEBUG_DIR_RECV);
  EXPECT_EQ(g_hookCalls[0].bytes, (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
  ExpectNoReport("receive");
}

// ---------------------------------------------------------------------------
// The socket table

class SocketTable : public Driver {
 protected:
  SocketTable() : Driver(A(127, 0, 0, 31)) {}
};

TEST_F(SocketTable, HundredSocketsThenAllSocketsUsed) {
  const std::size_t fdsBefore = OpenDescriptors();
  ASSERT_EQ(IpcNetNodeInfoCreate(9, "N9", A(127, 0, 0, 32), 5), 9);
  for (int i = 1; i <= 100; ++i) {
    ASSERT_EQ(ipc::IpcSockOpen(static_cast<uint8_t>(i % 100)), i);
  }
  ExpectNoReport("100 sockets");
  // The last entry can be recorded for its node.
  EXPECT_TRUE(ipc::IpcNetNodeSockIndxSet(9, 100));
  EXPECT_EQ(ipc::IpcNetNodeSockIndxGet(9), 100);
  EXPECT_NE(ipc::IpcSockOf(100), net::kInvalidSocket);

  EXPECT_EQ(ipc::IpcSockOpen(9), 0);
  ExpectOneReport(IPC_ERR_SOCKET, IPC_SEV_INTERNAL, "101st socket");
  char text[31];
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(ipc::IpcSockErrorGet(9, text), IPC_ERR_SOCKET);
  EXPECT_STREQ(text, "All sockets used");

  // A freed entry is taken again, the lowest first.
  ipc::IpcSockClose(57);
  ipc::IpcSockClose(12);
  EXPECT_EQ(ipc::IpcSockOpen(9), 12);
  EXPECT_EQ(ipc::IpcSockOpen(9), 57);
  ExpectNoReport("reuse");
  // Nothing but a reset clears a node's socket error.
  EXPECT_EQ(ipc::IpcSockErrorGet(9, nullptr), IPC_ERR_SOCKET);

  IpcInit();
  EXPECT_EQ(ipc::IpcSockUsedCount(), 0);
  EXPECT_EQ(ipc::IpcSockErrorGet(9, text), 0);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(OpenDescriptors(), fdsBefore);
}

// IpcInit again and IpcTerm close what is open: no descriptor is left and
// the ports are free for the next start.
TEST_F(SocketTable, ResetAndStopCloseEverySocket) {
  constexpr uint16_t kPort = 23541;
  const std::size_t fdsBefore = OpenDescriptors();
  for (const char* how : {"IpcInit", "IpcTerm"}) {
    SCOPED_TRACE(how);
    IpcInit();
    IpcNetTcpIpInitDriver();
    ASSERT_EQ(IpcNetNodeInfoCreate(0, "PC", own_, 20), 0);
    TakeReports();
    const uint8_t n0 = OpenBound(0, ipc::kIpcAnyAddress, kPort);
    OpenBound(3, own_, kPort + 1);
    OpenBound(4, own_, kPort + 2);
    // The three sockets and the readiness set that watches them.
    EXPECT_EQ(OpenDescriptors(), fdsBefore + 4);
    ipc::IpcSockErrorSet(3, 10054, nullptr);
    if (std::string(how) == "IpcInit") {
      IpcInit();
    } else {
      IpcTerm();
      IpcInit();
    }
    EXPECT_EQ(OpenDescriptors(), fdsBefore);
    EXPECT_EQ(ipc::IpcSockUsedCount(), 0);
    EXPECT_EQ(ipc::IpcSockOf(n0), net::kInvalidSocket);
    EXPECT_EQ(ipc::IpcSockErrorGet(3, nullptr), 0);
    EXPECT_EQ(posix_.OpenCount(), 0u);
    // The ports can be bound again, without reuse-address.
    IpcNetTcpIpInitDriver();
    TakeReports();
    const uint8_t again = ipc::IpcSockOpen(3);
    EXPECT_TRUE(ipc::IpcSockBind(again, own_, kPort + 1));
    ExpectNoReport("bind again");
  }
}

TEST_F(SocketTable, BindToABusyPortRecordsAddressInUse) {
  constexpr uint16_t kPort = 23551;
  const uint8_t first = OpenBound(5, own_, kPort);
  const uint8_t second = ipc::IpcSockOpen(6);
  EXPECT_FALSE(ipc::IpcSockBind(second, own_, kPort));
  ExpectOneReport(net::err::kAddrInUse, IPC_SEV_INTERNAL, "busy port");
  char text[31];
  EXPECT_EQ(ipc::IpcSockErrorGet(6, text), 10048);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(ipc::IpcSockErrorGet(5, nullptr), 0);
  // An address this host does not have.
  EXPECT_FALSE(ipc::IpcSockBind(second, A(10, 254, 254, 1), kPort));
  ExpectOneReport(net::err::kAddrNotAvail, IPC_SEV_INTERNAL, "foreign address");
  EXPECT_EQ(ipc::IpcSockErrorGet(6, nullptr), 10049);
  // The entries stay usable.
  EXPECT_TRUE(ipc::IpcSockBind(second, own_, kPort + 1));
  EXPECT_NE(ipc::IpcSockOf(first), net::kInvalidSocket);
}

TEST_F(SocketTable, OversizeDatagramIsAFailureAndNeverOverrunsTheBuffer) {
  constexpr uint16_t kPort = 23561;
  const uint8_t rx = OpenBound(4, own_, kPort);
  const uint8_t tx = OpenBound(5, own_, kPort + 1);
  InstallDebugHook(DebugHookFn);
  std::vector<uint8_t> big(300, 0xAB);
  ASSERT_EQ(ipc::IpcSockSend(tx, own_, kPort, static_cast<uint16_t>(big.size()), big.data()), 300);
  ASSERT_EQ(ipc::IpcSockSend(tx, own_, kPort, 2, "ok"), 2);
  g_hookCalls.clear();
  TakeReports();

  uint8_t buf[64 + 8];
  std::memset(buf, 0x11, sizeof buf);
  uint16_t n = 0;
  for (int i = 0; i < 1000 && Reports().empty(); ++i) {
    n = ipc::IpcSockRecv(rx, nullptr, nullptr, 64, buf);
    if (Reports().empty()) ::usleep(1000);
  }
  EXPECT_EQ(n, 0);
  ExpectOneReport(net::err::kMessageSize, IPC_SEV_INTERNAL, "datagram too long");
  EXPECT_EQ(ipc::IpcSockErrorGet(4, nullptr), net::err::kMessageSize);
  EXPECT_TRUE(g_hookCalls.empty());
  for (std::size_t i = 64; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 0x11) << i;
  // The next datagram comes through.
  EXPECT_EQ(Receive(rx, buf, 64), 2);
  EXPECT_EQ(std::memcmp(buf, "ok", 2), 0);
}

TEST_F(SocketTable, InAPassOnlySocketsWithDataAreAskedAndOneCallBringsSeveralDatagrams) {
  constexpr uint16_t kPort = 23571;
  const uint8_t a = OpenBound(4, own_, kPort);
  const uint8_t b = OpenBound(5, own_, kPort + 1);
  const uint8_t tx = OpenBound(6, own_, kPort + 2);
  for (const char* t : {"one", "two", "three", "four", "five"}) {
    const auto n = static_cast<uint16_t>(std::strlen(t));
    ASSERT_EQ(ipc::IpcSockSend(tx, own_, kPort + 1, n, t), n);
  }
  // On loopback the datagrams are queued before the sends return.
  const IpcSockCounters before = ipc::IpcSockCountersGet();
  ipc::IpcSockReadyBegin();
  char buf[kIpcSockStashSize];
  uint32_t from = 0;
  uint16_t port = 0;
  EXPECT_EQ(ipc::IpcSockRecv(a, nullptr, nullptr, sizeof buf, buf), 0);  // not asked
  std::string got;
  while (uint16_t n = ipc::IpcSockRecv(b, &from, &port, sizeof buf, buf)) got += std::string(buf, n) + " ";
  EXPECT_EQ(got, "one two three four five ");
  EXPECT_EQ(from, own_);
  EXPECT_EQ(port, kPort + 2);
  ipc::IpcSockReadyEnd();
  const IpcSockCounters& after = ipc::IpcSockCountersGet();
  EXPECT_EQ(after.looks - before.looks, 1u);
  // Two calls for five datagrams; the second brought fewer than it asked
  // for, so the socket was known empty without a call that finds nothing.
  EXPECT_EQ(after.recvCalls - before.recvCalls, 2u);
  EXPECT_EQ(after.recvEmpty - before.recvEmpty, 0u);
  EXPECT_EQ(after.recvSkipped - before.recvSkipped, 2u);  // a, then b once empty

  // Outside a pass every receive asks its socket.
  EXPECT_EQ(ipc::IpcSockRecv(a, nullptr, nullptr, sizeof buf, buf), 0);
  EXPECT_EQ(ipc::IpcSockCountersGet().recvEmpty - before.recvEmpty, 1u);
}

TEST_F(SocketTable, RefusedArguments) {
  const uint8_t used = ipc::IpcSockOpen(3);
  const uint8_t freed = ipc::IpcSockOpen(4);
  ipc::IpcSockClose(freed);
  ExpectNoReport("setup");
  char buf[8];
  const struct {
    const char* what;
    std::function<void()> call;
    uint16_t code;
    uint8_t severity;
  } cases[] = {
      {"bind entry 0", [] { EXPECT_FALSE(ipc::IpcSockBind(0, 0, 1)); }, IPC_ERR_SOCKET, IPC_SEV_ARG},
      {"bind entry 101", [] { EXPECT_FALSE(ipc::IpcSockBind(101, 0, 1)); }, IPC_ERR_SOCKET,
       IPC_SEV_ARG},
      {"bind a free entry", [&] { EXPECT_FALSE(ipc::IpcSockBind(freed, 0, 1)); }, IPC_ERR_SOCKET,
       IPC_SEV_ARG},
      {"remote port on a free entry", [&] { ipc::IpcSockRemotePortSet(freed, 9); }, IPC_ERR_SOCKET,
       IPC_SEV_ARG},
      {"receive entry 0", [&] { EXPECT_EQ(ipc::IpcSockRecv(0, nullptr, nullptr, 8, buf), 0); },
       IPC_ERR_SOCKET, IPC_SEV_ARG},
      {"receive into null", [&] { EXPECT_EQ(ipc::IpcSockRecv(used, nullptr, nullptr, 8, nullptr), 0); },
       IPC_ERR_STATE, IPC_SEV_ARG},
      {"receive on a free entry",
       [&] { EXPECT_EQ(ipc::IpcSockRecv(freed, nullptr, nullptr, 8, buf), 0); }, IPC_ERR_SOCKET,
       IPC_SEV_ARG},
      {"close a free entry", [&] { ipc::IpcSockClose(freed); }, IPC_ERR_SOCKET, IPC_SEV_ARG},
      {"close entry 101", [] { ipc::IpcSockClose(101); }, IPC_ERR_SOCKET, IPC_SEV_ARG},
      {"open for node 100", [] { EXPECT_EQ(ipc::IpcSockOpen(100), 0); }, IPC_ERR_NET_NODE_INDX,
       IPC_SEV_ARG},
      {"open for node 255", [] { EXPECT_EQ(ipc::IpcSockOpen(255), 0); }, IPC_ERR_NET_NODE_INDX,
       IPC_SEV_ARG},
      {"error of node 100", [] { ipc::IpcSockErrorSet(100, 1, nullptr); }, IPC_ERR_NET_NODE_INDX,
       IPC_SEV_INTERNAL},
  };
  for (const auto& c : cases) {
    c.call();
    ExpectOneReport(c.code, c.severity, c.what);
  }
  EXPECT_EQ(ipc::IpcSockUsedCount(), 1);
  // Reading an invalid node's error gives 10 and an empty text, quietly.
  char text[31] = "x";
  EXPECT_EQ(ipc::IpcSockErrorGet(100, text), IPC_ERR_NET_NODE_INDX);
  EXPECT_STREQ(text, "");
  ExpectNoReport("error get");
  // A long text is cut at 30 characters.
  ipc::IpcSockErrorSet(3, 7, "0123456789012345678901234567890123456789");
  EXPECT_EQ(ipc::IpcSockErrorGet(3, text), 7);
  EXPECT_STREQ(text, "012345678901234567890123456789");
}

TEST_F(SocketTable, CloseFailureIsRecordedAndTheEntryFreed) {
  FaultyBackend faulty(posix_);
  ipc::IpcTcpIpBackendSet(&faulty);
  const uint8_t e = ipc::IpcSockOpen(8);
  faulty.closeError = net::err::kNetDown;
  ipc::IpcSockClose(e);
  ExpectOneReport(net::err::kNetDown, IPC_SEV_INTERNAL, "close failed");
  EXPECT_EQ(ipc::IpcSockErrorGet(8, nullptr), net::err::kNetDown);
  EXPECT_EQ(ipc::IpcSockOf(e), net::kInvalidSocket);
  EXPECT_EQ(posix_.OpenCount(), 0u);
  ipc::IpcTcpIpBackendSet(&posix_);
}

}  // namespace
