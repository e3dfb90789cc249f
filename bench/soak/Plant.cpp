#include "Plant.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <fstream>
#include <sstream>
#include <thread>

namespace soak {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCommandAckMs = 3000;
constexpr int kRackZoneBase = 10000;
constexpr int kBrevantRooms = 16;

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

}  // namespace

void PlantLayout::Build() {
  racks.clear();
  int number = 0;
  for (int n = 1; n <= nodes; ++n)
    for (int p = 0; p < portsPerNode; ++p)
      for (int r = 0; r < racksPerPort; ++r) racks.push_back({++number, n, p + 1, true});
  // One rack of the database that no simulator holds: it never answers, and
  // its rows must say so.
  racks.push_back({++number, 1, 1, false});
}

std::string PlantLayout::Addr(int host) const {
  return "127.66." + std::to_string(subnet) + "." + std::to_string(host);
}

uint32_t PlantLayout::AddrValue(int host) const {
  return (127u << 24) | (66u << 16) | (static_cast<uint32_t>(subnet) << 8) | static_cast<uint32_t>(host);
}

const RackSpot* PlantLayout::Rack(int rack) const {
  for (const RackSpot& r : racks)
    if (r.rack == rack) return &r;
  return nullptr;
}

std::string PlantLayout::SeedSql() const {
  std::ostringstream s;
  s << "INSERT INTO tblNodeType (NodeType, Name) VALUES (5, 'Rack network node');\n";
  for (int n = 1; n <= nodes; ++n) {
    s << "INSERT INTO tblNode (NodeID, NodeName, NodeType, IPAddress) VALUES (" << n << ", '" << NodeName(n)
      << "', 5, '" << nodeAddr(n) << "');\n";
    s << "INSERT INTO tblNodeStatus (NodeID, ConnectStatus) VALUES (" << n << ", 0);\n";
    for (int p = 0; p < portsPerNode; ++p)
      s << "INSERT INTO tblNodePort (PortID, NodeID, PortNumber, PortCategory) VALUES (" << n * 10 + p << ", "
        << n << ", " << p << ", 2);\n";
  }
  // Zones: 1 the site, 1 + n the racks of node n, 10000 + r each rack.
  int tree = 0;
  s << "INSERT INTO tblZoneTree (TreeID, ZoneID, ZoneParentID, ZoneType) VALUES (" << ++tree
    << ", 1, 0, 'TreeGroup');\n";
  for (int n = 1; n <= nodes; ++n) {
    s << "INSERT INTO tblZoneTree (TreeID, ZoneID, ZoneParentID, ZoneType) VALUES (" << ++tree << ", " << 1 + n
      << ", 1, 'Racks');\n";
    s << "INSERT INTO tblQXVZone (ZoneID, PresetNumber) VALUES (" << 1 + n << ", 0);\n";
    for (int room = 1; room <= kBrevantRooms; ++room)
      s << "INSERT INTO tblBvtZone (ZoneID, RoomNumber, PresetNumber) VALUES (" << 1 + n << ", " << room
        << ", 0);\n";
  }
  for (const RackSpot& r : racks) {
    const int zone = kRackZoneBase + r.rack;
    const int parent = 1 + r.node;
    s << "INSERT INTO tblNodePortRack (PortID, RackNumber) VALUES (" << r.node * 10 + r.slot - 1 << ", " << r.rack
      << ");\n";
    s << "INSERT INTO tblZoneTree (TreeID, ZoneID, ZoneParentID, ZoneType) VALUES (" << ++tree << ", " << zone
      << ", " << parent << ", 'Rack');\n";
    s << "INSERT INTO tblRackConfig (ZoneID, ZoneParentID, RackType, RackCase, RackNumber, MuxTypeA, MuxTypeB, "
         "MuxFailPreset, MuxFailHoldTime, MuxFailMode, BrevantPowerupPreset, RackLanguage, KeypadLockEnable, "
         "FanSpeed, DigitalDims, AnalogOutputs, AnalogInputs, DigitalDimsFitted, NumberRows, NumberSlots) VALUES ("
      << zone << ", " << parent << ", 0, 0, " << r.rack << ", 0, 0, 0, 0, 0, 0, 0, 0, 1, " << rackDimmers
      << ", 0, 0, " << rackDimmers << ", 2, 6);\n";
    s << "INSERT INTO tblRackStatus (ZoneID, ZoneParentID, ConnectStatus) VALUES (" << zone << ", " << parent
      << ", 0);\n";
    for (int room = 1; room <= kBrevantRooms; ++room)
      s << "INSERT INTO tblBvtZone (ZoneID, RoomNumber, PresetNumber) VALUES (" << zone << ", " << room
        << ", 0);\n";
  }
  s << "WITH RECURSIVE lv(Level) AS (SELECT 0 UNION ALL SELECT Level + 1 FROM lv WHERE Level < 255)\n"
       "INSERT INTO tblLevel2Percent (Level, Percent) SELECT Level, (100 * Level + 127) / 255 FROM lv;\n";
  s << "INSERT INTO tblFaultType (FaultType, FaultName, DisplayFormat, FaultCategory) VALUES\n"
       "  (1000, 'Rack down', 'Rack %d not responding', 1),\n"
       "  (1001, 'Node down', 'Node %s not responding', 1);\n";
  return s.str();
}

Target Target::RackCommand(int rack, int cmd) {
  return {"rack " + std::to_string(rack) + " cmd " + std::to_string(cmd)};
}

Target Target::PortBroadcast(int node, int slot, int cmd) {
  return {"node " + std::to_string(node) + " slot " + std::to_string(slot) + " cmd " + std::to_string(cmd)};
}

bool Plant::Start(const std::string& nodesimPath, const std::string& dir, std::string* error) {
  for (int n = 1; n <= layout_.nodes; ++n) {
    auto node = std::make_unique<Node>();
    node->number = n;
    node->tracePath = dir + "/node" + std::to_string(n) + ".trace";
    ChildSpec spec;
    spec.argv = {nodesimPath, "--name", layout_.NodeName(n), "--addr", layout_.nodeAddr(n), "--peers",
                 layout_.serverAddr() + "," + layout_.listenAddr()};
    for (const RackSpot& r : layout_.racks) {
      if (r.node != n || !r.simulated) continue;
      spec.argv.push_back("--rack");
      spec.argv.push_back(std::to_string(r.slot) + ":" + std::to_string(r.rack) + ":" +
                          std::to_string(layout_.rackDimmers));
    }
    spec.outputPath = node->tracePath;
    spec.stdinPipe = true;
    if (!node->child.Start(spec, error)) return false;
    nodes_.push_back(std::move(node));
  }
  // Each says "ready" once its library runs.
  const auto end = Clock::now() + std::chrono::seconds(10);
  for (auto& node : nodes_) {
    while (node->acks["ready"] == 0) {
      ReadTraces();
      if (node->acks["ready"] > 0) break;
      if (!node->child.Running() || Clock::now() >= end) {
        *error = "nodesim " + layout_.NodeName(node->number) + " did not start (" +
                 (node->child.Running() ? std::string("no \"ready\" in 10 s") : node->child.StatusText()) +
                 "): " + TraceTail(node->number, 5);
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  return true;
}

void Plant::Stop() {
  for (auto& node : nodes_) {
    node->child.Send("quit");
    node->child.Stop(3000);
  }
  ReadTraces();
}

bool Plant::Command(Node& node, const std::string& line, const std::string& word, std::string* error) {
  const int before = node.acks[word];
  if (!node.child.Send(line)) {
    *error = "nodesim " + layout_.NodeName(node.number) + " is gone (" + node.child.StatusText() + ")";
    return false;
  }
  const auto end = Clock::now() + std::chrono::milliseconds(kCommandAckMs);
  while (Clock::now() < end) {
    ReadTraces();
    if (node.acks[word] > before) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  *error = "nodesim " + layout_.NodeName(node.number) + " did not answer \"" + line + "\"";
  return false;
}

bool Plant::Restart(int node, std::string* error) {
  if (node < 1 || node > static_cast<int>(nodes_.size())) return false;
  Node& n = *nodes_[static_cast<size_t>(node - 1)];
  // A restart also ends a silence.
  if (!Command(n, "restart", "restart", error)) return false;
  n.silent = false;
  return true;
}

bool Plant::Silence(int node, bool silent, std::string* error) {
  if (node < 1 || node > static_cast<int>(nodes_.size())) return false;
  Node& n = *nodes_[static_cast<size_t>(node - 1)];
  const char* word = silent ? "silence" : "speak";
  if (!Command(n, word, word, error)) return false;
  n.silent = silent;
  return true;
}

bool Plant::RackSilent(int rack, bool silent, std::string* error) {
  const RackSpot* r = layout_.Rack(rack);
  if (r == nullptr || !r->simulated) return false;
  Node& n = *nodes_[static_cast<size_t>(r->node - 1)];
  const std::string word = silent ? "rack-silent" : "rack-speak";
  if (!Command(n, word + " " + std::to_string(rack), word, error)) return false;
  rackSilent_[rack] = silent;
  return true;
}

bool Plant::Latency(int ms, std::string* error) {
  for (auto& n : nodes_)
    if (!Command(*n, "latency " + std::to_string(ms), "latency", error)) return false;
  return true;
}

bool Plant::NodeSpeaks(int node) const {
  if (node < 1 || node > static_cast<int>(nodes_.size())) return false;
  return !nodes_[static_cast<size_t>(node - 1)]->silent;
}

bool Plant::rackSilent(int rack) const {
  auto it = rackSilent_.find(rack);
  return it != rackSilent_.end() && it->second;
}

bool Plant::RackAnswers(int rack) const {
  const RackSpot* r = layout_.Rack(rack);
  return r != nullptr && r->simulated && NodeSpeaks(r->node) && !rackSilent(rack);
}

void Plant::ParseLine(Node& node, const std::string& line) {
  const std::vector<std::string> w = Words(line);
  if (w.empty()) return;
  if (w[0] == "ok" && w.size() >= 2) {
    ++node.acks[w[1]];
  } else if (w[0] == "ready") {
    ++node.acks["ready"];
  } else if (w[0] == "rack" && w.size() >= 4 && w[2] == "cmd") {
    // "rack R cmd C reply N" / "link 0xNN" / "silent": the rack had it.
    ++received_["rack " + w[1] + " cmd " + w[3]];
  } else if (w[0] == "rack" && w.size() >= 5 && w[2] == "unknown" && w[3] == "cmd") {
    ++received_["rack " + w[1] + " cmd " + w[4]];
  } else if (w[0] == "broadcast" && w.size() >= 5 && w[1] == "slot" && w[3] == "cmd") {
    ++received_["node " + std::to_string(node.number) + " slot " + w[2] + " cmd " + w[4]];
  }
}

void Plant::ReadTraces() {
  for (auto& node : nodes_) {
    const int fd = open(node->tracePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    char buf[65536];
    for (;;) {
      const ssize_t n = pread(fd, buf, sizeof buf, node->offset);
      if (n <= 0) break;
      node->offset += n;
      node->partial.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    size_t start = 0;
    for (size_t at; (at = node->partial.find('\n', start)) != std::string::npos; start = at + 1)
      ParseLine(*node, node->partial.substr(start, at - start));
    node->partial.erase(0, start);
  }
}

std::string Plant::Ended() {
  for (auto& node : nodes_)
    if (!node->child.Running())
      return "nodesim " + layout_.NodeName(node->number) + " ended (" + node->child.StatusText() + ")";
  return {};
}

std::string Plant::TraceTail(int node, size_t lines) {
  if (node < 1 || node > static_cast<int>(nodes_.size())) return {};
  std::ifstream in(nodes_[static_cast<size_t>(node - 1)]->tracePath);
  std::deque<std::string> tail;
  for (std::string line; std::getline(in, line);) {
    tail.push_back(line);
    if (tail.size() > lines) tail.pop_front();
  }
  std::string out;
  for (const std::string& l : tail) out += (out.empty() ? "" : " | ") + l;
  return out;
}

}  // namespace soak
