// The loopback lab: several processes of the system on one machine, each on
// its own 127.0.0.x address, configured through the environment.
//
//   DROVANA_NET_ADDR=127.0.0.5
//       The host's own IPv4 address, in place of the interface address.
//   DROVANA_NET_BIND_OWN=1
//       A bind to the wildcard address binds to the own address instead
//       (a socket bound to the wildcard on loopback sends from 127.0.0.1 and
//       receives datagrams meant for every lab address).
//   DROVANA_NET_BCAST_TO=127.0.0.2,127.0.0.3
//       A datagram sent to a broadcast address (255.255.255.255, or the own
//       address with its low byte 255) is sent instead as one unicast copy
//       to each listed address, same port (the socket still needs the
//       broadcast option).  List the own address too if the sender should
//       hear its own broadcasts, as on a real network.
//
// Unset or empty, each variable leaves the layer exactly as the system
// defines it.  A variable that does not parse is ignored as a whole and
// named in the problem text.
#ifndef NET_LAB_H
#define NET_LAB_H

#include <cstdint>
#include <string>
#include <vector>

namespace net {

inline constexpr const char* kEnvOwnAddress = "DROVANA_NET_ADDR";
inline constexpr const char* kEnvBindOwn = "DROVANA_NET_BIND_OWN";
inline constexpr const char* kEnvBroadcastTo = "DROVANA_NET_BCAST_TO";

// At most this many addresses in DROVANA_NET_BCAST_TO (127.0.0.1 to .254).
inline constexpr std::size_t kMaxBroadcastTargets = 254;

struct LabConfig {
  uint32_t ownAddress = 0;              // 0: take the interface address
  bool bindWildcardToOwn = false;
  std::vector<uint32_t> broadcastTo;    // empty: broadcasts go out as broadcasts
};

// Parses the three values (each may be null = unset).  Returns the
// configuration; *problems (when not null) receives one line per value that
// was ignored, or stays empty.
LabConfig ParseLabConfig(const char* ownAddress, const char* bindOwn, const char* broadcastTo,
                         std::string* problems);

// ParseLabConfig on the process environment.
LabConfig LabConfigFromEnvironment(std::string* problems);

}  // namespace net

#endif
