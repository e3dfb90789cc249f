// soak_bench: the real server, TKZ_App, run headless against a plant of
// simulated nodes on loopback, under load, faults and hostile input, with
// the figures of each phase and a verdict.
//
// The plant: a site made with the site tool drovana-site (nodes, ports,
// racks and zones of its own, on 127.66.K.x), one nodesim process per node
// with rack models behind its ports, and one rack in the site that no node
// holds. The phases:
//   a  an outside writer at full speed for a bounded time (request rows of
//      several types, one transaction each, as outside programs write them)
//      with an outside write lock held now and then, longer than the
//      server's busy time-out; racks change state under the lock
//   b  kill -9 of the server mid-traffic, and restarts, while racks answer
//      slowly (requests are in state 3 at each kill)
//   c  restart and silence cycles of every simulated node, short ones and
//      silences past the silence time-out
//   d  a full disk (the site on a small file system of its own, filled),
//      then the database's files refusing every write (immutable, EPERM);
//      racks change state meanwhile
//   e  a flood of malformed, mutated, stranger and forged datagrams at the
//      server's ports while one node is silent
// Each phase ends when the plant has settled (bounded), and is judged:
//   requests   written, ended exactly once, left unfinished (pending or in
//              state 3), duplicated, deleted; in phase e also those that
//              ended otherwise than the plant decides (a rack that answers
//              gives 4, a request refused at once 5)
//   racks      the request commands the simulated racks received, against
//              the claims of the requests that send them
//   status     every tblNodeStatus and tblRackStatus row against what the
//              node or rack really is at the phase's end
//   server     the WAL's size, resident memory and open descriptors
// PASS needs nothing lost, duplicated, deleted or left in state 3, no rack
// command beyond the requests, and every status row true.
//
// How "ended exactly once" is counted. The request rows are not polled
// (a poll misses what lasts less than its interval); the soak program adds
// a table and triggers to the site before the server first starts, and
// they record every change of a request row's state or text, and every
// deletion, inside the server's own transactions, so they hold exactly the
// changes that reached the database, in order (Ledger.h). A request ended
// exactly once was claimed (0 -> 3) once at most, entered a final state
// (4, 5, 6) once, and never left it or had its result replaced.
// A request that runs twice without its row showing it (a rack command
// sent again after a restart or a reconnect) is caught at the racks: the
// simulators trace every command their racks receive, and every request
// the soak program writes sends one command of its own kind to one known
// place (command 51 to one rack, or a broadcast of command 1 or 34 on one
// port), which the server sends for nothing else in this plant. Received
// commands may fall short of the claims (a request failed before its
// command went out, a node was silent), never exceed them: every excess is
// a command the server sent twice, or sent without claiming its row. A
// duplicate can hide behind a claim whose command never arrived; where no
// node falls silent or restarts and nothing forged arrives (phase a, and
// phase e with --flood-rate 0) the two counts come out equal, so nothing
// can hide there.
//
// Harness and server: the soak program's own troubles (a simulator that
// stops answering, its own reads refused, the account of the rows
// disagreeing with the rows) are harness errors, exit status 2, apart from
// the server's faults (exit status 1). Every wait is bounded; every
// process, mount and temporary directory it made is removed on every way
// out, by a guard process even when the soak program itself is killed.
// Needs root for the disk phase (a loop device or a tmpfs); without it the
// phase is skipped, saying so.
//
// Usage: soak_bench [--long] [--phases abcde] [size and time options]
//   (--help lists them). The default run takes a few minutes; --long takes
//   about half an hour (20,000 rows, 20 kills, 100 node cycles, ...).
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Soak.h"

namespace {

void OnSignal(int sig) { soak::g_stopSignal = sig; }

int Usage(const char* why) {
  if (why != nullptr) std::fprintf(stderr, "soak_bench: %s\n", why);
  std::fprintf(stderr,
               "usage: soak_bench [--long] [--phases LETTERS] [options]\n"
               "  --phases abcde       a writer at full speed with outside locks, b kill -9 and\n"
               "                       restarts, c node restart and silence cycles, d full disk\n"
               "                       and read-only database, e bad and forged datagrams\n"
               "  --long               the long run: the sizes and times in brackets below\n"
               "  --nodes N            simulated nodes (3); --ports N rack ports each (2);\n"
               "  --racks N            racks on each port (2)\n"
               "  --writer-seconds S   phase a's writer (24 [120]); --rows N at most (3000 [20000])\n"
               "  --lock-every S, --lock-hold S   phase a's outside lock (8, 5)\n"
               "  --kills N            phase b (5 [20])\n"
               "  --cycles N           phase c (10 [100]); --long-silences N of them 35 s (1 [4])\n"
               "  --disk-seconds S     phase d, each of its two faults (12 [20])\n"
               "  --flood-seconds S    phase e (45 [120], at least 40); --flood-rate N a second\n"
               "                       (1000 [2000]; 0: the phase without the flood)\n"
               "  --flood-kinds K,...  only these: malformed, bad-header, mutated, stranger,\n"
               "                       forged-announce, forged-ack, forged-event, forged-close\n"
               "  --rate N             requests a second in phases b-e (60)\n"
               "  --settle S           a phase is judged after S s without a request changing,\n"
               "                       or at once when all ended and the status is true (30 [60])\n"
               "  --disk auto|ext4|tmpfs|none   the site's own file system (auto); --disk-mb N (256)\n"
               "  --subnet K           addresses 127.66.K.x (K from the process id)\n"
               "  --seed N             the request mix and the faults' timing (1)\n"
               "  --save-logs DIR      copy the server's log and the simulators' traces there\n"
               "  --server-debug       the server's debug switches on (a much longer log)\n"
               "Exit status: 0 every phase passed, 1 a phase failed, 2 a harness error.\n");
  return why != nullptr ? 2 : 0;
}

bool Number(const char* text, double lo, double hi, double* out) {
  if (text == nullptr) return false;
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(v >= lo && v <= hi)) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  soak::Options o;
  o.serverExe = TKZ_APP_PATH;
  o.nodesimExe = NODESIM_PATH;
  o.siteToolExe = SITE_TOOL_PATH;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--long") == 0) {
      o.longRun = true;
      o.writerSeconds = 120;
      o.writerRows = 20000;
      o.kills = 20;
      o.cycles = 100;
      o.longSilences = 4;
      o.diskSeconds = 20;
      o.floodSeconds = 120;
      o.floodRate = 2000;
      o.settleSeconds = 60;
    }
  struct Numeric {
    const char* name;
    double lo, hi;
    double* d;
    int* n;
  };
  double nodes = o.nodes, ports = o.ports, racks = o.racksPerPort, rows = o.writerRows, kills = o.kills,
         cycles = o.cycles, longs = o.longSilences, floodRate = o.floodRate, diskMb = o.diskMb, subnet = 0,
         seed = o.seed;
  const Numeric numeric[] = {
      {"--nodes", 1, 40, &nodes, nullptr},
      {"--ports", 1, 5, &ports, nullptr},
      {"--racks", 1, 4, &racks, nullptr},
      {"--writer-seconds", 1, 3600, &o.writerSeconds, nullptr},
      {"--rows", 1, 1000000, &rows, nullptr},
      {"--lock-every", 1, 600, &o.lockEverySeconds, nullptr},
      {"--lock-hold", 0.1, 60, &o.lockHoldSeconds, nullptr},
      {"--kills", 0, 1000, &kills, nullptr},
      {"--cycles", 0, 10000, &cycles, nullptr},
      {"--long-silences", 0, 100, &longs, nullptr},
      {"--disk-seconds", 1, 600, &o.diskSeconds, nullptr},
      {"--flood-seconds", 1, 3600, &o.floodSeconds, nullptr},
      {"--flood-rate", 0, 100000, &floodRate, nullptr},
      {"--rate", 0.1, 10000, &o.rate, nullptr},
      {"--settle", 5, 3600, &o.settleSeconds, nullptr},
      {"--disk-mb", 16, 4096, &diskMb, nullptr},
      {"--subnet", 1, 254, &subnet, nullptr},
      {"--seed", 0, 4294967295.0, &seed, nullptr},
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--long") continue;
    if (a == "--help" || a == "-h") return Usage(nullptr);
    if (a == "--server-debug") {
      o.serverDebug = true;
      continue;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--phases") {
      if (value == nullptr || std::strspn(value, "abcde") != std::strlen(value) || *value == '\0')
        return Usage("--phases takes letters of abcde");
      o.phases = value;
      ++i;
      continue;
    }
    if (a == "--flood-kinds") {
      if (value == nullptr || *value == '\0') return Usage("--flood-kinds takes a list of kinds");
      const std::string list = value;
      for (size_t at = 0; at <= list.size();) {
        const size_t comma = std::min(list.find(',', at), list.size());
        const std::string kind = list.substr(at, comma - at);
        if (std::find(soak::Flood::Kinds().begin(), soak::Flood::Kinds().end(), kind) == soak::Flood::Kinds().end())
          return Usage(("no datagram kind \"" + kind + "\"").c_str());
        o.floodKinds.push_back(kind);
        at = comma + 1;
      }
      ++i;
      continue;
    }
    if (a == "--disk") {
      if (value == nullptr || (std::strcmp(value, "auto") != 0 && std::strcmp(value, "ext4") != 0 &&
                               std::strcmp(value, "tmpfs") != 0 && std::strcmp(value, "none") != 0))
        return Usage("--disk takes auto, ext4, tmpfs or none");
      o.disk = value;
      ++i;
      continue;
    }
    if (a == "--save-logs") {
      if (value == nullptr || *value == '\0') return Usage("--save-logs takes a directory");
      o.saveLogs = value;
      ++i;
      continue;
    }
    bool taken = false;
    for (const Numeric& n : numeric) {
      if (a != n.name) continue;
      if (!Number(value, n.lo, n.hi, n.d))
        return Usage((a + " takes a number from " + std::to_string(n.lo) + " to " + std::to_string(n.hi)).c_str());
      taken = true;
      ++i;
    }
    if (!taken) return Usage(("unknown argument " + a).c_str());
  }
  o.nodes = static_cast<int>(nodes);
  o.ports = static_cast<int>(ports);
  o.racksPerPort = static_cast<int>(racks);
  o.writerRows = static_cast<int>(rows);
  o.kills = static_cast<int>(kills);
  o.cycles = static_cast<int>(cycles);
  o.longSilences = static_cast<int>(longs);
  o.floodRate = static_cast<int>(floodRate);
  o.diskMb = static_cast<int>(diskMb);
  o.subnet = static_cast<int>(subnet);
  o.seed = static_cast<uint32_t>(seed);
  if (o.nodes * o.ports * o.racksPerPort < 3) return Usage("the plant needs at least 3 racks");
  if (o.lockHoldSeconds >= o.lockEverySeconds) return Usage("--lock-hold must be shorter than --lock-every");

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);

  soak::Soak run(o);
  return run.Run();
}
