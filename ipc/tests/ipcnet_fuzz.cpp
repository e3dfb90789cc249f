// Fuzz target of the datagram layer's receive path: each input is one
// datagram that arrives at the PC's link socket for node 1 (first byte
// even) or at its node-0 socket (odd), from the node's endpoint, with the
// receive sequence set from the second byte; the PC then runs a network
// poll and despatches its events.  The PC keeps a located remote server
// with an event client, and a local server with a procedure and a proxy
// client for node 1, so well-formed com-procs and events go all the way to
// delivery.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "ipcdb.h"
#include "ipcinst.h"
#include "ipcnet.h"
#include "ipcnetdb.h"
#include "ipctcpip.h"
#include "net/hub.h"
#include "tessio32.h"

namespace {

constexpr uint32_t kPc = 0xC0A80105u;    // 192.168.1.5
constexpr uint32_t kNode = 0xC0A80114u;  // 192.168.1.20

uint32_t g_calls = 0;
int Proc(const IpcComProcHdr*) { return ++g_calls; }
void OnEvnt(const IpcEvntHdr*, intptr_t) { ++g_calls; }

struct World {
  net::Hub hub;
  std::unique_ptr<net::Backend> pcHost = hub.AddHost(kPc, "PC");
  std::unique_ptr<net::Backend> nodeHost = hub.AddHost(kNode, "NODE");  // for its address
  ipc::Instance* inst = ipc::NewInstance();
  uint32_t ms = 0;

  World() {
    ipc::ScopedInstance use(inst);
    IpcInit();
    ipc::IpcTcpIpBackendSet(pcHost.get());
    IpcNetNodeInfoCreate(0, "PC", kPc, 20);
    IpcNetTcpIpInitDriver();
    IpcNetNodeLinkInit();
    IpcNetNodeInfoCreate(1, "NODE", kNode, 5);
    IpcSvrLocationSet(IPC_SVR_IO_KRN, 1, IPC_HOST_KIND_LOCAL, 1, 1, 0, 0, 0, 0);
    uint8_t h = 0;
    IpcClntEvntCreate(IPC_SVR_IO_KRN, 1, &OnEvnt, "1.3c", &h, 0);
    static const IpcComProcEntry kProcs[] = {{1, 0, &Proc}};
    IpcSvrAndSvcCreate(IPC_SVR_IO_KRN, 2, "1.3c", "020615", 10, kProcs, 1, nullptr, 0);
    IpcSvrLocationSet(IPC_SVR_IO_KRN, 2, IPC_HOST_KIND_LOCAL, 2, 0, 0, 0, 0, 0);
    IpcClntComProcCreate(IPC_SVR_IO_KRN, 2, "1.3c", &h);
    ipc::IpcClntNodeSet(IpcClntKind::kComProc, IPC_SVR_IO_KRN, 2, h, 1);
    ipc::IpcNetLinkOpen(1);
    ipc::IpcNetNodeSilenceTimeoutSet(1, 65000);
    hub.SetRecording(false);
  }
};

World& TheWorld() {
  static World* w = new World();
  return *w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  World& w = TheWorld();
  ipc::ScopedInstance use(w.inst);
  w.ms += 7;
  IpcCurrentTime = IPC_TIME_MAKE(0, (w.ms / 60000) % 60, (w.ms / 1000) % 60, (w.ms / 10) % 100);

  const bool toNode0 = (data[0] & 1) != 0;
  ipc::Cur().net.seq[1].lastRxSeq = data[1];
  const std::vector<uint8_t> dgram(data + 2, data + size);
  const uint16_t from = toNode0 ? 2510 : static_cast<uint16_t>(2515 + 5);
  const uint16_t to = toNode0 ? 2510 : static_cast<uint16_t>(2515 + 20);
  w.hub.Inject(net::Endpoint{kNode, from}, net::Endpoint{kPc, to}, dgram);

  IpcNetDespatch();
  for (int i = 0; i < 60 && IpcEvntDespatch(); ++i) {
  }
  // Keep the state bounded: the node stays online and linked, nothing
  // piles up in the queues.
  ipc::IpcNetTxFlush(0);
  ipc::IpcNetTxFlush(1);
  if (IpcNetNodeStatusGet(1) != IPC_NODE_STATUS_ONLINE || IpcNetNodeLinkStatusGet(1) != IPC_LINK_STATUS_OK) {
    ipc::IpcNetNodeStatusSet(1, IPC_NODE_STATUS_ONLINE);
    ipc::IpcNetLinkOpen(1);
  }
  return 0;
}
