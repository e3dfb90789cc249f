// Which of a set of sockets have a datagram waiting, learnt in one call
// without reading any of them.
//
// The sockets of every backend are pollable descriptors (backend.h), so one
// implementation serves the POSIX backend and the hub alike: an epoll set,
// level-triggered, asked without waiting.  A socket that cannot be watched
// (a descriptor epoll refuses) is reported by Add; its owner then treats it
// as possibly ready at every look.
//
// Ownership and threads: the set owns its epoll descriptor only, never the
// sockets; it is used from one thread.  A socket is removed before it is
// closed.
#ifndef NET_READINESS_H
#define NET_READINESS_H

#include <cstdint>

#include "net/backend.h"

namespace net {

class ReadySet {
 public:
  ReadySet() = default;
  ~ReadySet();
  ReadySet(const ReadySet&) = delete;
  ReadySet& operator=(const ReadySet&) = delete;

  // Watches s; `token` comes back from Collect while s has data.  False
  // when s cannot be watched.
  bool Add(Socket s, uint32_t token);
  // Stops watching s, which Add took.  The set keeps a descriptor of its
  // own only while it watches a socket.
  void Remove(Socket s);
  // Sockets watched now.
  int Watched() const { return watched_; }

  // Writes the tokens of the watched sockets that have data (at most max)
  // and returns their number, without waiting; -1 when the look failed
  // (then every socket counts as possibly ready).  With nothing watched it
  // makes no system call.
  int Collect(uint32_t* tokens, int max);

  // System calls made by Collect since the set was made.
  uint64_t looks() const { return looks_; }

 private:
  int epfd_ = -1;
  int watched_ = 0;
  uint64_t looks_ = 0;
};

}  // namespace net

#endif
