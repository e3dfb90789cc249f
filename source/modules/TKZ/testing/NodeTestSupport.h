// Fakes for the node table tests: a library that answers from a small model
// of its node table, locations and clients and records every call, and a
// host that keeps what the tables hand back.  One thread; ticks are manual.
#pragma once

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <algorithm>
#include <tuple>
#include <vector>

#include "CommNodes.h"
#include "LogBuffer.h"
#include "RackMsg.h"
#include "TestSupport.h"
#include "platform/time/fake_clock.h"

class FakeNodeLibrary final : public NodeLibrary {
 public:
  struct NetNode {
    NetNode(uint8_t l = IPC_LINK_STATUS_OK, uint8_t s = IPC_NODE_STATUS_ONLINE, uint16_t t = 0xFFFF)
        : link(l), status(s), txHead(t) {}
    uint8_t link;
    uint8_t status;
    uint16_t txHead;  // 0xFFFF: nothing waits
  };
  // address -> net node index, and each index's state.
  std::map<uint32_t, uint8_t> indexOf;
  std::map<uint8_t, NetNode> nodes;
  // Server indexes whose clients have their net handles.
  std::set<uint8_t> attachedKrn, attachedFtp;
  // Set to make the next client creations fail.
  bool refuseClients = false;
  // Requests the transmit queue still takes; -1: any number.  At 0 a
  // request is not queued (IPC_NOT_QUEUED) and not recorded.
  int queueRoom = -1;

  struct Call {
    std::string name;
    uint8_t type = 0, index = 0, handle = 0;
  };
  std::vector<Call> calls;
  std::vector<std::vector<uint8_t>> requests;  // IpcComProc, as sent

  void Know(uint32_t address, uint8_t idx) { Know(address, idx, NetNode(IPC_LINK_STATUS_OK)); }
  void Know(uint32_t address, uint8_t idx, NetNode n) {
    indexOf[address] = idx;
    nodes[idx] = n;
  }
  void Forget(uint32_t address) { indexOf.erase(address); }
  NetNode& At(uint32_t address) { return nodes[indexOf.at(address)]; }

  // Client slots in use, by (type, server index).
  size_t LiveClients() const { return comProcs_.size() + evnts_.size(); }
  size_t LiveLocations() const { return locations_.size(); }
  bool Located(uint8_t type, uint8_t index) const { return locations_.count({type, index}) != 0; }

  // Names of the calls since the last Clear, as "Name(type,index)".
  std::vector<std::string> Names() const {
    std::vector<std::string> out;
    for (const Call& c : calls) out.push_back(c.name);
    return out;
  }
  // Procedures of the IO_KRN requests (byte 4), with the open-port
  // sub-command for procedure 1 ("1/3" open, "1/0" close).
  std::vector<std::string> KrnRequests() const {
    std::vector<std::string> out;
    for (const auto& r : requests) {
      if (r[2] != IPC_SVR_IO_KRN) continue;
      std::string s = std::to_string(r[4]);
      if (r[4] == 1) s += "/" + std::to_string(r[21]) + "@" + std::to_string(r[22] - 1);
      out.push_back(s);
    }
    return out;
  }
  void Clear() {
    calls.clear();
    requests.clear();
  }

  // Delivers an event to the event client of (type, index), as the
  // library's poll would.
  bool Raise(uint8_t type, uint8_t index, uint16_t code, std::vector<uint8_t> data) {
    for (auto& [key, c] : evnts_) {
      if (std::get<0>(key) != type || std::get<1>(key) != index) continue;
      std::vector<uint8_t> bytes(sizeof(IpcEvntHdr) + data.size());
      IpcEvntHdr h{};
      h.length = static_cast<uint16_t>(bytes.size());
      h.evntCode = code;
      h.svrType = type;
      h.svrIndx = index;
      std::memcpy(bytes.data(), &h, sizeof h);
      if (!data.empty()) std::memcpy(bytes.data() + sizeof h, data.data(), data.size());
      c.fn(reinterpret_cast<const IpcEvntHdr*>(bytes.data()), c.user);
      return true;
    }
    return false;
  }

  uint8_t IpcNetNodeAddrExists(uint32_t addr) override {
    auto it = indexOf.find(addr);
    return it == indexOf.end() ? 255 : it->second;
  }
  IpcNetNodeLinkStatus IpcNetNodeLinkStatusGet(uint8_t i) override { return nodes[i].link; }
  IpcNetNodeStatus IpcNetNodeStatusGet(uint8_t i) override { return nodes[i].status; }
  uint32_t IpcNetNodeAddrGet(uint8_t) override { return 0x7F000001; }
  uint16_t IpcNetNodeBufStateGet(uint8_t i, uint16_t* head, uint16_t* tail) override {
    *head = *tail = nodes[i].txHead;
    return *tail;
  }
  void IpcSvrLocationSet(uint8_t t, uint8_t i, uint8_t, uint8_t, uint8_t, int32_t, int32_t,
                         int32_t, int32_t) override {
    Record("IpcSvrLocationSet", t, i);
    locations_.insert({t, i});
  }
  void IpcSvrLocationDestroy(uint8_t t, uint8_t i) override {
    Record("IpcSvrLocationDestroy", t, i);
    locations_.erase({t, i});
  }
  IpcErrCode IpcClntComProcCreate(uint8_t t, uint8_t i, const char* version,
                                  uint8_t* handle) override {
    Record(std::string("IpcClntComProcCreate/") + version, t, i);
    *handle = 0;
    if (refuseClients) return IPC_ERR_NO_FREE_CLNT;
    *handle = FreeHandle(comProcs_, t, i);
    if (*handle == 0) return IPC_ERR_NO_FREE_CLNT;
    comProcs_[{t, i, *handle}] = {};
    return IPC_ERR_NONE;
  }
  IpcErrCode IpcClntEvntCreate(uint8_t t, uint8_t i, IpcClntEvntFn fn, const char* version,
                               uint8_t* handle, intptr_t user) override {
    Record(std::string("IpcClntEvntCreate/") + version, t, i);
    *handle = 0;
    if (refuseClients) return IPC_ERR_NO_FREE_CLNT;
    *handle = FreeHandle(evnts_, t, i);
    if (*handle == 0) return IPC_ERR_NO_FREE_CLNT;
    evnts_[{t, i, *handle}] = {fn, user};
    return IPC_ERR_NONE;
  }
  void IpcClntComProcDestroy(uint8_t t, uint8_t i, uint8_t h) override {
    Record("IpcClntComProcDestroy", t, i, h);
    comProcs_.erase({t, i, h});
  }
  void IpcClntEvntDestroy(uint8_t t, uint8_t i, uint8_t h) override {
    Record("IpcClntEvntDestroy", t, i, h);
    evnts_.erase({t, i, h});
  }
  uint8_t IpcClntComProcNetHandleGet(uint8_t t, uint8_t i, uint8_t h) override {
    return comProcs_.count({t, i, h}) != 0 && Attached(t, i) ? 7 : 0;
  }
  uint8_t IpcClntEvntNetHandleGet(uint8_t t, uint8_t i, uint8_t h) override {
    return evnts_.count({t, i, h}) != 0 && Attached(t, i) ? 8 : 0;
  }
  int IpcComProc(IpcComProcHdr* request) override {
    if (queueRoom == 0) return IPC_NOT_QUEUED;
    if (queueRoom > 0) --queueRoom;
    const auto* p = reinterpret_cast<const uint8_t*>(request);
    requests.emplace_back(p, p + request->length);
    return 1;
  }

 private:
  using Key = std::tuple<uint8_t, uint8_t, uint8_t>;
  struct Evnt {
    IpcClntEvntFn fn = nullptr;
    intptr_t user = 0;
  };
  template <typename M>
  static uint8_t FreeHandle(const M& m, uint8_t t, uint8_t i) {
    for (uint8_t h = 1; h <= IPC_MAX_CLNTS; ++h)
      if (m.count({t, i, h}) == 0) return h;
    return 0;
  }
  bool Attached(uint8_t t, uint8_t i) const {
    return t == IPC_SVR_IO_KRN ? attachedKrn.count(i) != 0 : attachedFtp.count(i) != 0;
  }
  void Record(std::string name, uint8_t t, uint8_t i, uint8_t h = 0) {
    calls.push_back({name + "(" + std::to_string(t) + "," + std::to_string(i) + ")", t, i, h});
  }

  std::set<std::pair<uint8_t, uint8_t>> locations_;
  std::map<Key, int> comProcs_;
  std::map<Key, Evnt> evnts_;
};

class FakeNodesHost final : public CommNodesHost {
 public:
  struct Status {
    bool online;
    uint32_t nodeId;
    bool operator==(const Status&) const = default;
  };
  // What a returned or posted message carried.
  struct Back {
    uint32_t rack;
    uint16_t rcode;
    std::vector<uint8_t> response;  // responseLength bytes of the response area
    uint16_t command;
    uint32_t reqNum;
  };
  bool shuttingDown = false;
  std::vector<Status> posts;
  std::vector<std::pair<uint32_t, uint16_t>> returned;  // (rack, Rcode)
  std::vector<Back> back;          // every returned message, in order
  std::vector<Back> rackEvents;    // WM_DOC_RACK_EVENT
  std::vector<uint32_t> rackDown;  // WM_DOC_RACK_STATUS
  std::vector<uint32_t> syncs;     // command 57 asked for

  static Back Take(const RackMsg* msg) {
    const size_t n = std::min<size_t>(msg->responseLength, kRackMsgResponseSize);
    return {msg->Rack, msg->Rcode, std::vector<uint8_t>(msg->response, msg->response + n),
            msg->Command(), msg->ReqNum};
  }

  ~FakeNodesHost() override = default;
  void ReturnMsg(RackMsg* msg) override {
    returned.emplace_back(msg->Rack, msg->Rcode);
    back.push_back(Take(msg));
    FreeRackMsg(msg);
  }
  void PostRackEvent(RackMsg* msg) override {
    rackEvents.push_back(Take(msg));
    FreeRackMsg(msg);
  }
  void PostRackStatus(uint32_t rack) override { rackDown.push_back(rack); }
  void SendSyncFaultEvents(uint32_t rack) override { syncs.push_back(rack); }
  void PostNodeStatus(bool online, uint32_t nodeId) override { posts.push_back({online, nodeId}); }
  bool ShuttingDown() const override { return shuttingDown; }
};

// Tables over the fakes, with the log captured.
struct NodesRig {
  NodesRig() : log(clock, dir.path()) {
    g_bTimeStampLog = false;
    g_bIpcCommDebug = true;
    g_bCommDebug = true;
    log.AddObserver(&seen);
  }

  void AddNode(uint32_t id, uint32_t address, std::vector<uint8_t> ports = {1, 0, 0, 0, 0, 0}) {
    NodeDesc d{id, address, "node", {}};
    for (size_t s = 0; s < ports.size() && s < kPortSlots; ++s) d.portFlags[s] = ports[s];
    nodes.OnAddNode(d);
  }
  void AddRack(uint32_t id, uint32_t rack, uint8_t slot) { nodes.OnAddRack({id, rack, slot}); }
  // A node load with these nodes (id, address, ports).
  struct N {
    uint32_t id, address;
    std::vector<uint8_t> ports;
  };
  struct R {
    uint32_t node, rack;
    uint8_t slot;
  };
  void Load(const std::vector<N>& ns, const std::vector<R>& rs) {
    nodes.OnLoadPhase(LOAD_PHASE_BEGIN | LOAD_PHASE_RACKS | LOAD_PHASE_NODES);
    for (const N& n : ns) AddNode(n.id, n.address, n.ports);
    for (const R& r : rs) AddRack(r.node, r.rack, r.slot);
    nodes.OnLoadPhase(LOAD_PHASE_RACKS | LOAD_PHASE_NODES | LOAD_PHASE_END);
  }
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) nodes.Tick();
  }
  uint32_t State(uint32_t id) const {
    const NodeEntry* n = nodes.FindNode(id);
    return n == nullptr ? 0 : n->state;
  }
  // Answers the outstanding port open of the node with a port index.
  bool AnswerOpen(uint32_t id, uint8_t index) {
    const NodeEntry* n = nodes.FindNode(id);
    return n != nullptr && lib.Raise(IPC_SVR_IO_KRN, n->clientId, 260, {index});
  }
  int CountLogged(const std::string& line) const {
    int k = 0;
    for (const std::string& l : seen.lines()) k += l == line;
    return k;
  }
  bool Logged(const std::string& line) const { return CountLogged(line) > 0; }
  // Connects the node all the way to Online with its ports opened (indexes
  // from 10 upwards).
  void BringOnline(uint32_t id, uint32_t address, uint8_t idx) {
    lib.Know(address, idx);
    const NodeEntry* n = nodes.FindNode(id);
    lib.attachedKrn.insert(n->clientId);
    nodes.Tick();  // Unknown -> Connecting
    nodes.Tick();  // Connecting -> Online, first open sent
    for (uint8_t i = 10; i < 16 && (nodes.FindNode(id)->flags & NODE_FLAG_PORT_OPENING) != 0; ++i)
      AnswerOpen(id, i);
  }

  FlagGuard flags;
  TempDir dir;
  platform::time::FakeClock clock;
  LogBuffer log;
  RecordingObserver seen;
  FakeNodeLibrary lib;
  FakeNodesHost host;
  CommNodes nodes{lib, host};
};
