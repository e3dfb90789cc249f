// A nodesim process for the end-to-end tests: started on a lab address with
// this PC as its peer, and driven by commands on its standard input.  The
// test thread owns it; the process ends with it.
#pragma once

#include <string>
#include <vector>

#include "PeerProcess.h"

struct NodesimProcess {
  ipcpeer::PeerProcess process;

  // Starts the simulator at `exe` and waits for its "ready" line; false when
  // it did not start or said nothing of it.
  bool Start(const char* exe, const char* name, const char* addr, const char* peer,
             const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--name", name, "--addr", addr, "--peers", peer, "--period", "20"};
    args.insert(args.end(), extra.begin(), extra.end());
    if (!process.Start(exe, args)) return false;
    for (int i = 0; i < 5; ++i) {
      const std::string line = process.ReadLine(10000);
      if (line.rfind("ready", 0) == 0) return true;
      if (line.empty()) return false;
    }
    return false;
  }
  // Sends a command and waits for "ok" with its first word; trace lines come
  // before.  False when the simulator went quiet first.
  bool Command(const std::string& cmd) {
    if (!process.Send(cmd)) return false;
    const std::string ok = "ok " + cmd.substr(0, cmd.find(' '));
    for (int i = 0; i < 100000; ++i) {
      const std::string line = process.ReadLine(10000);
      if (line == ok) return true;
      if (line.empty()) return false;
    }
    return false;
  }
};
