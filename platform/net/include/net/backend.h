// The seam under the library's UDP socket driver: a small set of socket
// calls, the host's identity, and nothing else.
//
// Two implementations exist: the POSIX backend (posix.h), on the kernel's
// sockets, and the in-memory hub (hub.h) for tests.  The driver talks only
// to this interface, so a test puts a hub host where the kernel would be.
//
// Conventions:
// - Addresses and ports are in host byte order everywhere in this
//   interface; only the POSIX backend converts them for the kernel.
// - Every call returns a Winsock-style error number (error.h), 0 on
//   success.  Nothing throws.
// - No call ever waits: a receive with nothing waiting gives
//   err::kWouldBlock, and a send that the stack cannot take at once fails,
//   whether or not the socket was made non-blocking.
// - A Socket is a pollable descriptor of the process: readable while a
//   datagram waits on it (for the POSIX backend it is the socket itself).
//   A message loop may poll it for readiness but must not read from it or
//   close it; only the backend that opened it does.
// - A backend is used from one thread at a time per socket; the hub and the
//   POSIX backend may be shared between threads.
#ifndef NET_BACKEND_H
#define NET_BACKEND_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace net {

using Socket = int;
inline constexpr Socket kInvalidSocket = -1;

// The wildcard address (INADDR_ANY) and the limited broadcast address.
inline constexpr uint32_t kAnyAddress = 0;
inline constexpr uint32_t kLimitedBroadcast = 0xFFFFFFFFu;

// Largest UDP payload over IPv4.
inline constexpr std::size_t kMaxDatagram = 65507;

struct Endpoint {
  uint32_t address = 0;  // host order
  uint16_t port = 0;     // host order
  friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

// "a.b.c.d:port" (or "a.b.c.d" for FormatAddress), for logs and tests.
std::string FormatAddress(uint32_t address);
std::string FormatEndpoint(Endpoint e);

// Parses a dotted quad of four decimal parts into a host-order address.
// False for anything else (no hex, no short forms, no surrounding text).
bool ParseAddress(const char* text, uint32_t* address);

enum class Option {
  kBroadcast,     // SO_BROADCAST: sends to a broadcast address are allowed
  kReuseAddress,  // SO_REUSEADDR: binds may share a port, if all set it
};

struct SendResult {
  int error = 0;          // 0 or a Winsock number
  std::size_t bytes = 0;  // bytes sent
};

struct RecvResult {
  int error = 0;           // 0, err::kWouldBlock when nothing waits, or a Winsock number
  std::size_t size = 0;    // the datagram's true size, which may exceed the buffer
  std::size_t copied = 0;  // bytes written to the buffer: min(size, buffer size)
  Endpoint from;           // the sender
};

// One buffer of a batched receive (RecvMany).
struct RecvSlot {
  void* buf = nullptr;
  std::size_t size = 0;
  RecvResult result;
};

class Backend {
 public:
  virtual ~Backend() = default;

  // Creates an IPv4 UDP socket.  On success *s holds it and the caller owns
  // it until it hands it to Close; on failure *s is kInvalidSocket.
  virtual int Open(Socket* s) = 0;

  virtual int SetOption(Socket s, Option option, bool on) = 0;
  virtual int SetNonBlocking(Socket s, bool on) = 0;

  // Binds to a local address and port; kAnyAddress is the wildcard, port 0
  // takes a free port.
  virtual int Bind(Socket s, Endpoint local) = 0;

  // The address and port the socket is bound to.
  virtual int LocalEndpoint(Socket s, Endpoint* local) = 0;

  // Sends one datagram of len bytes (data may be null only when len is 0).
  virtual SendResult SendTo(Socket s, Endpoint to, const void* data, std::size_t len) = 0;

  // Takes the next waiting datagram; at most size bytes of it are copied to
  // buf (null allowed when size is 0) and the rest is discarded.
  virtual RecvResult RecvFrom(Socket s, void* buf, std::size_t size) = 0;

  // Takes up to n waiting datagrams in order, one into each slot as
  // RecvFrom would (a datagram longer than its slot shows as such in
  // size), and returns how many slots it filled.  A receive that finds
  // nothing waiting fills no slot and ends the batch, so a result below n
  // whose last slot holds a datagram means nothing more was waiting; a
  // receive that fails otherwise fills its slot with the error and ends
  // the batch.  0: nothing waited.  The default calls RecvFrom for each
  // slot; the POSIX backend takes them in one system call.
  virtual int RecvMany(Socket s, RecvSlot* slots, int n);

  // Closes the socket.  Only sockets this backend opened and has not closed
  // are accepted; anything else gives err::kNotSocket and closes nothing.
  virtual int Close(Socket s) = 0;

  // The host's own IPv4 address (host order).  err::kHostNotFound when
  // there is none; *address is then 0.
  virtual int OwnAddress(uint32_t* address) = 0;

  // The host's name, as the system knows it.
  virtual int HostName(std::string* name) = 0;
};

}  // namespace net

#endif
