// Test fixture for server locations, client slots, com-proc routing and
// the event ring: a fresh library instance after IpcInit, recording peers
// in place of the datagram layer, the router and local delivery, and a
// report sink on the log server.
#ifndef IPC_TESTS_DB_FIXTURE_H
#define IPC_TESTS_DB_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ipcdb.h"
#include "ipcevnt.h"
#include "ipcinst.h"
#include "ipcnetdb.h"
#include "tessio32.h"

namespace ipctest {

// One call a module made through IpcDbPeers.
struct PeerCall {
  std::string op;  // "comproc", "evnt", "need", "release", "attach", "detach", "deliver"
  IpcClntKind kind = IpcClntKind::kComProc;
  uint8_t node = 0;
  uint8_t svrType = 0;
  uint8_t hostHandle = 0;
  uint8_t hostKind = 0;
  uint8_t netHandle = 0;
  std::string version;
  uint16_t evntCode = 0;
};

class RecordingPeers : public IpcDbPeers {
 public:
  int ComProcSend(uint8_t node, const IpcComProcHdr* r) override {
    calls.push_back({.op = "comproc", .node = node, .svrType = r->svrType,
                     .hostHandle = r->hostHandle, .hostKind = r->hostKind});
    return comProcResult;
  }
  int EvntSend(uint8_t node, const IpcEvntHdr* e) override {
    calls.push_back({.op = "evnt", .node = node, .svrType = e->svrType, .evntCode = e->evntCode});
    return 1;
  }
  void LinkNeeded(uint8_t node) override { calls.push_back({.op = "need", .node = node}); }
  void LinkNotNeeded(uint8_t node) override {
    calls.push_back({.op = "release", .node = node});
    if (onRelease) onRelease(node);
  }
  void AttachReq(IpcClntKind kind, uint8_t node, uint8_t svrType, uint8_t hostHandle,
                 uint8_t hostKind, const char* version) override {
    calls.push_back({.op = "attach", .kind = kind, .node = node, .svrType = svrType,
                     .hostHandle = hostHandle, .hostKind = hostKind,
                     .version = std::string(version, strnlen(version, 8))});
  }
  void DetachReq(IpcClntKind kind, uint8_t node, uint8_t svrType, uint8_t hostHandle,
                 uint8_t hostKind, const char* version, uint8_t netHandle) override {
    calls.push_back({.op = "detach", .kind = kind, .node = node, .svrType = svrType,
                     .hostHandle = hostHandle, .hostKind = hostKind, .netHandle = netHandle,
                     .version = std::string(version, strnlen(version, 8))});
  }
  int SvcDeliver(const IpcComProcHdr* r) override {
    calls.push_back({.op = "deliver", .svrType = r->svrType, .hostHandle = r->hostHandle,
                     .hostKind = r->hostKind});
    return deliver ? deliver(r) : 0;
  }

  int Count(const std::string& op, int node = -1) const {
    int n = 0;
    for (const PeerCall& c : calls) {
      if (c.op == op && (node < 0 || c.node == node)) ++n;
    }
    return n;
  }

  std::vector<PeerCall> calls;
  int comProcResult = 0;
  std::function<int(const IpcComProcHdr*)> deliver;
  std::function<void(uint8_t)> onRelease;
};

// One error report as the log server's clients receive it.
struct Report {
  uint16_t code;
  uint8_t severity;
  uint8_t svr;
  uint8_t indx;
  std::string file;
};

class DbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    inst_ = ipc::NewInstance();
    prev_ = ipc::SwitchInstance(inst_);
    IpcInit();
    ipc::IpcDbPeersInstall(&peers);
  }

  void TearDown() override {
    ipc::IpcDbPeersInstall(nullptr);
    ipc::SwitchInstance(prev_);
    ipc::DeleteInstance(inst_);
  }

  // Locates the log server and puts a client on it that collects reports.
  // The reports then travel the ring like any other event.
  void EnableReports() {
    IpcSvrLocationSet(IPC_SVR_LOG, 1, IPC_HOST_KIND_LOCAL, 1, 0, 0, 0, 0, 0);
    uint8_t h = 0;
    ASSERT_EQ(IpcClntEvntCreate(IPC_SVR_LOG, 1, &DbTest::OnReport, "1.3c", &h,
                                reinterpret_cast<intptr_t>(this)),
              0);
    peers.calls.clear();
  }

  // Despatches every queued event and returns the reports among them.
  std::vector<Report> Reports() {
    for (int i = 0; i < 200 && IpcEvntDespatch(); ++i) {
    }
    std::vector<Report> out;
    out.swap(reports_);
    return out;
  }

  // The codes of the reports, in order.
  std::vector<uint16_t> ReportCodes() {
    std::vector<uint16_t> codes;
    for (const Report& r : Reports()) codes.push_back(r.code);
    return codes;
  }

  // A node entry, online with its link ok unless told otherwise.
  void AddNode(uint8_t node, uint32_t addr, uint8_t status = IPC_NODE_STATUS_ONLINE,
               uint8_t link = IPC_LINK_STATUS_OK) {
    const std::string name = "N" + std::to_string(node);
    ASSERT_EQ(IpcNetNodeInfoCreate(node, name.c_str(), addr, 20), node);
    ASSERT_TRUE(ipc::IpcNetNodeStatusSet(node, status));
    ASSERT_TRUE(ipc::IpcNetNodeLinkStatusSet(node, link));
  }

  RecordingPeers peers;

 private:
  static void OnReport(const IpcEvntHdr* e, intptr_t user) {
    auto* self = reinterpret_cast<DbTest*>(user);
    IpcLogEvnt r;
    std::memset(&r, 0, sizeof r);
    std::memcpy(&r, e, std::min<size_t>(e->length, sizeof r));
    self->reports_.push_back({r.ErrCode, static_cast<uint8_t>(r.hdr.evntCode - 1), r.Svr,
                              r.hTargetSvr, std::string(r.file, strnlen(r.file, 10))});
  }

  ipc::Instance* inst_ = nullptr;
  ipc::Instance* prev_ = nullptr;
  std::vector<Report> reports_;
};

}  // namespace ipctest

#endif
