// The soak plant: its layout on loopback addresses of its own, the site's
// seed rows, the simulated nodes (nodesim processes) with their racks, what
// the plant really is at any moment (which nodes speak, which racks answer),
// and what the racks received, read from the simulators' traces.
//
// Addresses: 127.66.K.1 the server, 127.66.K.(10+n) node n, 127.66.K.250 a
// listener that hears the nodes' and the server's announcements (the flood
// replays and mutates them), 127.66.K.200-203 strangers.
//
// Ownership: the Plant owns its nodesim processes. Main thread only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Processes.h"

namespace soak {

struct RackSpot {
  int rack = 0;
  int node = 0;          // 1..nodes
  int slot = 0;          // port slot 1..5 (PortNumber + 1)
  bool simulated = true;  // false: in the database only, never answers
};

struct PlantLayout {
  int subnet = 66;  // K of 127.66.K.x
  int nodes = 3;
  int portsPerNode = 2;
  int racksPerPort = 2;
  int rackDimmers = 12;
  std::vector<RackSpot> racks;  // filled by Build

  void Build();
  std::string Addr(int host) const;
  std::string serverAddr() const { return Addr(1); }
  std::string nodeAddr(int node) const { return Addr(10 + node); }
  std::string listenAddr() const { return Addr(250); }
  std::string strangerAddr(int i) const { return Addr(200 + i); }
  uint32_t AddrValue(int host) const;  // host order
  std::string NodeName(int node) const { return "SOAK" + std::to_string(node); }
  const RackSpot* Rack(int rack) const;
  // The rows of the plant for the site tool's --seed.
  std::string SeedSql() const;
};

// Where a request's rack command goes, as the simulators report it.
struct Target {
  std::string key;  // "rack R cmd C" or "node N slot S cmd C"; empty: no rack command
  bool none() const { return key.empty(); }
  static Target RackCommand(int rack, int cmd);
  static Target PortBroadcast(int node, int slot, int cmd);
};

class Plant {
 public:
  explicit Plant(const PlantLayout& layout) : layout_(layout) {}
  const PlantLayout& layout() const { return layout_; }

  // Starts one nodesim per node, its trace into dir/nodeN.trace.
  bool Start(const std::string& nodesimPath, const std::string& dir, std::string* error);
  void Stop();

  // Commands; each waits (bounded) for the simulator's "ok". False with
  // *error when the simulator did not answer.
  bool Restart(int node, std::string* error);
  bool Silence(int node, bool silent, std::string* error);
  bool RackSilent(int rack, bool silent, std::string* error);
  bool Latency(int ms, std::string* error);  // every node

  // What the plant is now.
  bool NodeSpeaks(int node) const;
  bool RackAnswers(int rack) const;
  bool rackSilent(int rack) const;

  // Reads what the simulators wrote since the last call.
  void ReadTraces();
  // Rack commands received, by target key, since the start.
  const std::map<std::string, uint64_t>& received() const { return received_; }
  // A simulator that ended; empty when all run.
  std::string Ended();
  std::string TraceTail(int node, size_t lines);

 private:
  struct Node {
    int number = 0;
    Child child;
    std::string tracePath;
    long long offset = 0;
    std::string partial;
    std::map<std::string, int> acks;  // "ok WORD" lines seen, by word
    bool silent = false;
  };
  bool Command(Node& node, const std::string& line, const std::string& word, std::string* error);
  void ParseLine(Node& node, const std::string& line);

  PlantLayout layout_;
  std::vector<std::unique_ptr<Node>> nodes_;
  std::map<int, bool> rackSilent_;
  std::map<std::string, uint64_t> received_;
};

}  // namespace soak
