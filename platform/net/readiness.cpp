#include "net/readiness.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

namespace net {

ReadySet::~ReadySet() {
  if (epfd_ >= 0) ::close(epfd_);
}

bool ReadySet::Add(Socket s, uint32_t token) {
  if (s < 0) return false;
  if (epfd_ < 0) {
    epfd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epfd_ < 0) return false;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u32 = token;
  if (::epoll_ctl(epfd_, EPOLL_CTL_ADD, s, &ev) == 0) {
    ++watched_;
    return true;
  }
  // The set still holds this descriptor (closed and reused without a
  // Remove): take the entry over for the new token.
  if (errno == EEXIST && ::epoll_ctl(epfd_, EPOLL_CTL_MOD, s, &ev) == 0) return true;
  return false;
}

void ReadySet::Remove(Socket s) {
  if (epfd_ < 0 || s < 0) return;
  ::epoll_ctl(epfd_, EPOLL_CTL_DEL, s, nullptr);
  if (watched_ > 0) --watched_;
  // The set holds a descriptor only while it watches something.
  if (watched_ == 0) {
    ::close(epfd_);
    epfd_ = -1;
  }
}

int ReadySet::Collect(uint32_t* tokens, int max) {
  if (watched_ == 0 || epfd_ < 0 || max <= 0) return 0;
  epoll_event evs[128];
  const int room = max < 128 ? max : 128;
  int n;
  do {
    ++looks_;
    n = ::epoll_wait(epfd_, evs, room, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -1;
  for (int i = 0; i < n; ++i) tokens[i] = evs[i].data.u32;
  return n;
}

}  // namespace net
