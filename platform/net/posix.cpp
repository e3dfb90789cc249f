#include "net/posix.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "net/error.h"

namespace net {
namespace {

int LastError() { return WinsockError(errno); }

sockaddr_in ToSockaddr(Endpoint e) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(e.address);
  sa.sin_port = htons(e.port);
  return sa;
}

}  // namespace

PosixBackend::PosixBackend(LabConfig config) : config_(std::move(config)) {}

PosixBackend::~PosixBackend() {
  std::lock_guard<std::mutex> lock(mu_);
  for (Socket s : open_) ::close(s);
  open_.clear();
}

bool PosixBackend::Owns(Socket s) const {
  std::lock_guard<std::mutex> lock(mu_);
  return open_.count(s) != 0;
}

std::size_t PosixBackend::OpenCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return open_.size();
}

int PosixBackend::Open(Socket* s) {
  if (s == nullptr) return err::kFault;
  *s = kInvalidSocket;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return LastError();
  std::lock_guard<std::mutex> lock(mu_);
  open_.insert(fd);
  *s = fd;
  return 0;
}

int PosixBackend::SetOption(Socket s, Option option, bool on) {
  if (!Owns(s)) return err::kNotSocket;
  const int value = on ? 1 : 0;
  const int name = option == Option::kBroadcast ? SO_BROADCAST : SO_REUSEADDR;
  if (::setsockopt(s, SOL_SOCKET, name, &value, sizeof value) != 0) return LastError();
  return 0;
}

int PosixBackend::SetNonBlocking(Socket s, bool on) {
  if (!Owns(s)) return err::kNotSocket;
  const int flags = ::fcntl(s, F_GETFL);
  if (flags < 0) return LastError();
  const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted != flags && ::fcntl(s, F_SETFL, wanted) != 0) return LastError();
  return 0;
}

int PosixBackend::Bind(Socket s, Endpoint local) {
  if (!Owns(s)) return err::kNotSocket;
  if (local.address == kAnyAddress && config_.bindWildcardToOwn) {
    uint32_t own = 0;
    if (OwnAddress(&own) == 0) local.address = own;
  }
  const sockaddr_in sa = ToSockaddr(local);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return LastError();
  return 0;
}

int PosixBackend::LocalEndpoint(Socket s, Endpoint* local) {
  if (!Owns(s)) return err::kNotSocket;
  if (local == nullptr) return err::kFault;
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return LastError();
  if (sa.sin_family != AF_INET) return err::kAfNoSupport;
  local->address = ntohl(sa.sin_addr.s_addr);
  local->port = ntohs(sa.sin_port);
  return 0;
}

bool PosixBackend::IsBroadcast(uint32_t address) {
  if (address == kLimitedBroadcast) return true;
  uint32_t own = 0;
  return OwnAddress(&own) == 0 && address == (own | 0xFFu);
}

SendResult PosixBackend::SendTo(Socket s, Endpoint to, const void* data, std::size_t len) {
  SendResult r;
  if (!Owns(s)) {
    r.error = err::kNotSocket;
    return r;
  }
  if (data == nullptr && len != 0) {
    r.error = err::kFault;
    return r;
  }
  if (len > kMaxDatagram) {
    r.error = err::kMessageSize;
    return r;
  }
  auto sendOne = [&](Endpoint dst) {
    const sockaddr_in sa = ToSockaddr(dst);
    const ssize_t n = ::sendto(s, data, len, MSG_DONTWAIT | MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    SendResult one;
    if (n < 0) {
      one.error = LastError();
    } else {
      one.bytes = static_cast<std::size_t>(n);
    }
    return one;
  };
  if (config_.broadcastTo.empty() || !IsBroadcast(to.address)) return sendOne(to);

  // A broadcast still needs the broadcast option, as it would without the
  // lab.
  int allowed = 0;
  socklen_t optlen = sizeof allowed;
  if (::getsockopt(s, SOL_SOCKET, SO_BROADCAST, &allowed, &optlen) != 0) {
    r.error = LastError();
    return r;
  }
  if (allowed == 0) {
    r.error = err::kAccess;
    return r;
  }

  // The lab: one unicast copy per listed address.  The first copy that goes
  // out decides the result; when none does, the first error.
  bool sent = false;
  int firstError = 0;
  for (uint32_t target : config_.broadcastTo) {
    const SendResult one = sendOne(Endpoint{target, to.port});
    if (one.error == 0) {
      if (!sent) r = one;
      sent = true;
    } else if (firstError == 0) {
      firstError = one.error;
    }
  }
  if (!sent) r.error = firstError;
  return r;
}

RecvResult PosixBackend::RecvFrom(Socket s, void* buf, std::size_t size) {
  RecvResult r;
  if (!Owns(s)) {
    r.error = err::kNotSocket;
    return r;
  }
  if (buf == nullptr && size != 0) {
    r.error = err::kFault;
    return r;
  }
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  // MSG_TRUNC: the result is the datagram's true size even when the buffer
  // is smaller; the kernel copies no more than the buffer holds.
  const ssize_t n = ::recvfrom(s, buf, size, MSG_DONTWAIT | MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&sa), &len);
  if (n < 0) {
    r.error = LastError();
    return r;
  }
  r.size = static_cast<std::size_t>(n);
  r.copied = r.size < size ? r.size : size;
  if (len >= sizeof sa && sa.sin_family == AF_INET) {
    r.from.address = ntohl(sa.sin_addr.s_addr);
    r.from.port = ntohs(sa.sin_port);
  }
  return r;
}

int PosixBackend::RecvMany(Socket s, RecvSlot* slots, int n) {
  if (n <= 0) return 0;
  if (!Owns(s)) {
    slots[0].result = RecvResult{};
    slots[0].result.error = err::kNotSocket;
    return 1;
  }
  constexpr int kMax = 16;
  if (n > kMax) n = kMax;
  mmsghdr msgs[kMax] = {};
  iovec iov[kMax];
  sockaddr_in from[kMax];
  for (int i = 0; i < n; ++i) {
    iov[i].iov_base = slots[i].buf;
    iov[i].iov_len = slots[i].buf != nullptr ? slots[i].size : 0;
    from[i] = sockaddr_in{};
    msgs[i].msg_hdr.msg_name = &from[i];
    msgs[i].msg_hdr.msg_namelen = sizeof from[i];
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  // MSG_TRUNC: each length is the datagram's true size even when its
  // buffer is smaller, as in RecvFrom.
  const int got = ::recvmmsg(s, msgs, static_cast<unsigned>(n), MSG_DONTWAIT | MSG_TRUNC, nullptr);
  if (got < 0) {
    const int error = LastError();
    if (error == err::kWouldBlock) return 0;
    slots[0].result = RecvResult{};
    slots[0].result.error = error;
    return 1;
  }
  for (int i = 0; i < got; ++i) {
    RecvResult& r = slots[i].result;
    r = RecvResult{};
    r.size = msgs[i].msg_len;
    if ((msgs[i].msg_hdr.msg_flags & MSG_TRUNC) != 0 && r.size <= slots[i].size) {
      // A kernel that reports truncation without the true size: one byte
      // more than the buffer says as much.
      r.size = slots[i].size + 1;
    }
    r.copied = r.size < slots[i].size ? r.size : slots[i].size;
    if (msgs[i].msg_hdr.msg_namelen >= sizeof from[i] && from[i].sin_family == AF_INET) {
      r.from.address = ntohl(from[i].sin_addr.s_addr);
      r.from.port = ntohs(from[i].sin_port);
    }
  }
  return got;
}

int PosixBackend::Close(Socket s) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (open_.erase(s) == 0) return err::kNotSocket;
  }
  // The descriptor is released even when close reports an error (Linux),
  // so it is forgotten either way and never closed twice.
  if (::close(s) != 0 && errno != EINTR) return LastError();
  return 0;
}

int PosixBackend::OwnAddress(uint32_t* address) {
  if (address == nullptr) return err::kFault;
  if (config_.ownAddress != 0) {
    *address = config_.ownAddress;
    return 0;
  }
  return InterfaceAddress(address);
}

int PosixBackend::HostName(std::string* name) { return SystemHostName(name); }

int InterfaceAddress(uint32_t* address) {
  if (address == nullptr) return err::kFault;
  *address = 0;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return LastError();
  int result = err::kHostNotFound;
  for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    const uint32_t a = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    if ((a >> 24) == 127 || a == kAnyAddress) continue;
    *address = a;
    result = 0;
    break;
  }
  ::freeifaddrs(list);
  return result;
}

int SystemHostName(std::string* name) {
  if (name == nullptr) return err::kFault;
  name->clear();
  char buf[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return LastError();
  buf[sizeof buf - 1] = '\0';
  *name = buf;
  return 0;
}

Backend& DefaultBackend() {
  static Backend* backend = [] {
    std::string problems;
    LabConfig config = LabConfigFromEnvironment(&problems);
    if (!problems.empty()) std::fputs(problems.c_str(), stderr);
    return new PosixBackend(std::move(config));
  }();
  return *backend;
}

}  // namespace net
