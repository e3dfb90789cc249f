// Test harness for the comm object run inline on the test thread over the
// real library and loopback sockets, with its real 100 ms timer: the
// addresses of a run, the set-up and teardown of the comm object and its
// network environment, the run-until loop, and (CommRackHarness) the UI
// thread's side of the rack messages the comm thread posts.  Everything
// runs on the test thread; deadlines are hang guards only.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "CommTestSupport.h"
#include "IpcComm.h"
#include "LogBuffer.h"
#include "RackCommands.h"
#include "TestSupport.h"
#include "ThreadMsgs.h"
#include "platform/time/clock.h"

// A loopback network of this run: `base` (127.N.0.0) with its third byte
// from the process id, so that runs side by side do not share addresses.
inline uint32_t RunNetwork(uint32_t base) {
  return base | ((static_cast<uint32_t>(getpid()) % 250u + 1u) << 8);
}

// a.b.c.d of an address held most significant byte first.
inline std::string Dotted(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
         std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
}

class CommInlineHarness : public ::testing::Test {
 protected:
  // The network environment of the comm object (this PC's address, its own
  // bind, and the broadcast targets when given), the debug flags and the
  // log observer.  Call before Start.
  void Prepare(const std::string& pc, const std::string& broadcastTo = "") {
    setenv("DROVANA_NET_ADDR", pc.c_str(), 1);
    setenv("DROVANA_NET_BIND_OWN", "1", 1);
    if (!broadcastTo.empty()) setenv("DROVANA_NET_BCAST_TO", broadcastTo.c_str(), 1);
    g_bTimeStampLog = false;
    g_bIpcCommDebug = true;
    log_.AddObserver(&seen_);
  }
  void Start() {
    comm_.SetPorts({nullptr, nullptr, nullptr, &box_, msgq::TimerMode::Real});
    ASSERT_TRUE(comm_.StartInline());
  }
  void TearDown() override {
    comm_.EndInline();
    unsetenv("DROVANA_NET_ADDR");
    unsetenv("DROVANA_NET_BIND_OWN");
    unsetenv("DROVANA_NET_BCAST_TO");
  }

  // What the comm thread posted to the UI thread; the default frees it.
  virtual void HandleFrame() {
    for (const msgq::Msg& m : frame_.TakeAll()) FrameQueue::Free(m);
  }
  // Runs the loop until pred holds; false after timeoutMs.
  bool RunUntil(const std::function<bool()>& pred, int timeoutMs, int pauseUs = 1000) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > limit) return false;
      comm_.Pump();
      HandleFrame();
      usleep(pauseUs);
    }
    return true;
  }

  void AddNode(uint32_t id, uint32_t addr, const std::vector<uint8_t>& ports) {
    NodeDesc d{id, addr, nullptr, {}};
    for (size_t s = 0; s < ports.size(); ++s) d.portFlags[s] = ports[s];
    ASSERT_TRUE(PostToCommWnd(WM_IPC_ADD_NODE, 0, reinterpret_cast<intptr_t>(&d)));
    comm_.Pump();
  }
  void AddRack(uint32_t node, uint32_t rack, uint8_t slot) {
    RackDesc d{node, rack, slot};
    ASSERT_TRUE(PostToCommWnd(WM_IPC_ADD_RACK, 0, reinterpret_cast<intptr_t>(&d)));
    comm_.Pump();
  }
  std::string Log() const { return seen_.text(); }

  FlagGuard flags_;
  TempDir dir_;
  LogBuffer log_{platform::time::SystemClock(), dir_.path()};
  RecordingObserver seen_;
  RecordingMessageBox box_;
  FrameQueue frame_;
  CIpcComm comm_;
};

// The harness playing the UI thread for rack messages: it answers a rack's
// fault synchronisation with WM_IPC_RACK_UP, stores the version replies,
// counts the poll events, rack-downs and node reports, and keeps the test's
// own finished messages by request number (the test frees them).
class CommRackHarness : public CommInlineHarness {
 protected:
  using Bytes = std::vector<uint8_t>;

  void HandleFrame() override {
    for (const msgq::Msg& m : frame_.TakeAll()) {
      if (m.message == WM_DOC_MSG_DONE) {
        auto* msg = reinterpret_cast<RackMsg*>(m.lParam);
        if (msg->ReqNum == 0 && msg->Command() == DIM_CMD_SYNCH_FAULT_EVENTS) {
          ++syncs_[msg->Rack];
          if (msg->Rcode == 0 && msg->ReplyCommand() == DIM_CMD_SYNCH_FAULT_EVENTS) PostRackUp(msg->Rack);
          FreeRackMsg(msg);
        } else if (msg->ReqNum == 0 && msg->Command() == DIM_CMD_GET_RACK_STATUS && msg->command[4] == 10) {
          ++versions_[msg->Rack];
          if (msg->Rcode == 0 && msg->responseLength >= 18) SetRackVersion(msg->Rack, msg->response + 2);
          FreeRackMsg(msg);
        } else {
          done_[msg->ReqNum] = msg;
        }
      } else if (m.message == WM_DOC_RACK_EVENT) {
        auto* msg = reinterpret_cast<RackMsg*>(m.lParam);
        ++pollEvents_[msg->Rack];
        FreeRackMsg(msg);
      } else if (m.message == WM_DOC_RACK_STATUS) {
        rackDown_.push_back(static_cast<uint32_t>(m.lParam));
      } else if (m.message == WM_DOC_NODE_STATUS) {
        nodeStatus_.push_back(std::to_string(m.lParam) + (m.wParam != 0 ? " up" : " down"));
      }
    }
  }
  // Up, with its version known.
  bool Up(uint32_t rack) {
    const RackEntry* r = comm_.FindRack(rack);
    return r != nullptr && (r->flags & RACK_FLAG_UP) != 0 && (r->flags & RACK_FLAG_VERSION) != 0;
  }
  // Sends a command to the rack as the test's request reqNum; waits for it.
  RackMsg* Exchange(uint32_t rack, uint32_t reqNum, const Bytes& command, int timeoutMs) {
    RackMsg* m = AllocRackMsg();
    m->Rack = rack;
    m->ReqNum = reqNum;
    std::copy(command.begin(), command.end(), m->command);
    m->sendLength = static_cast<int32_t>(command.size());
    EXPECT_TRUE(SendRackMsg(m));
    if (!RunUntil([&] { return done_.count(reqNum) != 0; }, timeoutMs)) return nullptr;
    return done_[reqNum];
  }

  std::map<uint32_t, int> syncs_, versions_, pollEvents_;
  std::map<uint32_t, RackMsg*> done_;
  std::vector<uint32_t> rackDown_;
  std::vector<std::string> nodeStatus_;  // "1 up", "1 down"
};
