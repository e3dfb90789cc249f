#include "Soak.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace soak {

volatile std::sig_atomic_t g_stopSignal = 0;

namespace {

constexpr int kRackZoneBase = 10000;
constexpr const char* kRequestCommands[] = {" cmd 1", " cmd 34", " cmd 51"};

void Line(const char* label, const std::string& text) { std::printf("   %-9s %s\n", label, text.c_str()); }

bool EndsWith(const std::string& s, const char* tail) {
  const std::string t = tail;
  return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

bool IsRequestCommand(const std::string& key) {
  for (const char* c : kRequestCommands)
    if (EndsWith(key, c)) return true;
  return false;
}

std::string Num(double v, int decimals = 1) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

}  // namespace

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

Soak::Soak(const Options& options) : o_(options) {}

Soak::~Soak() { Teardown(); }

bool Soak::Stopping() const { return g_stopSignal != 0 || !harnessErrors_.empty(); }

void Soak::HarnessError(const std::string& what) {
  for (const std::string& e : harnessErrors_)
    if (e == what) return;
  harnessErrors_.push_back(what);
  std::printf("   HARNESS   %s\n", what.c_str());
  std::fflush(stdout);
}

bool Soak::Setup() {
  std::string error;
  if (!guard_.Start(&error)) {
    HarnessError("the guard process did not start: " + error);
    return false;
  }
  char tmpl[] = "/tmp/soak.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    HarnessError("no temporary directory");
    return false;
  }
  root_ = tmpl;
  guard_.RemoveDir(root_);

  layout_.subnet = o_.subnet != 0 ? o_.subnet : static_cast<int>(getpid() % 250) + 1;
  layout_.nodes = o_.nodes;
  layout_.portsPerNode = o_.ports;
  layout_.racksPerPort = o_.racksPerPort;
  layout_.Build();
  // A: the first rack; B: the first rack of another node (of the same node
  // when there is one node); C: a third rack.
  rackA_ = layout_.racks[0].rack;
  for (const RackSpot& r : layout_.racks)
    if (r.simulated && r.node != layout_.racks[0].node && rackB_ == 0) rackB_ = r.rack;
  for (const RackSpot& r : layout_.racks)
    if (r.simulated && r.rack != rackA_ && r.rack != rackB_) {
      if (rackB_ == 0) rackB_ = r.rack;
      else if (rackC_ == 0) rackC_ = r.rack;
    }

  disk_.Mount(root_, o_.diskMb, o_.disk, guard_, &diskNote_);
  const std::string site = disk_.siteDir();
  const std::string seedPath = root_ + "/seed.sql";
  std::ofstream(seedPath) << layout_.SeedSql();
  std::string out;
  const int rc = RunTool({o_.siteToolExe, site, "--operator", "soak", "--password", "soak", "--seed", seedPath},
                         60000, &out);
  if (rc != 0) {
    HarnessError("the site tool failed (" + std::to_string(rc) + "): " + out);
    return false;
  }
  ledger_ = std::make_unique<Ledger>();
  if (!ledger_->Open(site + "/drovana.mdb", &error) || !ledger_->InstallAudit(&error)) {
    HarnessError("the site database: " + error);
    return false;
  }
  // The server's settings: the debug switches off, as a site runs (unless
  // asked for), and the day log on (into the site directory).
  const std::string config = root_ + "/config";
  std::filesystem::create_directories(config + "/Velmora");
  const char* debug = o_.serverDebug ? "1" : "0";
  std::ofstream(config + "/Velmora/Drovana Communications System.ini")
      << "[Settings]\nComm Debug Messages=" << debug << "\nIPC Comm Debug Messages=" << debug
      << "\nDoc Debug Messages=" << debug
      << "\nTime Stamp Log=1\nLog to disk=1\nInSysTray=1\nDirect Connect Comms Debug=0\n";

  if (!flood_.Open(layout_, &error) || !flood_.Only(o_.floodKinds, &error)) {
    HarnessError("the flood's sockets: " + error);
    return false;
  }
  plant_ = std::make_unique<Plant>(layout_);
  if (!plant_->Start(o_.nodesimExe, root_, &error)) {
    HarnessError(error);
    return false;
  }
  server_ = std::make_unique<ServerProc>(layout_, o_.serverExe, site, config, root_ + "/server.log");

  int simulated = 0, missing = 0;
  for (const RackSpot& r : layout_.racks) {
    if (r.simulated) ++simulated;
    else missing = r.rack;
  }
  std::printf("soak: TKZ_App on %s; %d simulated nodes at %s to %s with %d racks; rack %d is in the site but "
              "on no node\n",
              layout_.serverAddr().c_str(), layout_.nodes, layout_.nodeAddr(1).c_str(),
              layout_.nodeAddr(layout_.nodes).c_str(), simulated, missing);
  std::printf("soak: %s\n", diskNote_.c_str());
  std::printf("soak: %s run, phases %s\n", o_.longRun ? "the long" : "the default (short)", o_.phases.c_str());
  std::fflush(stdout);

  Phase start;
  start.id = '-';
  start.index = 0;
  current_ = &start;
  const double t0 = Now();
  bool up = StartServer(&start);
  std::string why;
  if (up) up = WaitPlantUp(60, &why);
  current_ = nullptr;
  if (Stopping()) return false;
  if (!up) {
    for (const std::string& f : start.serverFaults) why += (why.empty() ? "" : "; ") + f;
    std::printf("soak: FAIL: the plant did not come up: %s\n%s", why.c_str(), server_->LogTail(15).c_str());
    results_.push_back({'-', Verdict::kFail});
    return false;
  }
  std::printf("soak: plant up in %s s (every node and rack connected, rack %d not)\n\n", Num(Now() - t0).c_str(),
              missing);
  std::fflush(stdout);
  return true;
}

void Soak::Teardown() {
  if (root_.empty()) return;
  flooding_ = false;
  if (ledger_) {
    ledger_->StopWriter();
    ledger_->EndLock();
  }
  serverExpectedDown_ = true;
  if (server_ && !server_->Stop(15000))
    std::printf("soak: TKZ_App did not end within 15 s of SIGTERM and was killed\n");
  if (plant_) plant_->Stop();
  if (!o_.saveLogs.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(o_.saveLogs, ec);
    for (const auto& e : std::filesystem::directory_iterator(root_, ec))
      if (e.path().extension() == ".log" || e.path().extension() == ".trace")
        std::filesystem::copy_file(e.path(), o_.saveLogs + "/" + e.path().filename().string(),
                                   std::filesystem::copy_options::overwrite_existing, ec);
  }
  ledger_.reset();
  std::string error;
  if (!disk_.Release(&error)) HarnessError(error);
  if (!RemoveTree(root_)) HarnessError("could not remove " + root_);
  else guard_.Done();
  root_.clear();
}

void Soak::Tick() {
  if (plant_) plant_->ReadTraces();
  flood_.Capture();
  const double now = Now();
  if (flooding_) {
    const double budget = floodCarry_ + (now - lastFloodAt_) * o_.floodRate;
    const int n = std::min(5000, static_cast<int>(budget));
    floodCarry_ = budget - n;
    flood_.Send(n);
  }
  lastFloodAt_ = now;
  if (now - lastSampleAt_ < 0.5 || !server_) return;
  lastSampleAt_ = now;
  server_->Sample();
  if (!serverExpectedDown_ && !server_->Running()) {
    const std::string fault = "TKZ_App ended by itself (" + server_->StatusText() + ")";
    std::printf("   server    %s; started again. Its last lines:\n%s", fault.c_str(), server_->LogTail(8).c_str());
    if (current_ != nullptr) current_->serverFaults.push_back(fault);
    StartServer(current_);
  }
  if (plant_) {
    const std::string ended = plant_->Ended();
    if (!ended.empty()) HarnessError(ended);
  }
}

bool Soak::Wait(double seconds, const std::function<bool()>& until) {
  const double end = Now() + seconds;
  for (;;) {
    if (Stopping()) return false;
    Tick();
    if (until && until()) return true;
    if (Now() >= end) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool Soak::WaitFor(double seconds, const std::function<bool()>& until) {
  double last = 0;
  bool held = false;
  const bool ok = Wait(seconds, [&] {
    const double now = Now();
    if (now - last < 0.1) return false;
    last = now;
    held = until();
    return held;
  });
  return ok && (held || until());
}

bool Soak::StartServer(Phase* phase) {
  serverExpectedDown_ = true;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    std::string error;
    if (!server_->Start(&error)) {
      HarnessError("TKZ_App could not be started: " + error);
      return false;
    }
    // A server that refuses to run ends at once.
    Wait(1.0, [&] { return !server_->Running(); });
    if (server_->Running()) {
      serverExpectedDown_ = false;
      return true;
    }
    const std::string fault = "TKZ_App ended at its start (" + server_->StatusText() + "), attempt " +
                              std::to_string(attempt);
    std::printf("   server    %s. Its last lines:\n%s", fault.c_str(), server_->LogTail(6).c_str());
    if (phase != nullptr) phase->serverFaults.push_back(fault);
    if (!Wait(2.0)) return false;
  }
  return false;
}

PlantView Soak::View() const {
  PlantView v;
  v.layout = layout_;
  v.rackAnswers.assign(static_cast<size_t>(layout_.racks.size()) + 2, false);
  for (const RackSpot& r : layout_.racks) v.rackAnswers[static_cast<size_t>(r.rack)] = plant_->RackAnswers(r.rack);
  v.nodeSpeaks.assign(static_cast<size_t>(layout_.nodes) + 1, false);
  for (int n = 1; n <= layout_.nodes; ++n) v.nodeSpeaks[static_cast<size_t>(n)] = plant_->NodeSpeaks(n);
  return v;
}

Soak::StatusCheck Soak::CheckStatus() {
  StatusCheck c;
  std::map<int, int> nodes, zones;
  std::string error;
  if (!ledger_->ReadStatus(&nodes, &zones, &error)) {
    c.wrong = -1;
    c.wrongRows.push_back(error);
    return c;
  }
  auto judge = [&](const std::string& what, const std::map<int, int>& rows, int key, bool really,
                   const char* reallyText, const char* notText) {
    auto it = rows.find(key);
    if (it != rows.end() && it->second == (really ? 1 : 0)) {
      ++c.right;
      return;
    }
    ++c.wrong;
    c.wrongRows.push_back(what + ": " +
                          (it == rows.end() ? std::string("no status row")
                                            : std::string("the row says ") +
                                                  (it->second == 1 ? "connected" : "not connected")) +
                          ", " + (really ? reallyText : notText));
  };
  for (int n = 1; n <= layout_.nodes; ++n)
    judge("node " + std::to_string(n) + " " + layout_.NodeName(n), nodes, n, plant_->NodeSpeaks(n),
          "the node speaks", "the node is silent");
  for (const RackSpot& r : layout_.racks)
    judge("rack " + std::to_string(r.rack), zones, kRackZoneBase + r.rack, plant_->RackAnswers(r.rack),
          "the rack answers",
          !r.simulated ? "no node holds the rack"
                       : (plant_->NodeSpeaks(r.node) ? "the rack is silent" : "its node is silent"));
  return c;
}

bool Soak::WaitPlantUp(double seconds, std::string* why) {
  std::string error;
  if (!ledger_->InsertNow(RequestMaker::Probe(), current_ != nullptr ? current_->index : 0, &error)) {
    HarnessError("the probe request could not be written: " + error);
    return false;
  }
  StatusCheck last;
  if (WaitFor(seconds, [&] {
        if (!ledger_->Refresh(&error)) return false;
        last = CheckStatus();
        return ledger_->OpenRequests() == 0 && last.wrong == 0;
      }))
    return true;
  if (Stopping()) return false;
  *why = ledger_->OpenRequests() > 0 ? "a probe request did not end within " + Num(seconds, 0) + " s"
                                     : "status rows still wrong after " + Num(seconds, 0) + " s";
  for (const std::string& w : last.wrongRows) *why += "; " + w;
  return false;
}

uint64_t Soak::RackExcess(std::map<std::string, uint64_t>* received, std::map<std::string, uint64_t>* claimed) {
  *received = plant_->received();
  *claimed = ledger_->ClaimsByTarget();
  uint64_t excess = 0;
  for (const auto& [key, n] : *received) {
    if (!IsRequestCommand(key)) continue;
    auto it = claimed->find(key);
    const uint64_t c = it != claimed->end() ? it->second : 0;
    if (n > c) excess += n - c;
  }
  return excess;
}

Soak::Phase Soak::Begin(char id, const std::string& title) {
  Phase p;
  p.id = id;
  p.title = title;
  p.index = ++phaseIndex_;
  p.startedAt = Now();
  std::string error;
  ledger_->Refresh(&error);
  std::map<std::string, uint64_t> claimed;
  p.excessAtStart = RackExcess(&p.receivedAtStart, &claimed);
  server_->ResetPeaks();
  std::printf("== phase %c: %s\n", id, title.c_str());
  std::fflush(stdout);
  return p;
}

void Soak::Skip(char id, const std::string& title, const std::string& why) {
  std::printf("== phase %c: %s\n   skipped   %s\n\n", id, title.c_str(), why.c_str());
  results_.push_back({id, Verdict::kSkipped});
  std::fflush(stdout);
}

void Soak::Settle(Phase& p) {
  // The server may still be working through a backlog: the wait goes on
  // while requests keep changing, and ends when the phase's requests have
  // all ended and every status row is true, or when nothing has changed
  // for the settle time, or at the hard bound.
  const double t0 = Now();
  const double hardBound = std::max(600.0, 10 * o_.settleSeconds);
  double lastProgress = t0, lastCheck = 0;
  uint64_t lastTransitions = ledger_->transitions();
  std::string error;
  Wait(hardBound, [&] {
    const double now = Now();
    if (now - lastCheck < 0.5) return false;
    lastCheck = now;
    if (!ledger_->Refresh(&error)) return false;
    if (ledger_->transitions() != lastTransitions) {
      lastTransitions = ledger_->transitions();
      lastProgress = now;
    }
    const int open = ledger_->OpenRequests(p.index);
    if (open == 0 && CheckStatus().wrong == 0 && server_->Running()) return true;
    if (now - lastProgress > o_.settleSeconds) {
      p.notes.push_back("stopped waiting: nothing changed for " + Num(o_.settleSeconds, 0) + " s" +
                        (open > 0 ? " with " + std::to_string(open) + " of the phase's requests open" : ""));
      return true;
    }
    return false;
  });
  if (Now() - t0 >= hardBound) p.notes.push_back("stopped waiting at the bound of " + Num(hardBound, 0) + " s");
  p.settledIn = Now() - t0;
}

bool Soak::End(Phase& p) {
  if (Stopping()) {
    std::printf("   %s\n\n", g_stopSignal != 0 ? "interrupted: not judged" : "not judged (harness error)");
    return false;
  }
  std::string error;
  if (!ledger_->Refresh(&error)) HarnessError(error);
  if (!ledger_->CrossCheck(p.index, &error)) HarnessError("the account of the requests is wrong: " + error);
  const PhaseTally t = ledger_->Tally(p.index, p.checkExpect);
  const StatusCheck status = CheckStatus();
  if (status.wrong < 0) HarnessError(status.wrongRows.empty() ? "status unreadable" : status.wrongRows[0]);
  std::map<std::string, uint64_t> received, claimed;
  const uint64_t excessNow = RackExcess(&received, &claimed);
  const uint64_t excess = excessNow > p.excessAtStart ? excessNow - p.excessAtStart : 0;
  uint64_t gotNow = 0, gotBefore = 0, claimedNow = 0;
  for (const auto& [key, n] : received)
    if (IsRequestCommand(key)) gotNow += n;
  for (const auto& [key, n] : p.receivedAtStart)
    if (IsRequestCommand(key)) gotBefore += n;
  for (const auto& [key, n] : claimed) claimedNow += n;
  const ServerFigures now = server_->Sample();
  const ServerFigures& peak = server_->peak();

  Line("requests", std::to_string(t.written) + " written, " + std::to_string(t.endedOnce) + " ended exactly once, " +
                       std::to_string(t.unfinished) + " left unfinished (" + std::to_string(t.pending) +
                       " pending, " + std::to_string(t.inProcess) + " in state 3), " +
                       std::to_string(t.duplicated) + " duplicated, " + std::to_string(t.gone) + " deleted");
  Line("", "ended " + std::to_string(t.succeeded) + " succeeded, " + std::to_string(t.failed) + " failed, " +
               std::to_string(t.cancelled) + " cancelled" +
               (p.checkExpect ? "; " + std::to_string(t.wrong) + " ended otherwise than the plant decides" : ""));
  Line("racks", std::to_string(gotNow - gotBefore) + " request commands received (" + std::to_string(gotNow) +
                    " in all, for " + std::to_string(claimedNow) + " claims of requests that send one); " +
                    std::to_string(excess) + " beyond the claims");
  Line("status", std::to_string(status.right) + " rows right, " + std::to_string(std::max(0, status.wrong)) +
                     " wrong");
  Line("server", "WAL " + Megabytes(now.walBytes) + " (peak " + Megabytes(peak.walBytes) + "), resident " +
                     Megabytes(now.rssKb * 1024) + " (peak " + Megabytes(peak.rssKb * 1024) + "), " +
                     std::to_string(now.fds) + " descriptors (peak " + std::to_string(peak.fds) + "), " +
                     std::to_string(server_->starts()) + " starts so far");
  for (const std::string& n : p.notes) Line("soak", n);
  Line("time", Num(Now() - p.startedAt, 0) + " s, of which " + Num(p.settledIn, 0) + " s settling");
  for (const std::string& e : t.examples) Line("fault", e);
  if (status.wrong > 0)
    for (const std::string& w : status.wrongRows) Line("fault", "status: " + w);
  if (excess > 0) Line("fault", std::to_string(excess) + " rack command(s) beyond the requests claimed");
  for (const std::string& f : p.serverFaults) Line("fault", f);
  const bool pass = harnessErrors_.empty() && t.written > 0 && t.unfinished == 0 && t.duplicated == 0 &&
                    t.gone == 0 && t.wrong == 0 && status.wrong == 0 && excess == 0 && p.serverFaults.empty();
  std::printf("   %s\n\n", !harnessErrors_.empty() ? "HARNESS ERROR" : pass ? "PASS" : "FAIL");
  std::fflush(stdout);
  results_.push_back({p.id, pass ? Verdict::kPass : Verdict::kFail});
  return pass;
}

int Soak::Run() {
  const bool ready = Setup();
  if (ready) {
    for (char id : o_.phases) {
      if (Stopping()) break;
      switch (id) {
        case 'a': PhaseWriter(); break;
        case 'b': PhaseKills(); break;
        case 'c': PhaseNodes(); break;
        case 'd': PhaseDisk(); break;
        case 'e': PhaseFlood(); break;
        default: break;
      }
    }
  }
  Teardown();
  std::string summary;
  bool failed = false;
  for (const auto& [id, verdict] : results_) {
    const char* word = verdict == Verdict::kPass ? "PASS" : verdict == Verdict::kFail ? "FAIL" : "skipped";
    summary += std::string(summary.empty() ? "" : ", ") + (id == '-' ? std::string("start") : std::string(1, id)) +
               " " + word;
    failed = failed || verdict == Verdict::kFail;
  }
  if (g_stopSignal != 0) {
    std::printf("soak: stopped by signal %d after %s; everything it started is stopped and removed\n",
                static_cast<int>(g_stopSignal), summary.empty() ? "no phase" : summary.c_str());
    return 128 + static_cast<int>(g_stopSignal);
  }
  if (!harnessErrors_.empty()) {
    std::printf("soak: HARNESS ERROR (a fault of the soak program or its simulators, not a verdict on the "
                "server): %s%s\n",
                harnessErrors_[0].c_str(), summary.empty() ? "" : ("; phases " + summary).c_str());
    return 2;
  }
  std::printf("soak: %s (%s)\n", failed ? "FAIL" : "PASS", summary.c_str());
  return failed ? 1 : 0;
}

}  // namespace soak
