// The POSIX backend: IPv4 UDP on the kernel's sockets, with the loopback
// lab's options (lab.h).
#ifndef NET_POSIX_H
#define NET_POSIX_H

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "net/backend.h"
#include "net/lab.h"

namespace net {

class PosixBackend final : public Backend {
 public:
  explicit PosixBackend(LabConfig config = {});
  // Closes every socket still open through this backend.
  ~PosixBackend() override;
  PosixBackend(const PosixBackend&) = delete;
  PosixBackend& operator=(const PosixBackend&) = delete;

  int Open(Socket* s) override;
  int SetOption(Socket s, Option option, bool on) override;
  int SetNonBlocking(Socket s, bool on) override;
  // With bindWildcardToOwn, kAnyAddress binds the own address.
  int Bind(Socket s, Endpoint local) override;
  int LocalEndpoint(Socket s, Endpoint* local) override;
  // With a broadcastTo list, a send to a broadcast address goes as unicast
  // copies: the result is the first copy's success, or the first error
  // when no copy could be sent.
  SendResult SendTo(Socket s, Endpoint to, const void* data, std::size_t len) override;
  RecvResult RecvFrom(Socket s, void* buf, std::size_t size) override;
  // One recvmmsg for the whole batch.
  int RecvMany(Socket s, RecvSlot* slots, int n) override;
  int Close(Socket s) override;
  // The configured own address, else the first non-loopback IPv4 address
  // of an interface that is up (the host name may resolve to 127.0.1.1).
  int OwnAddress(uint32_t* address) override;
  int HostName(std::string* name) override;

  const LabConfig& config() const { return config_; }

  // Sockets opened and not yet closed.
  std::size_t OpenCount() const;

 private:
  bool Owns(Socket s) const;
  bool IsBroadcast(uint32_t address);

  LabConfig config_;
  mutable std::mutex mu_;
  std::set<Socket> open_;
};

// The first non-loopback IPv4 address of an interface that is up, in
// getifaddrs order; err::kHostNotFound when there is none.
int InterfaceAddress(uint32_t* address);

// gethostname, as a string.
int SystemHostName(std::string* name);

// The process's backend: a PosixBackend configured from the environment on
// first use (problems with the variables are written once to standard
// error).  Never destroyed.
Backend& DefaultBackend();

}  // namespace net

#endif
