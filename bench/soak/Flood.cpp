#include "Flood.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ipcnet.h"
#include "ipcroutr.h"

namespace soak {
namespace {

constexpr int kRouterPort = 2510;
constexpr int kLinkPortBase = 2515;
constexpr size_t kHeader = sizeof(IpcNetPktHdr);
constexpr uint16_t kKrnEvntStart = 258;
constexpr uint8_t kSvrKrn = 22;
constexpr uint8_t kSvrRouter = 18;
constexpr uint32_t kAllNodes = 0xFFFFFFFFu;
constexpr uint16_t kOutOfBuffers = 0x15;

int UdpSocket(const std::string& addr, int port, std::string* error) {
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  const int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, addr.c_str(), &a.sin_addr);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    *error = "bind " + addr + ":" + std::to_string(port) + ": " + std::strerror(errno);
    close(s);
    return -1;
  }
  return s;
}

int LinkPort(uint32_t addr) { return kLinkPortBase + static_cast<int>(addr & 0xFF); }

}  // namespace

Flood::~Flood() {
  for (int s : strangers_) close(s);
  if (listener_ >= 0) close(listener_);
}

bool Flood::Open(const PlantLayout& layout, std::string* error) {
  layout_ = layout;
  for (int i = 0; i < 4; ++i) {
    const int s = UdpSocket(layout.strangerAddr(i), 0, error);
    if (s < 0) return false;
    strangers_.push_back(s);
  }
  listener_ = UdpSocket(layout.listenAddr(), kRouterPort, error);
  return listener_ >= 0;
}

void Flood::Capture() {
  if (listener_ < 0) return;
  uint8_t buf[1500];
  for (int i = 0; i < 256; ++i) {
    const ssize_t n = recv(listener_, buf, sizeof buf, 0);
    if (n <= 0) return;
    // An announcement: a one-event packet carrying router event 262.
    if (static_cast<size_t>(n) < kHeader + sizeof(IpcRouterEvnt) || buf[10] != IPC_PKT_EVNT) continue;
    IpcRouterEvnt ev;
    std::memcpy(&ev, buf + kHeader, sizeof ev);
    if (ev.hdr.evntCode != IPC_ROUTER_EVNT_NODE_STATUS) continue;
    uint32_t src;
    std::memcpy(&src, buf + 4, 4);
    announces_[src] = Bytes(buf, buf + n);
  }
}

void Flood::Aim(int deadNode, int liveNode, int liveSlot, int liveRack) {
  dead_ = deadNode;
  live_ = liveNode;
  liveSlot_ = liveSlot;
  liveRack_ = liveRack;
}

int Flood::AnyServerPort() {
  const int n = Pick(0, layout_.nodes);
  return n == 0 ? kRouterPort : LinkPort(layout_.AddrValue(10 + n));
}

void Flood::SendTo(int socket, uint32_t addr, int port, const Bytes& bytes, const char* kind) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(addr);
  if (sendto(socket, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
    ++refused_;
    return;
  }
  ++sent_[kind];
}

Flood::Bytes Flood::Header(uint32_t src, uint8_t kind, size_t payload) {
  IpcNetPktHdr h{};
  h.dstAddr = layout_.AddrValue(1);
  h.srcAddr = src;
  h.length = static_cast<uint16_t>(kHeader + payload);
  h.kind = kind;
  h.seq = static_cast<uint8_t>(Pick(0, 255));
  h.ackSeq = static_cast<uint8_t>(Pick(0, 255));
  h.count = kind == IPC_PKT_ACK ? 0 : 1;
  std::memset(h.reserved, 0xCC, sizeof h.reserved);
  Bytes out(kHeader + payload, 0);
  std::memcpy(out.data(), &h, kHeader);
  return out;
}

Flood::Bytes Flood::Announce(uint32_t src, const std::string& name, uint32_t startTime) {
  Bytes out = Header(src, IPC_PKT_EVNT, sizeof(IpcRouterEvnt));
  out[0] = out[1] = out[2] = out[3] = 0xFF;  // to all nodes
  IpcRouterEvnt ev{};
  ev.hdr.length = sizeof ev;
  ev.hdr.evntCode = IPC_ROUTER_EVNT_NODE_STATUS;
  ev.hdr.svrType = kSvrRouter;
  ev.hdr.svrIndx = 1;
  ev.hdr.evntId = 8;
  ev.hdr.hostKind = 1;
  std::memcpy(ev.hdr.version, "020615", 6);
  ev.hdr.hostHandle = 1;
  ev.dstAddr = kAllNodes;
  ev.srcAddr = src;
  ev.u.announce.status = IPC_NODE_STATUS_ONLINE;
  ev.u.announce.nodeType = 5;
  std::snprintf(ev.u.announce.name, sizeof ev.u.announce.name, "%s", name.c_str());
  ev.u.announce.startTime = startTime;
  std::memcpy(out.data() + kHeader, &ev, sizeof ev);
  return out;
}

Flood::Bytes Flood::ForgedAnnounce() {
  const uint32_t dead = layout_.AddrValue(10 + dead_);
  auto it = announces_.find(dead);
  if (it != announces_.end()) return it->second;
  // Not heard yet: one built from what the site says of the node.
  return Announce(dead, layout_.NodeName(dead_), 0);
}

Flood::Bytes Flood::StrangerAnnounce(int stranger) {
  return Announce(layout_.AddrValue(200 + stranger), "GHOST" + std::to_string(stranger),
                  0x01020304u + static_cast<uint32_t>(stranger));
}

Flood::Bytes Flood::RouterRequest(uint32_t src, uint8_t proc) {
  Bytes out = Header(src, IPC_PKT_COMPROC, sizeof(IpcRouterReq));
  IpcRouterReq r{};
  r.hdr.length = sizeof r;
  r.hdr.svrType = kSvrRouter;
  r.hdr.svrIndx = 1;
  r.hdr.procId = proc;
  r.hdr.clntHandle = 1;
  r.hdr.hostKind = 1;
  r.hdr.hostHandle = 1;
  std::memcpy(r.hdr.version, "1.3c", 4);
  r.dstAddr = layout_.AddrValue(1);
  r.srcAddr = src;
  std::memcpy(out.data() + kHeader, &r, sizeof r);
  return out;
}

Flood::Bytes Flood::ForgedAck() { return Header(layout_.AddrValue(10 + dead_), IPC_PKT_ACK, 0); }

Flood::Bytes Flood::ForgedStart() {
  const uint8_t data[8] = {static_cast<uint8_t>(0x20 + liveSlot_), 0, 3, 0,
                           static_cast<uint8_t>(liveRack_), static_cast<uint8_t>(liveRack_ >> 8),
                           static_cast<uint8_t>(kOutOfBuffers), 0};
  Bytes out = Header(layout_.AddrValue(10 + live_), IPC_PKT_EVNT, sizeof(IpcEvntHdr) + sizeof data);
  IpcEvntHdr ev{};
  ev.length = static_cast<uint16_t>(sizeof ev + sizeof data);
  ev.evntCode = kKrnEvntStart;
  ev.svrType = kSvrKrn;
  ev.evntId = 1;
  ev.hostKind = 1;
  std::memcpy(ev.version, "2a0", 3);
  ev.hostHandle = 1;
  std::memcpy(out.data() + kHeader, &ev, sizeof ev);
  std::memcpy(out.data() + kHeader + sizeof ev, data, sizeof data);
  return out;
}

const std::vector<std::string>& Flood::Kinds() {
  static const std::vector<std::string> kinds = {"malformed", "bad-header",      "mutated",    "stranger",
                                                 "forged-announce", "forged-ack", "forged-event", "forged-close"};
  return kinds;
}

bool Flood::Only(const std::vector<std::string>& kinds, std::string* error) {
  for (const std::string& k : kinds)
    if (std::find(Kinds().begin(), Kinds().end(), k) == Kinds().end()) {
      *error = "no datagram kind \"" + k + "\"";
      return false;
    }
  only_ = kinds;
  return true;
}

void Flood::Send(int count) {
  // Kinds and their shares of the mix.
  static const int kWeights[] = {20, 10, 20, 5, 15, 15, 10, 5};
  std::vector<int> weights;
  for (size_t k = 0; k < Kinds().size(); ++k) {
    const std::string& kind = Kinds()[k];
    bool on = only_.empty() || std::find(only_.begin(), only_.end(), kind) != only_.end();
    if ((kind == "forged-announce" || kind == "forged-ack") && dead_ == 0) on = false;
    if ((kind == "forged-event" || kind == "forged-close") && live_ == 0) on = false;
    weights.push_back(on ? kWeights[k] : 0);
  }
  if (std::all_of(weights.begin(), weights.end(), [](int w) { return w == 0; })) return;
  std::discrete_distribution<int> pick(weights.begin(), weights.end());
  const uint32_t server = layout_.AddrValue(1);
  for (int i = 0; i < count; ++i) {
    const int s = strangers_[static_cast<size_t>(AnyStranger())];
    switch (pick(rng_)) {
      case 0: {
        Bytes junk(static_cast<size_t>(Pick(0, 1300)));
        for (uint8_t& b : junk) b = static_cast<uint8_t>(Pick(0, 255));
        SendTo(s, server, AnyServerPort(), junk, "malformed");
        break;
      }
      case 1: {
        const int n = Pick(1, layout_.nodes);
        Bytes b = Header(layout_.AddrValue(10 + n), IPC_PKT_EVNT, static_cast<size_t>(Pick(0, 120)));
        const uint8_t kinds[] = {0, 6, 7, 8, 255, IPC_PKT_EVNT_MULTI};
        switch (Pick(0, 2)) {
          case 0: b[8] = static_cast<uint8_t>(Pick(0, 255)); b[9] = static_cast<uint8_t>(Pick(0, 5)); break;
          case 1: b[10] = kinds[Pick(0, 5)]; break;
          default: b[13] = static_cast<uint8_t>(Pick(14, 255)); break;
        }
        SendTo(s, server, Pick(0, 1) ? kRouterPort : LinkPort(layout_.AddrValue(10 + n)), b, "bad-header");
        break;
      }
      case 2: {
        Bytes b;
        if (!announces_.empty() && Pick(0, 1) == 0) {
          auto it = announces_.begin();
          std::advance(it, Pick(0, static_cast<int>(announces_.size()) - 1));
          b = it->second;
        } else {
          b = Pick(0, 1) ? ForgedStart() : RouterRequest(layout_.AddrValue(10 + Pick(1, layout_.nodes)), 6);
        }
        for (int k = Pick(1, 6); k > 0; --k)
          b[static_cast<size_t>(Pick(0, static_cast<int>(b.size()) - 1))] ^= static_cast<uint8_t>(Pick(1, 255));
        SendTo(s, server, AnyServerPort(), b, "mutated");
        break;
      }
      case 3: {
        const int who = AnyStranger();
        const Bytes b = Pick(0, 3) ? StrangerAnnounce(who) : RouterRequest(layout_.AddrValue(200 + who), 5);
        SendTo(strangers_[static_cast<size_t>(who)], server, kRouterPort, b, "stranger");
        break;
      }
      case 4: SendTo(s, server, kRouterPort, ForgedAnnounce(), "forged-announce"); break;
      case 5: SendTo(s, server, LinkPort(layout_.AddrValue(10 + dead_)), ForgedAck(), "forged-ack"); break;
      case 6: SendTo(s, server, LinkPort(layout_.AddrValue(10 + live_)), ForgedStart(), "forged-event"); break;
      default:
        SendTo(s, server, kRouterPort, RouterRequest(layout_.AddrValue(10 + live_), 6), "forged-close");
        break;
    }
  }
}

}  // namespace soak
