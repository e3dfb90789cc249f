// A host of the library for tests, benchmarks and the node simulator: one
// process, one library instance, on its own (lab) address.
//
// It writes IpcCurrentTime from the monotonic clock before every poll,
// waits on the library's sockets (collected through the socket-open hook)
// and a short timer, and polls the library on every wake-up.  It serves a
// test server 22/1 whose procedure 1 answers with event 300 carrying the
// request's data back, and it can be a client of another peer's 22/1.
//
// Ownership: the Peer owns the library's process-wide state while it runs;
// a process holds at most one Peer.  Everything runs on the caller's
// thread.
#ifndef SIM_IPCPEER_PEER_H
#define SIM_IPCPEER_PEER_H

#include <cstdint>
#include <string>
#include <vector>

#include "tessio32.h"

namespace ipcpeer {

constexpr uint16_t kAnswerCode = 300;  // the test server's answer event
constexpr uint8_t kTestSvrType = IPC_SVR_IO_KRN;

struct Options {
  std::string name = "PEER";
  uint32_t addr = 0;           // own address (host order); 0: the interface's
  std::vector<uint32_t> peers;  // where broadcasts go (lab); empty: broadcast
  uint8_t nodeType = 5;
  bool serve = true;            // register the test server 22/1
  uint16_t silence = 0;         // silence time-out in hundredths; 0: default
  uint16_t period = 0;          // announce period in hundredths; 0: default
};

// The monotonic clock in the library's layout (hour, minute, second,
// hundredths), counted from an arbitrary start.
IpcTime MonotonicIpcTime();
// Microseconds and nanoseconds of the monotonic clock.
uint64_t MonotonicMicros();
uint64_t MonotonicNanos();

// Raises an event of one of this process's servers for the clients the
// selector (node, client) names (0, 0: all).  When the event ring has no
// room the event is held, with everything raised after it, and raised
// again in order after the next event despatch of Peer::Poll: no answer is
// lost to a full ring.  Returns the library's result (IPC_EVNT_RING_FULL
// when held).
int RaiseOrHold(const IpcEvntHdr* event, uint8_t node, uint8_t client);
// Events held for room in the ring.
size_t HeldEvents();

// "a.b.c.d" to a host-order address; 0 when it does not parse.
uint32_t ParseAddr(const std::string& text);

class Peer {
 public:
  Peer() = default;
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Sets the lab environment from the options, starts the library and
  // networking.  False (with a reason) when the driver or the node-0 socket
  // cannot start.
  bool Start(const Options& options, std::string* error);

  // One poll of the library with the clock written first: a network pass,
  // then every event it queued delivered and every held event raised; again
  // while that did anything (at most 30 passes), so what a pass brings is
  // answered at once.
  void Poll();
  // Waits for a socket to be readable, for extraFd (if not -1) to be
  // readable, or for timeoutMs; then polls.  True when extraFd is readable.
  bool WaitAndPoll(int timeoutMs, int extraFd = -1);

  // The node index of a peer by name; 255 when it is not in the table.
  uint8_t NodeOf(const std::string& name) const;

  // Becomes a client of the named peer's 22/1 (a com-proc and an event
  // client).  False when the peer is not known yet or a client cannot be
  // made.
  bool Connect(const std::string& name, std::string* error);
  // The link to the connected peer is ok, it is online and both clients
  // have their net handles.
  bool Attached() const;

  // Sends one com-proc of `size` data bytes (4 to 1232) to the connected
  // peer; its answer raises answers().
  bool Call(uint16_t size, uint32_t serial);
  uint64_t answers() const { return answers_; }
  uint32_t lastAnswerSerial() const { return lastSerial_; }
  // When the last answer reached its callback (MonotonicNanos).
  uint64_t lastAnswerAtNanos() const { return lastAnswerAt_; }
  // The host's own waits (poll calls) since the start.
  uint64_t waits() const { return waits_; }
  uint64_t callsServed() const { return served_; }

  // The datagram layer's traffic counters as "key value" pairs.
  std::string NetFigures() const;

  uint8_t connectedNode() const { return node_; }
  uint64_t startedAtMicros() const { return startedAt_; }

 private:
  static void OnSocketOpen(IpcSocket socket);
  static int Serve(const IpcComProcHdr* request);
  static void OnAnswer(const IpcEvntHdr* event, intptr_t user);
  static void OnReport(const IpcEvntHdr* event, intptr_t user);

  uint64_t startedAt_ = 0;
  uint8_t node_ = IPC_NO_NET_NODE;  // the connected peer's node index
  uint8_t svrIndx_ = 0;             // our index of its 22/1
  uint8_t comProc_ = 0;
  uint8_t evnt_ = 0;
  uint64_t answers_ = 0;
  uint32_t lastSerial_ = 0;
  uint64_t lastAnswerAt_ = 0;
  uint64_t waits_ = 0;
  uint64_t served_ = 0;
};

}  // namespace ipcpeer

#endif
