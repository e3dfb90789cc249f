// The five phases of the soak run.
#include <algorithm>
#include <cstdio>
#include <random>
#include <set>
#include <string>

#include "Soak.h"

namespace soak {
namespace {

constexpr double kLongSilenceSeconds = 35;  // past the server's 30 s silence time-out
constexpr int kKillLatencyMs = 300;         // racks answer slowly: requests are in flight at the kill
constexpr double kEndless = 24 * 3600;      // a writer that runs until it is stopped

std::string Num(double v, int decimals = 1) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::string Refusals(const WriterStats& s) {
  int total = 0;
  std::string kinds;
  for (const auto& [why, n] : s.refused) {
    total += n;
    if (kinds.size() < 200) kinds += (kinds.empty() ? "" : "; ") + std::to_string(n) + " \"" + why + "\"";
  }
  if (total == 0) return "";
  return ", " + std::to_string(total) + " of its inserts refused by the database and tried again (" + kinds + ")";
}

std::string WriterNote(const WriterStats& s) {
  return "the writer wrote " + std::to_string(s.rows) + " requests in " + Num(s.seconds) + " s (" +
         Num(s.seconds > 0 ? s.rows / s.seconds : 0, 0) + " a second)" + Refusals(s);
}

}  // namespace

WriterPlan Soak::Background(const Phase& p, uint32_t seedOffset) const {
  WriterPlan plan;
  plan.phase = p.index;
  plan.perSecond = o_.rate;
  plan.seconds = kEndless;
  plan.view = View();
  plan.seed = o_.seed + seedOffset;
  return plan;
}

bool Soak::PhaseWriter() {
  Phase p = Begin('a', "an outside writer at full speed for " + Num(o_.writerSeconds, 0) + " s (at most " +
                           std::to_string(o_.writerRows) + " requests), with a write lock of " +
                           Num(o_.lockHoldSeconds) + " s every " + Num(o_.lockEverySeconds, 0) +
                           " s, and one more once the server is idle");
  current_ = &p;
  WriterPlan plan;
  plan.phase = p.index;
  plan.fullSpeed = true;
  plan.maxRows = o_.writerRows;
  plan.seconds = o_.writerSeconds;
  plan.view = View();
  plan.seed = o_.seed;
  ledger_->StartWriter(plan);

  std::string error, changes;
  int locks = 0;
  // Holds the outside lock for `hold` seconds; a rack changes right after
  // it is taken, so that its status row is written (or not) under the lock.
  auto lockedChange = [&](int rack, bool silent, double hold) {
    if (!ledger_->BeginLock(&error)) {
      p.notes.push_back("the outside lock could not be taken: " + error);
      return;
    }
    ++locks;
    const double until = Now() + hold;
    if (rack != 0) {
      if (!plant_->RackSilent(rack, silent, &error)) HarnessError(error);
      changes += (changes.empty() ? "" : ", ") + std::string("rack ") + std::to_string(rack) +
                 (silent ? " fell silent" : " answered again");
    }
    Wait(until - Now());
    ledger_->EndLock();
  };
  // Under load: the server's own writes wait on the lock one after another,
  // so its status write may come only after the lock.
  const std::pair<int, bool> underLoad[] = {{rackA_, true}, {rackA_, false}};
  const double t0 = Now();
  for (double next = t0 + 2; Now() - t0 < o_.writerSeconds && !Stopping();) {
    if (Now() < next) {
      Wait(std::min(0.05, next - Now()));
      continue;
    }
    next += o_.lockEverySeconds;
    const bool change = locks < 2;
    lockedChange(change ? underLoad[locks].first : 0, change && underLoad[locks].second, o_.lockHoldSeconds);
  }
  ledger_->StopWriter();
  p.notes.push_back(WriterNote(ledger_->writerStats()));
  // Idle (every request ended, or nothing changed for a while): nothing
  // else waits for the database, and the status write meets the lock.
  constexpr double kIdleSeconds = 10;
  uint64_t last = ledger_->transitions();
  double lastChange = Now();
  WaitFor(o_.settleSeconds * 10, [&] {
    if (!ledger_->Refresh(&error)) return false;
    if (ledger_->transitions() != last) {
      last = ledger_->transitions();
      lastChange = Now();
    }
    return ledger_->OpenRequests(p.index) == 0 || Now() - lastChange > kIdleSeconds;
  });
  lockedChange(rackB_, true, std::max(o_.lockHoldSeconds, 6.0));
  p.notes.push_back("the outside lock was held " + std::to_string(locks) + " times" +
                    (changes.empty() ? "" : "; under it " + changes));
  Settle(p);
  const bool pass = End(p);
  current_ = nullptr;
  return pass;
}

bool Soak::PhaseKills() {
  Phase p = Begin('b', std::to_string(o_.kills) + " kill -9 and restarts of the server mid-traffic (" +
                           Num(o_.rate, 0) + " requests a second, the racks answering after " +
                           std::to_string(kKillLatencyMs) + " ms)");
  current_ = &p;
  std::string error;
  if (!plant_->Latency(kKillLatencyMs, &error)) HarnessError(error);
  ledger_->StartWriter(Background(p, 2));
  std::mt19937 rng(o_.seed + 3);
  auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  int kills = 0;
  std::set<int64_t> inFlight;  // requests in state 3 at one of the kills
  for (int k = 1; k <= o_.kills && !Stopping(); ++k) {
    // Traffic has reached this run of the server: it claimed a request.
    const uint64_t claims = ledger_->claimsSeen();
    WaitFor(10, [&] { return ledger_->Refresh(&error) && ledger_->claimsSeen() > claims; });
    Wait(uniform(0.2, 1.5));
    ledger_->Refresh(&error);
    for (int64_t rid : ledger_->InProcessNow()) inFlight.insert(rid);
    serverExpectedDown_ = true;
    server_->Kill9();
    ++kills;
    Wait(uniform(0.0, 0.5));
    if (!StartServer(&p)) {
      p.serverFaults.push_back("TKZ_App could not be started again after kill " + std::to_string(k));
      break;
    }
  }
  ledger_->StopWriter();
  if (!plant_->Latency(0, &error)) HarnessError(error);
  p.notes.push_back(WriterNote(ledger_->writerStats()));
  p.notes.push_back("killed the server " + std::to_string(kills) + " times; " + std::to_string(inFlight.size()) +
                    " requests were in state 3 at a kill");
  Settle(p);
  const bool pass = End(p);
  current_ = nullptr;
  return pass;
}

bool Soak::PhaseNodes() {
  Phase p = Begin('c', std::to_string(o_.cycles) + " restart and silence cycles of every simulated node (" +
                           std::to_string(o_.longSilences) + " of them a silence of " +
                           Num(kLongSilenceSeconds, 0) + " s, past the silence time-out)");
  current_ = &p;
  ledger_->StartWriter(Background(p, 4));
  std::mt19937 rng(o_.seed + 5);
  auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
  std::string error;
  int restarts = 0, silences = 0, longs = 0;
  auto ok = [&](bool done) {
    if (!done) HarnessError(error);
    return done;
  };
  for (int cycle = 1; cycle <= o_.cycles && !Stopping(); ++cycle) {
    bool isLong = false;
    for (int j = 1; j <= o_.longSilences; ++j) isLong = isLong || cycle == j * o_.cycles / (o_.longSilences + 1);
    if (isLong) {
      for (int n = 1; n <= layout_.nodes; ++n) ok(plant_->Silence(n, true, &error));
      Wait(kLongSilenceSeconds);
      for (int n = 1; n <= layout_.nodes; ++n) ok(plant_->Silence(n, false, &error));
      ++longs;
      Wait(uniform(2.0, 4.0));
      continue;
    }
    std::vector<double> speakAt(static_cast<size_t>(layout_.nodes) + 1, 0);
    for (int n = 1; n <= layout_.nodes; ++n) {
      const double roll = uniform(0, 1);
      if (roll < 0.4) {
        ++restarts;
        ok(plant_->Restart(n, &error));
      } else if (roll < 0.9) {
        ++silences;
        ok(plant_->Silence(n, true, &error));
        speakAt[static_cast<size_t>(n)] = Now() + uniform(0.3, 3.0);
      }
    }
    for (bool waiting = true; waiting && !Stopping();) {
      waiting = false;
      for (int n = 1; n <= layout_.nodes; ++n) {
        double& at = speakAt[static_cast<size_t>(n)];
        if (at == 0) continue;
        if (Now() >= at) {
          ok(plant_->Silence(n, false, &error));
          at = 0;
        } else {
          waiting = true;
        }
      }
      Wait(0.02);
    }
    Wait(uniform(0.5, 1.5));
  }
  ledger_->StopWriter();
  p.notes.push_back(WriterNote(ledger_->writerStats()));
  p.notes.push_back(std::to_string(restarts) + " node restarts, " + std::to_string(silences) +
                    " short silences (0.3-3 s), " + std::to_string(longs) + " silences of every node for " +
                    Num(kLongSilenceSeconds, 0) + " s");
  Settle(p);
  const bool pass = End(p);
  current_ = nullptr;
  return pass;
}

bool Soak::PhaseDisk() {
  const std::string title = "a full disk for " + Num(o_.diskSeconds, 0) + " s, then a read-only database for " +
                            Num(o_.diskSeconds, 0) + " s";
  if (!disk_.canFill()) {
    Skip('d', title, diskNote_);
    return true;
  }
  Phase p = Begin('d', title);
  current_ = &p;
  ledger_->StartWriter(Background(p, 6));
  std::string error;
  auto rack = [&](int r, bool silent) {
    if (r != 0 && !plant_->RackSilent(r, silent, &error)) HarnessError(error);
  };
  Wait(2);

  // The disk fills; meanwhile one rack comes back and another falls silent.
  const long long filled = disk_.Fill(&error);
  if (!error.empty()) HarnessError("filling the disk: " + error);
  std::string changes;
  if (plant_->rackSilent(rackB_)) {
    rack(rackB_, false);
    changes = "rack " + std::to_string(rackB_) + " answering again and ";
  }
  rack(rackC_, true);
  changes += "rack " + std::to_string(rackC_) + " silent";
  p.notes.push_back("filled the disk with " + Megabytes(filled) + ", " + std::to_string(disk_.FreeBytes()) +
                    " bytes left; " + changes + " while it was full");
  Wait(o_.diskSeconds);
  disk_.Unfill();
  Wait(3);

  // The database's files refuse every write (EPERM).
  if (disk_.canFreeze()) {
    const std::string db = disk_.siteDir() + "/drovana.mdb";
    if (!disk_.Freeze({db, db + "-wal"}, true, guard_, &error)) HarnessError(error);
    rack(rackC_, false);
    rack(rackA_, true);
    p.notes.push_back("made drovana.mdb and its WAL immutable; rack " + std::to_string(rackC_) +
                      " answering again and rack " + std::to_string(rackA_) + " silent meanwhile");
    Wait(o_.diskSeconds);
    if (!disk_.Freeze({db, db + "-wal"}, false, guard_, &error)) HarnessError(error);
  } else {
    p.notes.push_back("no read-only database: files on a tmpfs cannot be made to refuse writes");
  }
  ledger_->StopWriter();
  p.notes.push_back(WriterNote(ledger_->writerStats()));
  Settle(p);
  const bool pass = End(p);
  current_ = nullptr;
  return pass;
}

bool Soak::PhaseFlood() {
  const int dead = layout_.nodes >= 2 ? layout_.nodes : 0;
  // The silent node must have been silent past the silence time-out (30 s)
  // by the flood's end, with time for the status write.
  constexpr double kShortestWithSilentNode = 40;
  const double seconds = dead != 0 ? std::max(o_.floodSeconds, kShortestWithSilentNode) : o_.floodSeconds;
  Phase p = Begin('e', "a flood of bad and forged datagrams at " + std::to_string(o_.floodRate) +
                           " a second for " + Num(seconds, 0) + " s" +
                           (dead != 0 ? ", node " + std::to_string(dead) +
                                            " silent from its start and asked nothing" : ""));
  current_ = &p;
  p.checkExpect = true;
  std::string error;
  if (dead != 0 && !plant_->Silence(dead, true, &error)) HarnessError(error);
  // The forged answers go to node 1's port of its first rack that answers.
  int liveRack = 0, liveSlot = 1;
  for (const RackSpot& r : layout_.racks)
    if (r.node == 1 && plant_->RackAnswers(r.rack) && liveRack == 0) {
      liveRack = r.rack;
      liveSlot = r.slot;
    }
  flood_.Aim(dead, 1, liveSlot, liveRack != 0 ? liveRack : 1);
  WriterPlan plan = Background(p, 8);
  plan.noReloads = true;
  plan.keepExpect = true;
  // Nothing is asked of the silent node's racks: only its silence can tell
  // the server that it is gone, and forgeries must not hide that.
  plan.view.avoidNode = dead;
  ledger_->StartWriter(plan);
  floodCarry_ = 0;
  lastFloodAt_ = Now();
  flooding_ = true;
  Wait(seconds);
  flooding_ = false;
  ledger_->StopWriter();
  // The silent node has been silent for the whole flood, longer than the
  // silence time-out: its rows must say so now, whatever the flood said.
  const StatusCheck atEnd = CheckStatus();
  std::string sent;
  uint64_t total = 0;
  for (const auto& [kind, n] : flood_.sent()) {
    sent += (sent.empty() ? "" : ", ") + std::to_string(n) + " " + kind;
    total += n;
  }
  p.notes.push_back(WriterNote(ledger_->writerStats()));
  p.notes.push_back("sent " + std::to_string(total) + " datagrams: " + sent + " (" +
                    std::to_string(flood_.refused()) + " refused by our sockets; " + std::to_string(flood_.heard()) +
                    " addresses' announcements heard to replay)");
  p.notes.push_back("status at the end of the flood: " + std::to_string(atEnd.right) + " rows right, " +
                    std::to_string(std::max(0, atEnd.wrong)) + " wrong");
  for (const std::string& w : atEnd.wrongRows)
    p.serverFaults.push_back("status at the end of the flood: " + w);
  Settle(p);
  const bool pass = End(p);
  current_ = nullptr;
  if (dead != 0 && !plant_->Silence(dead, false, &error)) HarnessError(error);
  return pass;
}

}  // namespace soak
