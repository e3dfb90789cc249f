#include "NetReports.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tessio32.h"

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buf[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

// A fixed-width text field as a string: up to its first NUL, at most width.
std::string Field(const char* text, size_t width) { return std::string(text, strnlen(text, width)); }

class TessioNetNodeTable final : public NetNodeTable {
 public:
  uint8_t MaxIndx() override { return IpcGetMaxNetNodeIndx(); }
  bool IndxValid(uint8_t indx) override { return IpcNetNodeIndxValid(indx) != 0; }
  uint8_t Status(uint8_t indx) override { return IpcNetNodeStatusGet(indx); }
  bool Info(uint8_t indx, char* name, uint32_t* addr, uint8_t* type) override {
    return IpcNetNodeInfoGet(indx, name, addr, type, nullptr, nullptr) != 0;
  }
  void EtherAddr(uint8_t indx, uint8_t* ether) override { IpcNetNodeEtherAddrGet(indx, ether); }
  void Version(uint8_t indx, char* version) override { IpcNetNodeVersionGet(indx, version); }
  std::string TypeCode(uint8_t type) override {
    char text[8] = {};
    IpcNodeTypeStrGet(type, text);
    return Field(text, 4);
  }
};

}  // namespace

NetNodeTable& DefaultNetNodeTable() {
  static TessioNetNodeTable table;
  return table;
}

std::vector<std::string> ReportNodeLines(NetNodeTable& table) {
  std::vector<std::string> out;
  out.push_back("\n");
  out.push_back(Format("%-16s", "NODE_ADDRESS") + Format(" %-10s", "NODE_NAME") +
                Format(" %-4s", "TYPE") + "  STATUS  " + Format(" %-17s", "ETHERNET_ADDRESS") +
                Format("  %-7s", "VERSION") + "\n");
  // The library's table has at most IPC_MAX_NET_NODES entries, whatever it says.
  const unsigned max = std::min<unsigned>(table.MaxIndx(), IPC_MAX_NET_NODES);
  for (unsigned i = 0; i < max; ++i) {
    const auto indx = static_cast<uint8_t>(i);
    if (!table.IndxValid(indx)) continue;
    const uint8_t status = table.Status(indx);
    if (status < IPC_NODE_STATUS_ONLINE || status > IPC_NODE_STATUS_DISABLED) continue;
    char name[16] = {};
    uint32_t addr = 0;
    uint8_t type = 0;
    if (!table.Info(indx, name, &addr, &type)) {
      out.push_back(Format("CONFIG ERROR for Index = %d", static_cast<int>(i)) + "\n");
      continue;
    }
    const std::string dotted = Format("%u.%u.%u.%u", addr >> 24, (addr >> 16) & 255,
                                      (addr >> 8) & 255, addr & 255);
    uint8_t ether[6] = {};
    table.EtherAddr(indx, ether);
    char version[16] = {};
    table.Version(indx, version);
    const char* statusText = status == IPC_NODE_STATUS_ONLINE    ? "  On-Line "
                             : status == IPC_NODE_STATUS_OFFLINE ? "  Off-Line"
                             : status == IPC_NODE_STATUS_DISABLED ? "  Disabled"
                                                                 : "  ????????";
    const std::string etherText = Format("%02X:%02X:%02X:%02X:%02X:%02X", ether[0], ether[1],
                                         ether[2], ether[3], ether[4], ether[5]);
    out.push_back(Format("%-16s", dotted.c_str()) + Format(" %-10s", Field(name, 10).c_str()) +
                  Format(" %-4s", table.TypeCode(type).substr(0, 4).c_str()) + statusText +
                  Format(" %-17s", etherText.c_str()) +
                  Format("  %-7s", Field(version, 8).c_str()) + "\n");
  }
  return out;
}

std::vector<std::string> ReportNetStatsLines(const NetStatsFigures& f, CommNodes& nodes) {
  std::vector<std::string> out;
  const int64_t secs = f.uptimeSeconds > 0 ? f.uptimeSeconds : 0;
  const int64_t divisor = secs > 0 ? secs : 1;
  out.push_back("\n");
  out.push_back(Format("Uptime: %d days, %d hours, %d minutes, %d seconds.\n",
                       static_cast<int>(secs / 86400), static_cast<int>(secs % 86400 / 3600),
                       static_cast<int>(secs % 3600 / 60), static_cast<int>(secs % 60)));
  out.push_back(Format("Average of %d timer messages/second.\n",
                       static_cast<int>(f.timerMessages / divisor)));
  out.push_back(Format("IPC has been polled %d times (average %d/second).\n",
                       static_cast<int>(f.polls), static_cast<int>(f.polls / divisor)));
  out.push_back(Format("Longest time between polls = %d milliseconds\n",
                       static_cast<int>(f.longestGapMs)));
  out.push_back("\n");
  out.push_back("      Node       State         Port  TxMsgs  RxMsgs  Queued Msgs Link resets\n");
  for (uint32_t id : nodes.NodeIds()) {
    const NodeEntry* n = nodes.FindNode(id);
    if (n == nullptr) continue;
    const std::string name = Field(n->name, sizeof n->name);
    bool any = false;
    for (int slot = 0; slot < kPortSlots; ++slot) {
      const PortSlot& p = n->ports[slot];
      if ((p.flags & PORT_FLAG_CONFIGURED) == 0) continue;
      any = true;
      out.push_back(Format("%-15s  %s  %d    %6d  %6d       %6d      %6d\n", name.c_str(),
                           NodeStateName(n->state), slot - 1, static_cast<int>(p.TxMsgs),
                           static_cast<int>(p.RxMsgs), static_cast<int>(p.queued),
                           static_cast<int>(n->linkResets)));
    }
    if (!any) out.push_back(Format("%-15s  %s  -\n", name.c_str(), NodeStateName(n->state)));
  }
  out.push_back("\n");
  return out;
}

std::vector<std::string> ReportRackLines(CommNodes& nodes) {
  std::vector<std::string> out;
  out.push_back("\n");
  out.push_back("Rack State TxMsgs  RxMsgs  RxFaults  Errors  LastErrRcode  LastErrCmd  Node\n");
  for (uint32_t number : nodes.RackNumbers()) {
    const RackEntry* r = nodes.FindRack(number);
    if (r == nullptr) continue;
    const NodeEntry* n = nodes.FindNode(r->nodeId);
    const std::string node = n != nullptr ? Field(n->name, sizeof n->name) : "";
    out.push_back(Format("%3d  %s  %6d  %6d   %6d   %6d     0x%04X       0x%04X    %s:%d\n",
                         static_cast<int>(r->rack), (r->flags & RACK_FLAG_UP) != 0 ? "up  " : "down",
                         static_cast<int>(r->TxMsgs), static_cast<int>(r->RxMsgs),
                         static_cast<int>(r->RxFaults), static_cast<int>(r->Errors),
                         static_cast<unsigned>(r->LastErrRcode), static_cast<unsigned>(r->LastErrCmd),
                         node.c_str(), static_cast<int>(r->portSlot) - 1));
  }
  out.push_back("\n");
  return out;
}

std::vector<std::string> ReportRackVersionLines(CommNodes& nodes) {
  std::vector<std::string> out;
  out.push_back("\n");
  out.push_back("Rack   S/N    Software  Hardware Ver\n");
  for (uint32_t number : nodes.RackNumbers()) {
    const RackEntry* r = nodes.FindRack(number);
    if (r == nullptr) continue;
    if (r->software[0] != '\0') {
      out.push_back(Format("%3d  %8s  %6s        %d\n", static_cast<int>(r->rack),
                           Field(r->serial, sizeof r->serial).c_str(),
                           Field(r->software, sizeof r->software).c_str(),
                           static_cast<int>(r->hardware)));
    } else {
      out.push_back(Format("%3d     ?        ?           ?\n", static_cast<int>(r->rack)));
    }
  }
  out.push_back("\n");
  return out;
}
