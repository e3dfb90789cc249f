// An in-memory network segment for tests: hosts attach to it, each with its
// own address and its own sockets, and exchange datagrams under the rules
// the Linux stack follows:
// - a bind conflicts with another on the same port when either address is
//   the wildcard or both are equal, unless both sockets set reuse-address;
//   an address that is not the host's own, its subnet broadcast or the
//   limited broadcast gives err::kAddrNotAvail;
// - a unicast datagram goes to one socket of the destination host: one
//   bound to the destination address beats one bound to the wildcard, and
//   among equals the one bound last wins;
// - a broadcast (255.255.255.255, or a host's subnet broadcast) reaches
//   every host it is a broadcast for, the sender's own included, and there
//   every socket on the port bound to the wildcard or to exactly that
//   broadcast address; sending one needs the broadcast option
//   (err::kAccess otherwise);
// - a socket that sends before it is bound is bound to the wildcard and a
//   free port (32768 and up); port 0 as destination gives err::kInvalid,
//   more than kMaxDatagram bytes err::kMessageSize;
// - a datagram for an address no host has, or for a port no socket is on,
//   is lost without an error to the sender (the socket is unconnected);
// - each socket queues at most QueueLimit() datagrams; more are lost.
//
// Faults: a rule decides, per datagram sent, whether it is dropped, whether
// a second copy goes out, and the delay of each copy.  The standard rule
// (SetFaults) draws them from a generator seeded by the test, so a run is
// reproducible from its seed.  Delays are in virtual milliseconds: the hub
// never reads a clock; the test moves its time with Advance.  Different
// delays reorder datagrams.  Every datagram is recorded with its fate.
//
// Readiness: each hub socket is an eventfd, readable while a datagram waits
// on the socket (a message loop may poll it like a kernel socket), and the
// ready hook, when set, is called each time a socket's queue goes from
// empty to not empty, inside the call that delivered (SendTo, Inject or
// Advance).
//
// Ownership: the test owns the Hub and each host it adds; the two share the
// segment's state, so they may be destroyed in any order.  A host closes
// its open sockets when destroyed.  All calls are thread-safe.  The ready
// hook is called without the hub's lock held and may call into the hub; the
// rule runs under the lock and must not.
#ifndef NET_HUB_H
#define NET_HUB_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/backend.h"

namespace net {

enum class Fate {
  kInFlight,    // a copy is still delayed
  kDelivered,   // reached at least one socket
  kDuplicated,  // two copies went out and at least one reached a socket
  kDropped,     // the rule dropped it
  kNoHost,      // no host has the destination address
  kNoSocket,    // the host has no socket on the port
  kQueueFull,   // every socket it was for had a full queue
};
const char* FateName(Fate f);

struct Record {
  uint64_t seq = 0;         // 0, 1, 2 ... in sending order
  uint64_t sentAt = 0;      // virtual time
  Endpoint from;
  Endpoint to;
  std::vector<uint8_t> bytes;
  bool broadcast = false;
  Fate fate = Fate::kInFlight;
  uint32_t copies = 0;      // copies that went out: 0 dropped, 1, or 2
  uint32_t deliveries = 0;  // socket queues reached, over all copies
  uint64_t arrivedAt = 0;   // virtual time of the last copy's arrival
};

// The decision for one datagram.
struct Decision {
  bool drop = false;
  bool duplicate = false;
  uint64_t delay = 0;           // virtual ms before the (first) copy arrives
  uint64_t duplicateDelay = 0;  // the second copy's delay
};

// The standard rule's rates (per million datagrams) and delay range.
struct Faults {
  uint32_t dropPerMillion = 0;
  uint32_t duplicatePerMillion = 0;
  uint64_t minDelay = 0;  // each copy's delay is drawn from [minDelay, maxDelay]
  uint64_t maxDelay = 0;
};

// A generator whose sequence depends only on its seed (splitmix64).
class Rng {
 public:
  explicit Rng(uint64_t seed = 0) : state_(seed) {}
  uint64_t Next();
  // Uniform in [0, n); 0 when n is 0.
  uint64_t Below(uint64_t n);

 private:
  uint64_t state_;
};

// A rule sees the datagram (seq, sentAt, from, to, bytes, broadcast set) and
// the hub's generator.
using Rule = std::function<Decision(const Record& datagram, Rng& rng)>;

class Hub {
 public:
  Hub();
  ~Hub();
  Hub(const Hub&) = delete;
  Hub& operator=(const Hub&) = delete;

  // Attaches a host with the given address and subnet mask.  The caller owns
  // the result.  An address already on the hub gives null.
  std::unique_ptr<Backend> AddHost(uint32_t address, std::string name = {},
                                   uint32_t mask = 0xFFFFFF00u);

  // The standard rule with this seed and these rates (the generator is
  // reseeded).  Faults{} means every datagram arrives at once.
  void SetFaults(uint64_t seed, const Faults& faults);
  // Any rule; null restores immediate delivery.  The generator keeps going.
  void SetRule(Rule rule);

  // Virtual time in milliseconds, from 0.
  uint64_t Now() const;
  // Moves time forward and delivers every copy that is due, in order of
  // arrival time (then of sending).  Returns the number of copies handled.
  std::size_t Advance(uint64_t ms);
  // Copies still delayed.
  std::size_t InFlight() const;

  // Puts a datagram on the wire as if a socket at `from` had sent it (no
  // checks on the sender, no rule applied).
  void Inject(Endpoint from, Endpoint to, const std::vector<uint8_t>& bytes);

  // Called with the socket each time its queue goes from empty to not
  // empty; null removes it.
  void SetReadyHook(std::function<void(Socket)> hook);

  void SetQueueLimit(std::size_t datagrams);  // default 256
  std::size_t QueueLimit() const;

  // The record of every datagram since the start or the last clear.
  // Recording is on by default; long runs may switch it off.
  std::vector<Record> Records() const;
  void ClearRecords();
  void SetRecording(bool on);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace net

#endif
