#include "msgqueue.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace msgq {
namespace detail {

namespace {

thread_local uint64_t g_waits = 0, g_signals = 0, g_rearms = 0;

// epoll data: the serial of the source that became ready.  Serial 0 is the
// queue's own wake-up eventfd.  Sources are looked up by serial under the
// queue's lock, so an event of a source removed meanwhile is ignored.
constexpr uint64_t kWakeSerial = 0;

void closeFd(int fd) {
  if (fd >= 0) {
    while (::close(fd) < 0 && errno == EINTR) {
    }
  }
}

}  // namespace

class QueueImpl {
 public:
  explicit QueueImpl(TimerMode mode) : mode_(mode) {
    epfd_ = ::epoll_create1(EPOLL_CLOEXEC);
    wakefd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epfd_ >= 0 && wakefd_ >= 0) {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u64 = kWakeSerial;
      ok_ = ::epoll_ctl(epfd_, EPOLL_CTL_ADD, wakefd_, &ev) == 0;
    }
  }

  ~QueueImpl() {
    for (auto& [serial, t] : timers_) closeFd(t.fd);
    closeFd(wakefd_);
    closeFd(epfd_);
  }

  bool ok() const { return ok_; }
  int pollFd() const { return epfd_; }

  // Called once by ~Queue: later calls through stray references fail.
  void close() {
    std::lock_guard lk(m_);
    alive_ = false;
    posts_.clear();
    for (auto& [serial, t] : timers_) {
      closeFd(t.fd);
      t.fd = -1;
    }
    timers_.clear();
    due_.clear();
    for (auto& [fd, s] : sockets_) ::epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
    sockets_.clear();
    socketFds_.clear();
  }

  bool post(const Msg& m) {
    bool wake;
    {
      std::lock_guard lk(m_);
      if (!alive_) return false;
      wake = posts_.empty();
      posts_.push_back(m);
    }
    // The consumer checks the queue under the lock before it sleeps, so only
    // the post that makes the queue non-empty needs to wake it.
    if (wake) signal();
    return true;
  }

  bool postQuit(int code) {
    {
      std::lock_guard lk(m_);
      if (!alive_) return false;
      quit_ = true;
      quitCode_ = code;
    }
    signal();
    return true;
  }

  // timeoutMs: 0 = do not wait, -1 = wait without limit.
  // Returns 1 when a message is (or, take == false, could be) retrieved,
  // 0 on time-out, -1 on failure.
  int get(Msg* out, int timeoutMs, bool take) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    bool looked = false;  // descriptors looked at once without waiting
    for (;;) {
      {
        std::lock_guard lk(m_);
        if (!alive_) {
          errno = EBADF;
          return -1;
        }
        // A socket that became readable counts as posted when it did, so the
        // descriptors are looked at before a quit or a timer is handed out.
        if (!posts_.empty() || (looked && ready())) {
          if (take) takeLocked(out);
          return 1;
        }
      }
      // No post queued: collect what came due (sockets, timers, wake-ups)
      // without waiting, and only then sleep if the caller wants to.
      int wait = 0;
      if (looked) {
        if (timeoutMs == 0) return 0;
        if (timeoutMs > 0) {
          auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
          if (left <= 0) return 0;
          wait = static_cast<int>(left);
        } else {
          wait = -1;
        }
      }
      epoll_event evs[16];
      ++g_waits;
      int n = ::epoll_wait(epfd_, evs, 16, wait);
      if (n < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      if (n > 0) {
        std::lock_guard lk(m_);
        for (int i = 0; i < n; ++i) onReady(evs[i]);
      }
      looked = true;
    }
  }

  bool hasPosted() {
    std::lock_guard lk(m_);
    return alive_ && !posts_.empty();
  }

  bool setTimer(uintptr_t id, uint32_t periodMs) {
    if (periodMs < kMinTimerPeriodMs) periodMs = kMinTimerPeriodMs;
    std::lock_guard lk(m_);
    if (!alive_) return false;
    Timer* t = findTimer(id);
    if (t == nullptr) {
      Timer nt;
      nt.id = id;
      uint64_t serial = nextSerial_++;
      if (mode_ == TimerMode::Real) {
        nt.fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (nt.fd < 0) return false;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = serial;
        if (::epoll_ctl(epfd_, EPOLL_CTL_ADD, nt.fd, &ev) != 0) {
          closeFd(nt.fd);
          return false;
        }
      }
      t = &timers_.emplace(serial, nt).first->second;
    }
    t->periodMs = periodMs;
    if (t->fd >= 0) {
      itimerspec its{};
      its.it_interval.tv_sec = periodMs / 1000;
      its.it_interval.tv_nsec = static_cast<long>(periodMs % 1000) * 1000000L;
      its.it_value = its.it_interval;
      if (::timerfd_settime(t->fd, 0, &its, nullptr) != 0) return false;
    }
    return true;
  }

  bool killTimer(uintptr_t id) {
    std::lock_guard lk(m_);
    if (!alive_) return false;
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (it->second.id != id) continue;
      closeFd(it->second.fd);  // closing also removes it from the epoll set
      if (it->second.due) std::erase(due_, id);
      timers_.erase(it);
      return true;
    }
    return false;
  }

  bool fireTimer(uintptr_t id) {
    {
      std::lock_guard lk(m_);
      if (!alive_) return false;
      Timer* t = findTimer(id);
      if (t == nullptr) return false;
      markDue(*t);
    }
    signal();
    return true;
  }

  // Socket registrations; the registry's lock serialises these per process.
  // Returns the registration's serial, 0 on failure.
  uint64_t watch(int fd, uint32_t message) {
    std::lock_guard lk(m_);
    if (!alive_) return 0;
    unwatchLocked(fd);
    uint64_t serial = nextSerial_++;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLONESHOT;
    ev.data.u64 = serial;
    if (::epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
      // The kernel still holds an entry for this very file that we had
      // forgotten: take it over.
      if (errno != EEXIST) return 0;
      if (::epoll_ctl(epfd_, EPOLL_CTL_MOD, fd, &ev) != 0) return 0;
    }
    sockets_[serial] = Sock{fd, message, true};
    socketFds_[fd] = serial;
    return serial;
  }

  void unwatch(int fd) {
    std::lock_guard lk(m_);
    unwatchLocked(fd);
  }

  // Re-arms `fd` (or every socket when fd < 0).  Appends to `stale` the
  // descriptors found closed, which are dropped.
  void rearm(int fd, std::vector<int>* stale) {
    std::lock_guard lk(m_);
    if (!alive_) return;
    if (fd >= 0) {
      auto it = socketFds_.find(fd);
      if (it != socketFds_.end()) rearmLocked(it->second, stale);
      return;
    }
    std::vector<uint64_t> serials;
    serials.reserve(sockets_.size());
    for (auto& [serial, s] : sockets_) {
      if (!s.armed) serials.push_back(serial);
    }
    for (uint64_t s : serials) rearmLocked(s, stale);
  }

 private:
  struct Timer {
    uintptr_t id = 0;
    int fd = -1;  // -1 in manual mode
    uint32_t periodMs = 0;
    bool due = false;
  };
  struct Sock {
    int fd;
    uint32_t message;
    bool armed;
  };

  void signal() {
    ++g_signals;
    uint64_t one = 1;
    // A full counter (never in practice) still leaves the descriptor readable.
    while (::write(wakefd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }

  bool ready() const { return !posts_.empty() || quit_ || !due_.empty(); }

  void takeLocked(Msg* out) {
    Msg m;
    if (!posts_.empty()) {
      m = posts_.front();
      posts_.pop_front();
    } else if (quit_) {
      quit_ = false;
      m = Msg{WM_QUIT, static_cast<uintptr_t>(quitCode_), 0};
    } else {
      uintptr_t id = due_.front();
      due_.pop_front();
      if (Timer* t = findTimer(id)) t->due = false;
      m = Msg{WM_TIMER, id, 0};
    }
    if (out != nullptr) *out = m;
  }

  Timer* findTimer(uintptr_t id) {
    for (auto& [serial, t] : timers_) {
      if (t.id == id) return &t;
    }
    return nullptr;
  }

  void markDue(Timer& t) {
    if (t.due) return;  // coalesced: one WM_TIMER however many periods
    t.due = true;
    due_.push_back(t.id);
  }

  void onReady(const epoll_event& ev) {
    uint64_t serial = ev.data.u64;
    if (serial == kWakeSerial) {
      uint64_t v;
      while (::read(wakefd_, &v, sizeof v) < 0 && errno == EINTR) {
      }
      return;
    }
    if (auto it = timers_.find(serial); it != timers_.end()) {
      uint64_t expirations = 0;
      if (it->second.fd >= 0 &&
          ::read(it->second.fd, &expirations, sizeof expirations) == sizeof expirations &&
          expirations > 0) {
        markDue(it->second);
      }
      return;
    }
    if (auto it = sockets_.find(serial); it != sockets_.end()) {
      Sock& s = it->second;
      if (!s.armed) return;
      s.armed = false;  // EPOLLONESHOT has disabled it in the kernel too
      posts_.push_back(Msg{s.message, static_cast<uintptr_t>(s.fd), FD_READ});
    }
  }

  void rearmLocked(uint64_t serial, std::vector<int>* stale) {
    auto it = sockets_.find(serial);
    if (it == sockets_.end() || it->second.armed) return;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLONESHOT;
    ev.data.u64 = serial;
    // Level-triggered: a socket that already holds data reports at once.
    ++g_rearms;
    if (::epoll_ctl(epfd_, EPOLL_CTL_MOD, it->second.fd, &ev) == 0) {
      it->second.armed = true;
      return;
    }
    // ENOENT: the descriptor was closed (its number may already name another
    // file); EBADF: closed and not reused.  Either way the watch is over.
    if (stale != nullptr) stale->push_back(it->second.fd);
    socketFds_.erase(it->second.fd);
    sockets_.erase(it);
  }

  void unwatchLocked(int fd) {
    auto it = socketFds_.find(fd);
    if (it == socketFds_.end()) return;
    ::epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);  // fails harmlessly once closed
    sockets_.erase(it->second);
    socketFds_.erase(it);
  }

  const TimerMode mode_;
  int epfd_ = -1;
  int wakefd_ = -1;
  bool ok_ = false;

  std::mutex m_;
  bool alive_ = true;
  std::deque<Msg> posts_;
  bool quit_ = false;
  int quitCode_ = 0;
  std::map<uint64_t, Timer> timers_;  // by serial
  std::deque<uintptr_t> due_;         // timer ids, each at most once
  std::unordered_map<uint64_t, Sock> sockets_;  // by serial
  std::unordered_map<int, uint64_t> socketFds_;  // fd -> serial
  uint64_t nextSerial_ = 1;
};

}  // namespace detail

namespace {

using detail::QueueImpl;

// Live queues by handle id, and which queue watches which descriptor.  Never
// destroyed, so queues held by static objects can go away in any order.
struct Registry {
  std::mutex m;
  uint64_t nextId = 1;
  std::unordered_map<uint64_t, std::shared_ptr<QueueImpl>> queues;
  std::unordered_map<int, uint64_t> socketOwner;  // fd -> queue id
};

Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

std::shared_ptr<QueueImpl> lookupLocked(Registry& r, Handle h) {
  auto it = r.queues.find(h.id);
  return it == r.queues.end() ? nullptr : it->second;
}

std::shared_ptr<QueueImpl> lookup(Handle h) {
  if (!h) return nullptr;
  Registry& r = registry();
  std::lock_guard lk(r.m);
  return lookupLocked(r, h);
}

void dropStaleLocked(Registry& r, uint64_t queueId, const std::vector<int>& stale) {
  for (int fd : stale) {
    auto it = r.socketOwner.find(fd);
    if (it != r.socketOwner.end() && it->second == queueId) r.socketOwner.erase(it);
  }
}

}  // namespace

Queue::Queue(TimerMode mode) : impl_(std::make_shared<QueueImpl>(mode)) {
  if (!impl_->ok()) return;
  Registry& r = registry();
  std::lock_guard lk(r.m);
  handle_ = Handle{r.nextId++};
  r.queues.emplace(handle_.id, impl_);
}

Queue::~Queue() {
  if (handle_) {
    Registry& r = registry();
    std::lock_guard lk(r.m);
    r.queues.erase(handle_.id);
    std::erase_if(r.socketOwner, [this](const auto& e) { return e.second == handle_.id; });
  }
  impl_->close();
}

int Queue::pollFd() const { return impl_->pollFd(); }

bool PostMessage(Handle h, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  auto q = lookup(h);
  return q && q->post(Msg{message, wParam, lParam});
}

bool PostQuitMessage(Handle h, int exitCode) {
  auto q = lookup(h);
  return q && q->postQuit(exitCode);
}

int GetMessage(Handle h, Msg* out) {
  auto q = lookup(h);
  if (!q) {
    errno = EBADF;
    return -1;
  }
  Msg m;
  if (q->get(&m, -1, true) < 0) return -1;
  if (out != nullptr) *out = m;
  return m.message == WM_QUIT ? 0 : 1;
}

bool PeekMessage(Handle h, Msg* out) {
  auto q = lookup(h);
  return q && q->get(out, 0, true) == 1;
}

bool WaitMessage(Handle h, int timeoutMs) {
  auto q = lookup(h);
  return q && q->get(nullptr, timeoutMs < 0 ? -1 : timeoutMs, false) == 1;
}

SysCallCounts SysCalls() {
  SysCallCounts c;
  c.waits = detail::g_waits;
  c.wakeSignals = detail::g_signals;
  c.rearms = detail::g_rearms;
  return c;
}

bool HasPostedMessage(Handle h) {
  auto q = lookup(h);
  return q && q->hasPosted();
}

bool SetTimer(Handle h, uintptr_t id, uint32_t periodMs) {
  auto q = lookup(h);
  return q && q->setTimer(id, periodMs);
}

bool KillTimer(Handle h, uintptr_t id) {
  auto q = lookup(h);
  return q && q->killTimer(id);
}

bool FireTimer(Handle h, uintptr_t id) {
  auto q = lookup(h);
  return q && q->fireTimer(id);
}

bool WatchSocket(int fd, Handle h, uint32_t message) {
  if (fd < 0) return false;
  Registry& r = registry();
  std::lock_guard lk(r.m);
  auto q = lookupLocked(r, h);
  if (!q) return false;
  if (auto it = r.socketOwner.find(fd); it != r.socketOwner.end() && it->second != h.id) {
    if (auto old = lookupLocked(r, Handle{it->second})) old->unwatch(fd);
    r.socketOwner.erase(it);
  }
  if (q->watch(fd, message) == 0) {
    r.socketOwner.erase(fd);
    return false;
  }
  r.socketOwner[fd] = h.id;
  return true;
}

void RearmSocket(int fd) {
  Registry& r = registry();
  std::lock_guard lk(r.m);
  auto it = r.socketOwner.find(fd);
  if (it == r.socketOwner.end()) return;
  uint64_t qid = it->second;
  auto q = lookupLocked(r, Handle{qid});
  if (!q) return;
  std::vector<int> stale;
  q->rearm(fd, &stale);
  dropStaleLocked(r, qid, stale);
}

void RearmSockets(Handle h) {
  Registry& r = registry();
  std::lock_guard lk(r.m);
  auto q = lookupLocked(r, h);
  if (!q) return;
  std::vector<int> stale;
  q->rearm(-1, &stale);
  dropStaleLocked(r, h.id, stale);
}

void UnwatchSocket(int fd) {
  Registry& r = registry();
  std::lock_guard lk(r.m);
  auto it = r.socketOwner.find(fd);
  if (it == r.socketOwner.end()) return;
  if (auto q = lookupLocked(r, Handle{it->second})) q->unwatch(fd);
  r.socketOwner.erase(it);
}

}  // namespace msgq
