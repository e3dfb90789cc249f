// Bad and forged datagrams at the server's ports (2510, and each node's
// link socket at 2515 + the node's low address byte), all sent from
// stranger addresses of the plant's subnet:
//
//   malformed      random bytes of random length
//   bad-header     a packet header that lies: length, kind or count wrong
//   mutated        a real announcement (heard by the plant's listener) or a
//                  forged packet below with a few bytes changed
//   stranger       well-formed announcements and link-open requests of a
//                  node that is not in the site, from its own address
//   forged-announce   a node's real announcement replayed from elsewhere
//   forged-ack        an acknowledgement on a node's link, its address in
//                     the header
//   forged-event      an IO_KRN answer (START with a failure code) on a
//                     live node's link, its address in the header
//   forged-close      a router request to close a live node's link, its
//                     address in the header
//
// A server that takes the forged ones keeps a silent node "connected",
// fails requests the racks answered, or loses its links.
//
// Ownership: the Flood owns its sockets. Main thread only.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Plant.h"

namespace soak {

class Flood {
 public:
  Flood() = default;
  ~Flood();
  Flood(const Flood&) = delete;
  Flood& operator=(const Flood&) = delete;

  // The strangers' sockets and the listener (127.66.K.250:2510).
  bool Open(const PlantLayout& layout, std::string* error);
  // Keeps the latest announcement of every address the listener hears.
  void Capture();
  // The node whose silence the forgeries hide (0: none), and the live node
  // whose link they attack with its rack on `liveSlot`.
  void Aim(int deadNode, int liveNode, int liveSlot, int liveRack);
  // The kinds of datagram, as the counts name them.
  static const std::vector<std::string>& Kinds();
  // Sends only these kinds (empty: all). False with *error for a name
  // that is not a kind.
  bool Only(const std::vector<std::string>& kinds, std::string* error);
  // Sends `count` datagrams of the mix.
  void Send(int count);

  const std::map<std::string, uint64_t>& sent() const { return sent_; }
  uint64_t refused() const { return refused_; }  // sends the socket refused
  size_t heard() const { return announces_.size(); }

 private:
  using Bytes = std::vector<uint8_t>;
  void SendTo(int socket, uint32_t addr, int port, const Bytes& bytes, const char* kind);
  int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  int AnyStranger() { return Pick(0, static_cast<int>(strangers_.size()) - 1); }
  int AnyServerPort();
  Bytes Header(uint32_t src, uint8_t kind, size_t payload);
  // A well-formed announcement of a node online, from src.
  Bytes Announce(uint32_t src, const std::string& name, uint32_t startTime);
  Bytes ForgedAnnounce();
  Bytes StrangerAnnounce(int stranger);
  Bytes RouterRequest(uint32_t src, uint8_t proc);
  Bytes ForgedAck();
  Bytes ForgedStart();

  PlantLayout layout_;
  std::vector<int> strangers_;  // sockets, bound to strangerAddr(i)
  int listener_ = -1;
  std::map<uint32_t, Bytes> announces_;  // by source address in the header
  int dead_ = 0, live_ = 0, liveSlot_ = 1, liveRack_ = 1;
  std::mt19937 rng_{20260518};
  std::vector<std::string> only_;
  std::map<std::string, uint64_t> sent_;
  uint64_t refused_ = 0;
};

}  // namespace soak
