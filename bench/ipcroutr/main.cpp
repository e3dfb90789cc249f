// Round trip of one com-proc and its answering event between two library
// processes on loopback (two ipcpeer processes, each waking on socket
// readiness), beside the same exchange as a raw UDP ping-pong between two
// processes (the physical limit here) and over ENet (reliable packets);
// from 400 bytes on also the raw ping-pong with every datagram acknowledged
// at once, as the library does at those sizes.
// Beside each: the system calls per round trip (the raw ping-pong's by
// construction; the library's from its socket driver's counters and the
// host's own waits, both sides) and the wake-ups per round trip (voluntary
// context switches, from getrusage, both sides).  Also: the time from a
// peer's start to its entry of the other being online with the link ok and
// both clients' net handles set.
//
//   bench_ipcroutr [ROUND_TRIPS] [PAYLOAD_BYTES]     (defaults 5000, 16)
#include <arpa/inet.h>
#include <signal.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#ifdef HAVE_ENET
#include <enet/enet.h>
#endif

#include "PeerProcess.h"

namespace {

constexpr int kPktHdr = 46;     // the library's packet header
constexpr int kComProcHdr = 16;
constexpr int kEvntHdr = 18;

uint64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}
uint64_t NowUs() { return NowNs() / 1000u; }

long WakeUps(int who) {
  rusage ru{};
  getrusage(who, &ru);
  return ru.ru_nvcsw;
}

struct Figures {
  double p50 = 0, p99 = 0;  // microseconds
  int done = 0;
  bool ok = false;
  // Per round trip; below 0: not measured.
  double syscalls = -1, wakeups = -1;
  std::string syscallDetail;
};

Figures FromSamples(std::vector<uint64_t> ns) {
  Figures f;
  if (ns.empty()) return f;
  std::sort(ns.begin(), ns.end());
  auto at = [&](double q) {
    return static_cast<double>(ns[std::min(ns.size() - 1, static_cast<size_t>(q * ns.size()))]) /
           1000.0;
  };
  f.p50 = at(0.50);
  f.p99 = at(0.99);
  f.done = static_cast<int>(ns.size());
  f.ok = true;
  return f;
}

sockaddr_in Addr(const std::string& ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  return a;
}

// ---------------------------------------------------------------------
// Raw UDP: the request has the size of the library's com-proc datagram,
// the answer that of its event datagram.

// With `acks`, each side also acknowledges every datagram at once with a
// header-sized datagram, before its answer (the library's pattern from 400
// bytes on, where a packet is acknowledged as it arrives): the same number
// of datagrams as the library sends, without the library.
Figures RawUdp(const std::string& net, int n, int payload, bool acks = false) {
  const std::string ipA = net + "4", ipB = net + "5";
  const int reqLen = kPktHdr + kComProcHdr + payload;
  const int ansLen = kPktHdr + kEvntHdr + payload;
  const pid_t child = fork();
  if (child == 0) {
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in me = Addr(ipB, 40001);
    if (bind(s, reinterpret_cast<sockaddr*>(&me), sizeof me) != 0) _exit(1);
    std::vector<char> buf(2048), ans(ansLen, 'a'), ack(kPktHdr, 'k');
    for (int i = 0; i < n + 1;) {
      sockaddr_in from{};
      socklen_t fl = sizeof from;
      pollfd p{s, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) _exit(2);
      const ssize_t got = recvfrom(s, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &fl);
      if (got <= 0 || got == kPktHdr) continue;  // an acknowledgement asks for nothing
      if (acks) sendto(s, ack.data(), ack.size(), 0, reinterpret_cast<sockaddr*>(&from), fl);
      sendto(s, ans.data(), ans.size(), 0, reinterpret_cast<sockaddr*>(&from), fl);
      ++i;
    }
    _exit(0);
  }
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in me = Addr(ipA, 40001), peer = Addr(ipB, 40001);
  Figures f;
  if (bind(s, reinterpret_cast<sockaddr*>(&me), sizeof me) != 0) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(s);
    return f;
  }
  usleep(100000);  // the echo side binds
  std::vector<char> req(reqLen, 'r'), buf(2048), ack(kPktHdr, 'k');
  std::vector<uint64_t> rtt;
  const long selfBefore = WakeUps(RUSAGE_SELF), childBefore = WakeUps(RUSAGE_CHILDREN);
  for (int i = 0; i < n + 1; ++i) {
    const uint64_t t0 = NowNs();
    sendto(s, req.data(), req.size(), 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    // A lost datagram ends the count: a late answer would be taken for the
    // next round's.
    ssize_t got = 0;
    do {
      pollfd p{s, POLLIN, 0};
      got = poll(&p, 1, 2000) > 0 ? recv(s, buf.data(), buf.size(), 0) : -1;
    } while (got == kPktHdr);  // the other side's acknowledgement
    if (got <= 0) {
      std::fprintf(stderr, "raw UDP: round trip %d got no answer\n", i);
      break;
    }
    if (acks) sendto(s, ack.data(), ack.size(), 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    if (i > 0) rtt.push_back(NowNs() - t0);  // the first one warms up
  }
  const long selfWakes = WakeUps(RUSAGE_SELF) - selfBefore;
  close(s);
  kill(child, SIGKILL);  // done, or waiting for a request that will not come
  waitpid(child, nullptr, 0);
  Figures f2 = FromSamples(rtt);
  if (f2.ok) {
    // Each side: a sendto, a poll and a receive per round trip, and with
    // acknowledgements a sendto more, and a poll and a receive more on the
    // side that finds the acknowledgement before the answer.
    f2.syscalls = acks ? -1 : 6;
    f2.syscallDetail = acks ? "" : "3 + 3";
    f2.wakeups = static_cast<double>(selfWakes + WakeUps(RUSAGE_CHILDREN) - childBefore) / (n + 1);
  }
  return f2;
}

// ---------------------------------------------------------------------
// ENet: one reliable packet of the payload each way.

#ifdef HAVE_ENET
Figures Enet(const std::string& net, int n, int payload) {
  const std::string ipA = net + "6", ipB = net + "7";
  Figures f;
  if (enet_initialize() != 0) return f;
  const pid_t child = fork();
  if (child == 0) {
    ENetAddress addr{};
    enet_address_set_host(&addr, ipB.c_str());
    addr.port = 40002;
    ENetHost* server = enet_host_create(&addr, 1, 1, 0, 0);
    if (server == nullptr) _exit(1);
    int answered = 0;
    uint64_t idleSince = NowUs();
    while (answered < n + 1 && NowUs() - idleSince < 5000000u) {
      ENetEvent ev;
      if (enet_host_service(server, &ev, 100) <= 0) continue;
      idleSince = NowUs();
      if (ev.type == ENET_EVENT_TYPE_RECEIVE) {
        ENetPacket* ans = enet_packet_create(nullptr, ev.packet->dataLength, ENET_PACKET_FLAG_RELIABLE);
        std::memcpy(ans->data, ev.packet->data, ev.packet->dataLength);
        enet_peer_send(ev.peer, 0, ans);
        enet_host_flush(server);
        enet_packet_destroy(ev.packet);
        ++answered;
      }
    }
    // Let the last acknowledgements go out.
    for (int i = 0; i < 10; ++i) {
      ENetEvent ev;
      enet_host_service(server, &ev, 10);
    }
    enet_host_destroy(server);
    _exit(0);
  }
  usleep(100000);
  ENetAddress local{};
  enet_address_set_host(&local, ipA.c_str());
  local.port = 40002;
  ENetHost* client = enet_host_create(&local, 1, 1, 0, 0);
  ENetAddress to{};
  enet_address_set_host(&to, ipB.c_str());
  to.port = 40002;
  ENetPeer* peer = client ? enet_host_connect(client, &to, 1, 0) : nullptr;
  ENetEvent ev;
  bool connected = false;
  for (int i = 0; peer && i < 50 && !connected; ++i) {
    if (enet_host_service(client, &ev, 100) > 0 && ev.type == ENET_EVENT_TYPE_CONNECT) connected = true;
  }
  std::vector<uint64_t> rtt;
  const long selfBefore = WakeUps(RUSAGE_SELF), childBefore = WakeUps(RUSAGE_CHILDREN);
  if (connected) {
    std::vector<uint8_t> data(static_cast<size_t>(payload), 'e');
    for (int i = 0; i < n + 1; ++i) {
      const uint64_t t0 = NowNs();
      enet_peer_send(peer, 0, enet_packet_create(data.data(), data.size(), ENET_PACKET_FLAG_RELIABLE));
      enet_host_flush(client);
      bool got = false;
      while (!got && NowNs() - t0 < 2000000000u) {
        if (enet_host_service(client, &ev, 100) <= 0) continue;
        if (ev.type == ENET_EVENT_TYPE_RECEIVE) {
          enet_packet_destroy(ev.packet);
          got = true;
        }
      }
      if (got && i > 0) rtt.push_back(NowNs() - t0);
    }
    enet_peer_disconnect_now(peer, 0);
  }
  const long selfWakes = WakeUps(RUSAGE_SELF) - selfBefore;
  if (client) enet_host_destroy(client);
  waitpid(child, nullptr, 0);
  enet_deinitialize();
  Figures f2 = FromSamples(rtt);
  // The server's wake-ups include its 100 ms waits after the last answer.
  if (f2.ok) f2.wakeups = static_cast<double>(selfWakes + WakeUps(RUSAGE_CHILDREN) - childBefore) / (n + 1);
  return f2;
}
#endif

// ---------------------------------------------------------------------
// The library: two ipcpeer processes.

bool StartsWith(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

long Field(const std::string& line, const std::string& key) {
  std::istringstream in(line);
  std::string w;
  while (in >> w) {
    if (w == key && (in >> w)) return std::strtol(w.c_str(), nullptr, 10);
  }
  return -1;
}

struct PeerRun {
  long startToAttachedMs = -1;
  Figures rtt;
};

// Starts a server and a client peer; the client connects as soon as it
// sees the server and waits until attached.  With calls > 0 it then makes
// that many round trips.
PeerRun Peers(const std::string& net, int round, int calls, int payload) {
  PeerRun r;
  const std::string a = net + std::to_string(10 + 2 * round), b = net + std::to_string(11 + 2 * round);
  const std::string peers = a + "," + b;
  ipcpeer::PeerProcess server, client;
  if (!server.Start(IPCPEER_PATH, {"--name", "SERVER", "--addr", a, "--peers", peers})) return r;
  if (!client.Start(IPCPEER_PATH, {"--name", "CLIENT", "--addr", b, "--peers", peers, "--no-server"})) {
    return r;
  }
  if (!StartsWith(server.ReadLine(5000), "ready") || !StartsWith(client.ReadLine(5000), "ready")) {
    std::fprintf(stderr, "a peer did not start\n");
    return r;
  }
  if (!StartsWith(client.Ask("wait SERVER online 10000", 15000), "ok")) return r;
  if (!StartsWith(client.Ask("connect SERVER", 5000), "ok")) return r;
  const std::string att = client.Ask("wait SERVER attached 10000", 15000);
  if (!StartsWith(att, "ok")) return r;
  r.startToAttachedMs = Field(att, "since_start_ms");
  if (calls > 0) {
    client.Ask("call 200 " + std::to_string(payload), 60000);  // warm-up
    const std::string c0 = client.Ask("figures", 5000), s0 = server.Ask("figures", 5000);
    const std::string line =
        client.Ask("call " + std::to_string(calls) + " " + std::to_string(payload), 600000);
    const std::string c1 = client.Ask("figures", 5000), s1 = server.Ask("figures", 5000);
    if (StartsWith(line, "ok")) {
      r.rtt.p50 = static_cast<double>(Field(line, "p50_ns")) / 1000.0;
      r.rtt.p99 = static_cast<double>(Field(line, "p99_ns")) / 1000.0;
      r.rtt.done = static_cast<int>(Field(line, "answered"));
      r.rtt.ok = r.rtt.done > 0;
    }
    if (r.rtt.ok && StartsWith(c1, "figures") && StartsWith(s1, "figures")) {
      // The two "figures" answers in between are one wake-up each side.
      const double n = r.rtt.done;
      auto per = [&](const std::string& before, const std::string& after, const char* key) {
        return static_cast<double>(Field(after, key) - Field(before, key)) / n;
      };
      auto side = [&](const std::string& before, const std::string& after, double* total) {
        const double sends = per(before, after, "sends"), recvs = per(before, after, "recv_calls");
        const double looks = per(before, after, "looks"), waits = per(before, after, "waits");
        *total = sends + recvs + looks + waits;
        char text[160];
        std::snprintf(text, sizeof text, "%.1f: %.1f sendto, %.1f recvmmsg (%.2f empty), %.1f looks, %.1f waits",
                      *total, sends, recvs, per(before, after, "recv_empty"), looks, waits);
        return std::string(text);
      };
      double cli = 0, srv = 0;
      const std::string cd = side(c0, c1, &cli), sd = side(s0, s1, &srv);
      r.rtt.syscalls = cli + srv;
      r.rtt.syscallDetail = "client " + cd + "; server " + sd;
      r.rtt.wakeups = per(c0, c1, "wakeups") + per(s0, s1, "wakeups");
    }
  }
  client.Ask("quit", 5000);
  server.Ask("quit", 5000);
  return r;
}

void Row(const char* what, const Figures& f, const Figures& raw) {
  if (!f.ok) {
    std::printf("%-34s not measured\n", what);
    return;
  }
  std::printf("%-34s p50 %8.1f us   p99 %8.1f us   (%d)", what, f.p50, f.p99, f.done);
  if (raw.ok && &f != &raw) std::printf("   x%.2f / x%.2f of raw UDP", f.p50 / raw.p50, f.p99 / raw.p99);
  std::printf("\n");
  if (f.syscalls >= 0) std::printf("%-34s system calls per round trip %.1f", "", f.syscalls);
  if (f.syscalls >= 0 && !f.syscallDetail.empty()) std::printf(" (%s)", f.syscallDetail.c_str());
  if (f.syscalls >= 0) std::printf("\n");
  if (f.wakeups >= 0) std::printf("%-34s wake-ups per round trip %.2f (both sides)\n", "", f.wakeups);
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::max(10, std::atoi(argv[1])) : 5000;
  const int payload = argc > 2 ? std::clamp(std::atoi(argv[2]), 4, 1232) : 16;
  const std::string net = "127.0." + std::to_string(150 + getpid() % 50) + ".";

  std::printf("round trips on loopback, %d each, %d payload bytes\n", n, payload);
  const Figures raw = RawUdp(net, n, payload);
  // From 400 bytes on the library acknowledges each datagram as it comes.
  const bool acked = kPktHdr + kComProcHdr + payload >= 400;
  const Figures rawAcked = acked ? RawUdp(net, n, payload, true) : Figures{};
#ifdef HAVE_ENET
  const Figures enet = Enet(net, n, payload);
#else
  const Figures enet;
#endif
  const PeerRun lib = Peers(net, 0, n, payload);

  Row("raw UDP ping-pong (limit)", raw, raw);
  if (acked) Row("raw UDP, every datagram acked", rawAcked, raw);
  Row("ENet reliable packet each way", enet, raw);
  Row("Tessio32 com-proc + answer event", lib.rtt, raw);
  if (lib.rtt.ok && enet.ok) {
    std::printf("%-34s x%.2f (p50)   x%.2f (p99)\n", "Tessio32 against ENet", lib.rtt.p50 / enet.p50,
                lib.rtt.p99 / enet.p99);
  }
  if (lib.rtt.ok && rawAcked.ok) {
    std::printf("%-34s x%.2f (p50)   x%.2f (p99)\n", "Tessio32 against acked raw UDP",
                lib.rtt.p50 / rawAcked.p50, lib.rtt.p99 / rawAcked.p99);
  }

  // Start-up: a few fresh pairs.
  std::vector<long> starts;
  if (lib.startToAttachedMs >= 0) starts.push_back(lib.startToAttachedMs);
  for (int round = 1; round <= 4; ++round) {
    const PeerRun p = Peers(net, round, 0, payload);
    if (p.startToAttachedMs >= 0) starts.push_back(p.startToAttachedMs);
  }
  if (starts.empty()) {
    std::printf("peer start to attached: not measured\n");
  } else {
    std::sort(starts.begin(), starts.end());
    std::printf("peer start to online, link ok, net handles set: median %ld ms, min %ld, max %ld "
                "(%zu starts; announce period %d ms)\n",
                starts[starts.size() / 2], starts.front(), starts.back(), starts.size(), 500);
  }
  return raw.ok && lib.rtt.ok ? 0 : 1;
}
