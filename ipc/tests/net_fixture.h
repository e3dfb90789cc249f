// Two library instances on an in-memory network segment with one fake
// clock: "the PC" (192.168.1.5) and "the node" (192.168.1.20), each with
// the other in its node table at index 1.  The clock is the hub's virtual
// time; every poll writes it into IpcCurrentTime as the host would.
//
// Event traffic: each side locates server 22/1 on the other (host handle 1)
// and keeps an event client on it, so events sent to index 1 with svrType
// 22 and host handle 1 are delivered to the receiving side's callback,
// which records them in that side's `received`.
#ifndef IPC_TESTS_NET_FIXTURE_H
#define IPC_TESTS_NET_FIXTURE_H

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "ipc_fixture.h"
#include "ipcinst.h"
#include "ipcnet.h"
#include "ipcnetdb.h"
#include "ipctcpip.h"
#include "net/hub.h"
#include "tessio32.h"

namespace ipctest {

constexpr uint32_t kPcAddr = 0xC0A80105u;    // 192.168.1.5
constexpr uint32_t kNodeAddr = 0xC0A80114u;  // 192.168.1.20
constexpr uint8_t kPeer = 1;                 // each side's index of the other
constexpr uint16_t kTestEvntCode = 300;

// The IpcTime of a count of milliseconds (hour, minute, second, hundredths).
inline IpcTime TimeOfMs(uint64_t ms) {
  return IPC_TIME_MAKE((ms / 3600000) % 24, (ms / 60000) % 60, (ms / 1000) % 60, (ms / 10) % 100);
}

// An event of `length` bytes (18 to 1250) for server 22/1 (host handle 1),
// whose data carries `serial` in its first four bytes when there is room.
inline std::vector<uint8_t> TestEvnt(uint16_t length, uint32_t serial) {
  std::vector<uint8_t> e(length, 0);
  for (size_t i = sizeof(IpcEvntHdr); i < e.size(); ++i) e[i] = static_cast<uint8_t>(i * 7 + serial);
  IpcEvntHdr h{};
  h.length = length;
  h.evntCode = kTestEvntCode;
  h.svrType = IPC_SVR_IO_KRN;
  h.evntId = 1;
  h.hostKind = IPC_HOST_KIND_LOCAL;
  std::memcpy(h.version, "1.3c", 5);
  h.hostHandle = 1;
  std::memcpy(e.data(), &h, sizeof h);
  if (length >= sizeof(IpcEvntHdr) + 4) {
    std::memcpy(e.data() + sizeof(IpcEvntHdr), &serial, 4);
  }
  return e;
}

// A datagram that carries the routers' messages (server 18): their
// announcements, link requests and attachments, which run beside the
// traffic a test makes.
inline bool IsRouterDatagram(const std::vector<uint8_t>& b) {
  if (b.size() < 46 + sizeof(IpcEvntHdr)) return false;
  const uint8_t kind = b[10];
  if (kind == 1 || kind == 4) return b[46 + 2] == IPC_SVR_ROUTER;
  if (kind == 2 || kind == 5) return b[46 + 4] == IPC_SVR_ROUTER;
  return false;
}

inline uint32_t SerialOf(const std::vector<uint8_t>& e) {
  uint32_t s = 0;
  if (e.size() >= sizeof(IpcEvntHdr) + 4) std::memcpy(&s, e.data() + sizeof(IpcEvntHdr), 4);
  return s;
}

struct Side {
  const char* name = "";
  uint32_t addr = 0;
  uint32_t peerAddr = 0;
  std::unique_ptr<ipc::Instance, InstanceDeleter> inst;
  std::unique_ptr<net::Backend> backend;
  // Events delivered to this side's client of 22/1 on the peer, in order.
  std::vector<std::vector<uint8_t>> received;
  uint8_t evntClnt = 0;
};

inline void RecordEvnt(const IpcEvntHdr* event, intptr_t user) {
  auto* side = reinterpret_cast<Side*>(user);
  const auto* p = reinterpret_cast<const uint8_t*>(event);
  side->received.emplace_back(p, p + event->length);
}

class NetPair : public ::testing::Test {
 protected:
  // Virtual time of the hub's 0: 10:07:12.34, so slots do not start aligned.
  static constexpr uint64_t kEpochMs = 10 * 3600000ull + 7 * 60000 + 12340;

  void SetUp() override {
    Start(pc_, "PC", kPcAddr, kNodeAddr, 20);
    Start(node_, "NODE20", kNodeAddr, kPcAddr, 5);
  }

  uint64_t NowMs() const { return kEpochMs + hub_.Now(); }

  // A test may put its own backend between a side and the hub.
  virtual std::unique_ptr<net::Backend> WrapBackend(Side&, std::unique_ptr<net::Backend> b) {
    return b;
  }

  // Runs f with side s current and its clock written.
  template <typename F>
  void On(Side& s, F f) {
    ipc::ScopedInstance use(s.inst.get());
    IpcCurrentTime = TimeOfMs(NowMs());
    f();
  }

  // Creates the instance, starts its driver on the hub and its node-0 link,
  // enters the peer (offline, no link) and the event client on it.
  void Start(Side& s, const char* name, uint32_t addr, uint32_t peerAddr, uint8_t type) {
    s.name = name;
    s.addr = addr;
    s.peerAddr = peerAddr;
    s.inst.reset(ipc::NewInstance());
    s.backend = WrapBackend(s, hub_.AddHost(addr, name));
    On(s, [&] {
      IpcInit();
      ipc::IpcTcpIpBackendSet(s.backend.get());
      ASSERT_EQ(IpcNetNodeInfoCreate(0, name, addr, type), 0);
      IpcNetTcpIpInitDriver();
      ASSERT_TRUE(IpcNetTcpIpIsInitOk());
      ASSERT_TRUE(IpcNetNodeLinkInit());
      ASSERT_EQ(IpcNetNodeInfoCreate(kPeer, "PEER", peerAddr, 5), kPeer);
      IpcSvrLocationSet(IPC_SVR_IO_KRN, 1, IPC_HOST_KIND_LOCAL, 1, kPeer, 0, 0, 0, 0);
      ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_IO_KRN, 1, &RecordEvnt, "1.3c", &s.evntClnt,
                                  reinterpret_cast<intptr_t>(&s)),
                0);
      ipc::IpcStubClear();
    });
  }

  // Opens the link on both sides (what the routers do with procedure 5).
  void Link() {
    On(pc_, [] { ASSERT_TRUE(ipc::IpcNetLinkOpen(kPeer)); });
    On(node_, [] { ASSERT_TRUE(ipc::IpcNetLinkOpen(kPeer)); });
  }

  // One poll of a side, as the server's comm thread makes it.
  void Poll(Side& s, bool drainEvents = true) {
    On(s, [&] {
      IpcNetTcpIpTick();
      IpcNetDespatch();
      for (int i = 0; drainEvents && i < 30 && IpcEvntDespatch(); ++i) {
      }
    });
  }

  // Moves the clock by ms and polls both sides.
  void Step(uint64_t ms, bool drainPc = true, bool drainNode = true) {
    hub_.Advance(ms);
    Poll(pc_, drainPc);
    Poll(node_, drainNode);
  }

  // Queues an event on side s for its peer.
  bool SendEvnt(Side& s, const std::vector<uint8_t>& e) {
    bool ok = false;
    On(s, [&] {
      ok = ipc::IpcNetEvntSend(kPeer, reinterpret_cast<const IpcEvntHdr*>(e.data())) == 1;
    });
    return ok;
  }

  template <typename T>
  T Read(Side& s, const std::function<T()>& f) {
    T v{};
    On(s, [&] { v = f(); });
    return v;
  }

  IpcNetCounters Counters(Side& s) {
    return Read<IpcNetCounters>(s, [] { return ipc::IpcNetCountersGet(); });
  }

  bool QueueEmpty(Side& s) {
    return Read<bool>(s, [] { return ipc::IpcNetNodeSeqGet(kPeer).head == kIpcNoEntry; });
  }

  // The datagrams the hub carried from `from` to `to` (addresses), without
  // the routers' own traffic unless asked for.
  std::vector<net::Record> Traffic(uint32_t from, uint32_t to, bool withRouter = false) const {
    std::vector<net::Record> out;
    for (const net::Record& r : hub_.Records()) {
      if (!withRouter && IsRouterDatagram(r.bytes)) continue;
      if (r.from.address == from && r.to.address == to) out.push_back(r);
    }
    return out;
  }

  net::Hub hub_;
  Side pc_;
  Side node_;
};

}  // namespace ipctest

#endif
