// Figures of the comm thread's loop over the real library and real sockets
// on a loopback lab address.
//
//   idle      CPU time of the comm thread per minute while it runs with no
//             nodes (measured over a few seconds and scaled),
//             with its poll and timer rates; against a bare thread woken by
//             a 100 ms timerfd (the floor of a 10 Hz tick)
//   wake-up   a datagram's arrival at this PC's port 2510 (just before the
//             sendto, which on loopback queues it at the receiver) to the
//             library reading it inside the comm thread's poll, p50/p99;
//             against a bare thread blocked in poll() on a UDP socket
//
// Usage: commloop_bench [idle seconds] [rounds]
//   DROVANA_NET_ADDR is not read: the benchmark uses 127.0.0.46.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "IpcComm.h"
#include "LogBuffer.h"
#include "ipctcpip.h"
#include "net/posix.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
constexpr uint32_t kOwn = 0x7F00002E;  // 127.0.0.46
constexpr uint16_t kNode0Port = 2510;
constexpr uint32_t kMagic = 0xC0FFEE42;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             SteadyClock::now().time_since_epoch())
      .count();
}

// CPU time of the calling thread, in milliseconds.
double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

// The comm thread's CPU time as of its last poll.
std::atomic<double> g_commCpuMs{0};

struct Percentiles {
  double p50us = 0, p99us = 0;
  size_t n = 0;
};

Percentiles Summarise(std::vector<int64_t> ns) {
  Percentiles p;
  p.n = ns.size();
  if (ns.empty()) return p;
  std::sort(ns.begin(), ns.end());
  p.p50us = static_cast<double>(ns[ns.size() / 2]) / 1000.0;
  p.p99us = static_cast<double>(ns[std::min(ns.size() - 1, ns.size() * 99 / 100)]) / 1000.0;
  return p;
}

// The datagram the library read last with our marker: its sequence number
// and when the comm thread saw it.
std::atomic<uint32_t> g_seenSeq{0};
std::atomic<int64_t> g_seenNs{0};

void MarkingHook(int direction, uint16_t length, const void* datagram) {
  if (direction == IPC_DEBUG_DIR_RECV && length == 8) {
    uint32_t w[2];
    std::memcpy(w, datagram, sizeof w);
    if (w[0] == kMagic) {
      g_seenNs.store(NowNs());
      g_seenSeq.store(w[1]);
    }
  }
  NetLogDebugHook(direction, length, datagram);
}

class MarkingLibrary : public TessioLibrary {
 public:
  DebugHook InstallDebugHook(DebugHook) override {
    return TessioLibrary::InstallDebugHook(MarkingHook);
  }
  // The last call of each poll, on the comm thread.
  void DirectLinkTick() override {
    TessioLibrary::DirectLinkTick();
    g_commCpuMs.store(ThreadCpuMs());
  }
};

int UdpSocket(uint32_t addr, uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(addr);
  a.sin_port = htons(port);
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendTo(int fd, uint32_t addr, uint16_t port, uint32_t seq) {
  const uint32_t w[2] = {kMagic, seq};
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(addr);
  to.sin_port = htons(port);
  return ::sendto(fd, w, sizeof w, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
         static_cast<ssize_t>(sizeof w);
}

bool WaitSeen(uint32_t seq) {
  const int64_t deadline = NowNs() + 1'000'000'000;
  while (g_seenSeq.load() != seq) {
    if (NowNs() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// A thread that does nothing but wake every 100 ms.
double BareTimerCpuMsPerMinute(int seconds) {
  std::atomic<bool> stop{false};
  double used = 0;
  std::thread t([&] {
    const double before = ThreadCpuMs();
    int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    itimerspec spec{};
    spec.it_interval.tv_nsec = 100'000'000;
    spec.it_value.tv_nsec = 100'000'000;
    ::timerfd_settime(fd, 0, &spec, nullptr);
    uint64_t n;
    while (!stop.load()) {
      if (::read(fd, &n, sizeof n) < 0) break;
    }
    used = ThreadCpuMs() - before;
    ::close(fd);
  });
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  stop.store(true);
  t.join();
  return used * 60.0 / seconds;
}

// A thread blocked in poll() on a socket, timing each datagram's arrival.
Percentiles BareSocketWake(int rounds) {
  int rx = UdpSocket(0x7F000001, 0);
  int tx = UdpSocket(0x7F000001, 0);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(rx, reinterpret_cast<sockaddr*>(&a), &len);
  const uint16_t port = ntohs(a.sin_port);
  std::atomic<uint32_t> seen{0};
  std::atomic<int64_t> seenNs{0};
  std::atomic<bool> stop{false};
  std::thread t([&] {
    pollfd p{rx, POLLIN, 0};
    while (!stop.load()) {
      if (::poll(&p, 1, 200) <= 0) continue;
      uint32_t w[2];
      if (::recv(rx, w, sizeof w, 0) == static_cast<ssize_t>(sizeof w) && w[0] == kMagic) {
        seenNs.store(NowNs());
        seen.store(w[1]);
      }
    }
  });
  std::vector<int64_t> lat;
  for (int i = 1; i <= rounds; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(500));
    const int64_t t0 = NowNs();
    SendTo(tx, 0x7F000001, port, static_cast<uint32_t>(i));
    const int64_t deadline = t0 + 1'000'000'000;
    while (seen.load() != static_cast<uint32_t>(i) && NowNs() < deadline) std::this_thread::yield();
    if (seen.load() == static_cast<uint32_t>(i)) lat.push_back(seenNs.load() - t0);
  }
  stop.store(true);
  t.join();
  ::close(rx);
  ::close(tx);
  return Summarise(lat);
}

}  // namespace

int main(int argc, char** argv) {
  const int idleSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const int rounds = argc > 2 ? std::max(10, std::atoi(argv[2])) : 2000;

  LogBuffer log(platform::time::SystemClock());  // the comm thread's lines are dropped into it
  net::LabConfig lab;
  lab.ownAddress = kOwn;
  lab.bindWildcardToOwn = true;
  net::PosixBackend posix(lab);
  ipc::IpcTcpIpBackendSet(&posix);
  MarkingLibrary lib;
  StreamMessageBox box(stderr);

  CIpcComm comm;
  comm.SetPorts({&lib, nullptr, &posix, &box, msgq::TimerMode::Real});
  if (!comm.Start()) {
    std::fprintf(stderr, "the comm thread did not start\n");
    return 1;
  }

  // Idle: no nodes, nothing posted.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const uint32_t polls0 = comm.Polls(), timers0 = comm.TimerMessages();
  const double cpu0 = g_commCpuMs.load();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const double idleCpuPerMin = (g_commCpuMs.load() - cpu0) * 60.0 / idleSeconds;
  const double pollsPerSec = static_cast<double>(comm.Polls() - polls0) / idleSeconds;
  const double timersPerSec = static_cast<double>(comm.TimerMessages() - timers0) / idleSeconds;

  // Wake-up: one datagram at a time, each sent while the loop sleeps.
  int tx = UdpSocket(0x7F000001, 0);
  std::vector<int64_t> lat;
  int lost = 0;
  for (int i = 1; i <= rounds; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(500));
    const int64_t t0 = NowNs();
    if (!SendTo(tx, kOwn, kNode0Port, static_cast<uint32_t>(i)) ||
        !WaitSeen(static_cast<uint32_t>(i))) {
      ++lost;
      continue;
    }
    lat.push_back(g_seenNs.load() - t0);
  }
  ::close(tx);
  const uint32_t sockets = comm.SocketMessages();
  comm.Stop();
  IpcTerm();
  InstallDebugHook(nullptr);
  InstallSocketOpenHook(nullptr);
  ipc::IpcTcpIpBackendSet(nullptr);

  const double bareCpuPerMin = BareTimerCpuMsPerMinute(idleSeconds);
  const Percentiles loop = Summarise(lat);
  const Percentiles bare = BareSocketWake(rounds);

  std::printf("comm loop idle (no nodes), measured over %d s:\n", idleSeconds);
  std::printf("  CPU time            %8.2f ms per minute (%.4f%% of one core)\n", idleCpuPerMin,
              idleCpuPerMin / 600.0);
  std::printf("  polls               %8.1f per second\n", pollsPerSec);
  std::printf("  timer messages      %8.1f per second\n", timersPerSec);
  std::printf("  bare 100 ms timerfd %8.2f ms per minute; ratio loop/bare %.2f\n", bareCpuPerMin,
              bareCpuPerMin > 0 ? idleCpuPerMin / bareCpuPerMin : 0.0);
  std::printf("wake-up, datagram arrival to its read in the poll (%zu of %d, %d lost, %u socket "
              "messages):\n",
              loop.n, rounds, lost, sockets);
  std::printf("  comm loop           p50 %8.1f us   p99 %8.1f us\n", loop.p50us, loop.p99us);
  std::printf("  bare poll() thread  p50 %8.1f us   p99 %8.1f us\n", bare.p50us, bare.p99us);
  std::printf("  ratio loop/bare     p50 %8.2f      p99 %8.2f\n",
              bare.p50us > 0 ? loop.p50us / bare.p50us : 0.0,
              bare.p99us > 0 ? loop.p99us / bare.p99us : 0.0);
  return lost == rounds ? 1 : 0;
}
