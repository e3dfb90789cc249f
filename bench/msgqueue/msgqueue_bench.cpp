// Figures of the per-thread message queues.
//
//   post->get latency   one thread posts, the other sleeps in GetMessage;
//                       ping-pong, one-way p50/p99 from timestamps, against
//                       the same ping-pong over bare eventfds (the cost of a
//                       cross-thread wake-up itself)
//   socket->message     a datagram's sendto to the watching loop's return
//                       from GetMessage, against a bare poll() on the socket
//   throughput          posts per second from 4 threads into one queue,
//                       against the same into a mutex-guarded deque with a
//                       condition variable
//   idle                wake-ups and CPU time of a loop waiting in GetMessage:
//                       with nothing to do it must not wake at all; with a
//                       100 ms timer it wakes 10 times a second
//
// Usage: msgqueue_bench [rounds] [idle seconds]
#include "msgqueue.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kPing = msgq::WM_APP + 1;
constexpr uint32_t kSock = msgq::WM_APP + 2;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

struct Percentiles {
  double p50us = 0, p99us = 0;
};

Percentiles Summarise(std::vector<int64_t> ns) {
  Percentiles p;
  if (ns.empty()) return p;
  std::sort(ns.begin(), ns.end());
  p.p50us = static_cast<double>(ns[ns.size() / 2]) / 1000.0;
  p.p99us = static_cast<double>(ns[std::min(ns.size() - 1, ns.size() * 99 / 100)]) / 1000.0;
  return p;
}

// Waits up to 2 s for the next message of h; false when none came.
bool GetWithin(msgq::Handle h, msgq::Msg* m) {
  const auto giveUp = Clock::now() + std::chrono::seconds(2);
  while (!msgq::PeekMessage(h, m)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - Clock::now()).count();
    if (left <= 0) return false;
    msgq::WaitMessage(h, static_cast<int>(left));
  }
  return true;
}

// Ping-pong through two queues; returns one-way latencies.  Every wait is
// bounded: a lost message ends the run with the samples so far.
std::vector<int64_t> QueuePingPong(int rounds) {
  msgq::Queue mine;
  std::atomic<uint64_t> peerId{0};
  std::vector<int64_t> oneWay;
  oneWay.reserve(static_cast<size_t>(rounds));
  std::thread peer([&] {
    msgq::Queue q;
    peerId = q.handle().id;
    msgq::Msg m;
    while (GetWithin(q.handle(), &m) && m.message != msgq::WM_QUIT) {
      oneWay.push_back(NowNs() - m.lParam);
      msgq::PostMessage(mine.handle(), kPing, 0, 0);
    }
  });
  while (peerId == 0) std::this_thread::yield();
  msgq::Handle to{peerId};
  msgq::Msg m;
  for (int i = 0; i < rounds; ++i) {
    msgq::PostMessage(to, kPing, 0, static_cast<intptr_t>(NowNs()));
    if (!GetWithin(mine.handle(), &m)) {
      std::fprintf(stderr, "ping %d got no answer\n", i);
      break;
    }
  }
  msgq::PostQuitMessage(to, 0);
  peer.join();
  return oneWay;
}

// Reads one count from an eventfd, waiting at most 2 s.
bool ReadWithin(int fd) {
  pollfd p{fd, POLLIN, 0};
  uint64_t v;
  return ::poll(&p, 1, 2000) == 1 && ::read(fd, &v, sizeof v) == sizeof v;
}

// The same ping-pong over two blocking eventfds: the floor under any
// cross-thread hand-over that sleeps (the poll() before each read bounds
// the wait; a thread asleep in it wakes as one asleep in read() does).
std::vector<int64_t> EventfdPingPong(int rounds) {
  int there = ::eventfd(0, EFD_CLOEXEC);
  int back = ::eventfd(0, EFD_CLOEXEC);
  std::atomic<int64_t> sentAt{0};
  std::vector<int64_t> oneWay;
  oneWay.reserve(static_cast<size_t>(rounds));
  std::thread peer([&] {
    for (int i = 0; i < rounds; ++i) {
      if (!ReadWithin(there)) break;
      oneWay.push_back(NowNs() - sentAt.load(std::memory_order_relaxed));
      uint64_t one = 1;
      if (::write(back, &one, sizeof one) != sizeof one) break;
    }
  });
  for (int i = 0; i < rounds; ++i) {
    sentAt.store(NowNs(), std::memory_order_relaxed);
    uint64_t one = 1;
    if (::write(there, &one, sizeof one) != sizeof one) break;
    if (!ReadWithin(back)) break;
  }
  peer.join();
  ::close(there);
  ::close(back);
  return oneWay;
}

int OpenUdp(sockaddr_in* bound) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    std::perror("udp socket");
    std::exit(1);
  }
  if (bound) *bound = a;
  return fd;
}

// Datagram to a loop that sleeps in GetMessage (watch, read dry, re-arm) or,
// as the peer, in a bare poll().  Each datagram carries its send time; the
// sender waits for the reader's acknowledgement so each finds it asleep.
std::vector<int64_t> SocketWake(int rounds, bool viaQueue) {
  sockaddr_in to{};
  int rx = OpenUdp(&to);
  int tx = OpenUdp(nullptr);
  std::atomic<int> done{0};
  std::atomic<bool> stop{false};
  std::vector<int64_t> lat;
  lat.reserve(static_cast<size_t>(rounds));
  auto readAll = [&] {
    int64_t ts;
    while (::recv(rx, &ts, sizeof ts, 0) == sizeof ts) {
      lat.push_back(NowNs() - ts);
      ++done;
    }
  };
  std::thread reader([&] {
    if (viaQueue) {
      msgq::Queue q;
      msgq::WatchSocket(rx, q.handle(), kSock);
      msgq::Msg m;
      while (!stop) {
        if (!msgq::WaitMessage(q.handle(), 100)) continue;
        if (!msgq::PeekMessage(q.handle(), &m)) continue;
        readAll();
        msgq::RearmSocket(rx);
      }
      msgq::UnwatchSocket(rx);
    } else {
      while (!stop) {
        pollfd p{rx, POLLIN, 0};
        if (::poll(&p, 1, 100) == 1) readAll();
      }
    }
  });
  for (int i = 0; i < rounds; ++i) {
    int64_t ts = NowNs();
    ::sendto(tx, &ts, sizeof ts, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    auto giveUp = Clock::now() + std::chrono::seconds(2);
    while (done <= i && Clock::now() < giveUp) std::this_thread::yield();
    if (done <= i) {
      std::fprintf(stderr, "datagram %d lost\n", i);
      break;
    }
  }
  stop = true;
  reader.join();
  ::close(rx);
  ::close(tx);
  return lat;
}

double Throughput(int producers, int perProducer) {
  msgq::Queue q;
  auto t0 = Clock::now();
  std::vector<std::thread> ts;
  for (int p = 0; p < producers; ++p) {
    ts.emplace_back([&] {
      for (int i = 0; i < perProducer; ++i) msgq::PostMessage(q.handle(), kPing, 0, i);
    });
  }
  msgq::Msg m;
  int64_t got = 0;
  while (got < int64_t{producers} * perProducer && GetWithin(q.handle(), &m)) ++got;
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  for (auto& t : ts) t.join();
  return static_cast<double>(got) / secs;
}

// The peer: the same posts into a bare mutex-guarded deque with a
// condition variable that the one consumer sleeps on.
double DequeThroughput(int producers, int perProducer) {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<intptr_t> items;
  auto t0 = Clock::now();
  std::vector<std::thread> ts;
  for (int p = 0; p < producers; ++p) {
    ts.emplace_back([&] {
      for (int i = 0; i < perProducer; ++i) {
        {
          std::lock_guard<std::mutex> lock(mu);
          items.push_back(i);
        }
        cv.notify_one();
      }
    });
  }
  int64_t got = 0;
  while (got < int64_t{producers} * perProducer) {
    std::unique_lock<std::mutex> lock(mu);
    if (!cv.wait_for(lock, std::chrono::seconds(2), [&] { return !items.empty(); })) break;
    items.pop_front();
    ++got;
  }
  double secs = std::chrono::duration<double>(Clock::now() - t0).count();
  for (auto& t : ts) t.join();
  return static_cast<double>(got) / secs;
}

long ContextSwitches(pid_t tid) {
  std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  long total = 0;
  while (std::getline(f, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
      total += std::strtol(line.c_str() + line.find(':') + 1, nullptr, 10);
    }
  }
  return total;
}

struct Idle {
  double wakeupsPerSec = 0;
  double cpuMsPerMin = 0;
  long timerMsgs = 0;
};

// A loop asleep for `secs`: in GetMessage with a socket watched but silent
// and, when timerMs > 0, a timer; or (bareTimerfd, the peer) in read() on a
// periodic timerfd.
Idle IdleLoop(double secs, uint32_t timerMs, bool bareTimerfd = false) {
  std::atomic<pid_t> tid{0};
  std::atomic<uint64_t> qid{0};
  std::atomic<long> timers{0};
  pthread_t self{};
  int rx = OpenUdp(nullptr);
  std::atomic<bool> stopBare{false};
  std::thread loop([&] {
    if (bareTimerfd) {
      int tfd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
      itimerspec its{};
      its.it_interval.tv_nsec = static_cast<long>(timerMs) * 1000000L;
      its.it_value = its.it_interval;
      ::timerfd_settime(tfd, 0, &its, nullptr);
      tid = ::gettid();
      qid = 1;
      uint64_t n;
      while (!stopBare && ::read(tfd, &n, sizeof n) == sizeof n) timers += static_cast<long>(n);
      ::close(tfd);
      return;
    }
    msgq::Queue q;
    msgq::WatchSocket(rx, q.handle(), kSock);
    if (timerMs) msgq::SetTimer(q.handle(), 1, timerMs);
    tid = ::gettid();
    qid = q.handle().id;
    msgq::Msg m;
    while (msgq::GetMessage(q.handle(), &m) > 0) {
      if (m.message == msgq::WM_TIMER) ++timers;
    }
    msgq::UnwatchSocket(rx);
  });
  while (qid == 0) std::this_thread::yield();
  self = loop.native_handle();
  clockid_t cpu;
  pthread_getcpuclockid(self, &cpu);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it settle into its wait
  auto cpuNow = [&] {
    timespec t{};
    clock_gettime(cpu, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
  };
  long cs0 = ContextSwitches(tid);
  long t0 = timers;
  double c0 = cpuNow();
  auto w0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(secs));
  long cs1 = ContextSwitches(tid);
  long t1 = timers;
  double c1 = cpuNow();
  double wall = std::chrono::duration<double>(Clock::now() - w0).count();
  if (bareTimerfd) {
    stopBare = true;  // ends at its next tick
  } else {
    msgq::PostQuitMessage(msgq::Handle{qid}, 0);
  }
  loop.join();
  ::close(rx);
  Idle r;
  r.wakeupsPerSec = static_cast<double>(cs1 - cs0) / wall;
  r.cpuMsPerMin = (c1 - c0) / wall * 60.0;
  r.timerMsgs = t1 - t0;
  return r;
}

// a / b, or 0 when the peer b measured nothing.
double Ratio(double a, double b) { return b > 0 ? a / b : 0.0; }

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
  double idleSecs = argc > 2 ? std::max(0.5, std::atof(argv[2])) : 2.0;

  std::printf("msgqueue benchmark: %d rounds, %.1f s idle windows, %u CPUs\n", rounds, idleSecs,
              std::thread::hardware_concurrency());

  auto q = Summarise(QueuePingPong(rounds));
  auto e = Summarise(EventfdPingPong(rounds));
  std::printf("post->get (sleeping consumer)  p50 %7.2f us  p99 %7.2f us\n", q.p50us, q.p99us);
  std::printf("  bare eventfd wake            p50 %7.2f us  p99 %7.2f us\n", e.p50us, e.p99us);
  std::printf("  ratio to eventfd             p50 %7.2f     p99 %7.2f\n", Ratio(q.p50us, e.p50us), Ratio(q.p99us, e.p99us));

  int sockRounds = std::max(100, rounds / 4);
  auto s = Summarise(SocketWake(sockRounds, true));
  auto sp = Summarise(SocketWake(sockRounds, false));
  std::printf("datagram->GetMessage           p50 %7.2f us  p99 %7.2f us\n", s.p50us, s.p99us);
  std::printf("  bare poll() on the socket    p50 %7.2f us  p99 %7.2f us\n", sp.p50us, sp.p99us);
  std::printf("  ratio to poll()              p50 %7.2f     p99 %7.2f\n", Ratio(s.p50us, sp.p50us), Ratio(s.p99us, sp.p99us));

  double tput = Throughput(4, 250000);
  double dtput = DequeThroughput(4, 250000);
  std::printf("throughput, 4 posting threads  %.2f M messages/s\n", tput / 1e6);
  std::printf("  bare mutex+deque+condvar     %.2f M messages/s  (ratio %.2f)\n", dtput / 1e6,
              Ratio(tput, dtput));

  auto idle = IdleLoop(idleSecs, 0);
  std::printf("idle loop, no timer            %.2f wake-ups/s  %.3f ms CPU/min (expected 0 wake-ups)\n",
              idle.wakeupsPerSec, idle.cpuMsPerMin);
  auto ticking = IdleLoop(idleSecs, 100);
  auto bare = IdleLoop(idleSecs, 100, true);
  double expected = 1000.0 / 100.0;
  std::printf("idle loop, 100 ms timer        %.2f wake-ups/s  %.3f ms CPU/min  %ld WM_TIMER (ratio to 10/s: %.2f)\n",
              ticking.wakeupsPerSec, ticking.cpuMsPerMin, ticking.timerMsgs, ticking.wakeupsPerSec / expected);
  std::printf("  bare timerfd read, 100 ms    %.2f wake-ups/s  %.3f ms CPU/min  (CPU ratio %.2f)\n",
              bare.wakeupsPerSec, bare.cpuMsPerMin, Ratio(ticking.cpuMsPerMin, bare.cpuMsPerMin));
  return idle.wakeupsPerSec < 1.0 ? 0 : 1;
}
