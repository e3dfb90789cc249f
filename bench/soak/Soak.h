// The soak run: sets the plant up (site, simulated nodes, server), runs the
// phases, judges each at its end and prints the figures, and takes
// everything down again on every way out.
//
// A phase is judged when its disturbance is over and the plant has had time
// to settle (bounded: the settle time, or earlier when the server makes no
// progress): every request written in the phase must have ended exactly
// once (none left pending or in state 3, none claimed or ended twice, none
// deleted), the racks must have received no request's command more often
// than requests for it were claimed, and every node and rack status row
// must say what the plant really is. What goes wrong in the soak program
// itself (a simulator that stops answering, the database refusing its own
// reads, the account disagreeing with the rows) is a harness error, kept
// apart from the server's faults: the run then ends with exit status 2.
#pragma once

#include <csignal>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Flood.h"
#include "Ledger.h"
#include "Plant.h"
#include "Processes.h"
#include "ServerProc.h"
#include "SiteDisk.h"

namespace soak {

struct Options {
  std::string phases = "abcde";
  bool longRun = false;
  int nodes = 3, ports = 2, racksPerPort = 2;
  int subnet = 0;          // 0: from the process id
  double writerSeconds = 24;
  int writerRows = 3000;
  double lockEverySeconds = 8, lockHoldSeconds = 5;
  int kills = 5;
  int cycles = 10;
  int longSilences = 1;
  double diskSeconds = 12;
  double floodSeconds = 45;
  int floodRate = 1000;
  std::vector<std::string> floodKinds;  // empty: every kind
  double rate = 60;        // requests a second outside phase a
  double settleSeconds = 30;  // the wait after the last change of a request
  int diskMb = 256;
  std::string disk = "auto";  // auto, ext4, tmpfs, none: the site's own file system
  uint32_t seed = 1;
  std::string saveLogs;    // a directory to copy the logs into
  bool serverDebug = false;  // the server's debug switches on (a much longer log)
  std::string serverExe, nodesimExe, siteToolExe;
};

extern volatile std::sig_atomic_t g_stopSignal;

class Soak {
 public:
  explicit Soak(const Options& options);
  ~Soak();
  // 0 every phase passed, 1 a phase failed, 2 a harness error, 128+n a signal.
  int Run();

 private:
  struct Phase {
    char id = 0;
    std::string title;
    int index = 0;
    bool checkExpect = false;
    std::vector<std::string> notes;         // what the soak program did, and its own troubles
    std::vector<std::string> serverFaults;  // the server ended by itself, refused to start, ...
    std::map<std::string, uint64_t> receivedAtStart;
    uint64_t excessAtStart = 0;
    double startedAt = 0, settledIn = 0;
  };
  struct StatusCheck {
    int right = 0, wrong = 0;
    std::vector<std::string> wrongRows;
  };

  bool Setup();
  void Teardown();
  void HarnessError(const std::string& what);
  bool Stopping() const;

  // One turn of the main loop: traces, the flood, samples, the server's
  // health. Waits run it every few milliseconds.
  void Tick();
  // Runs Tick for `seconds`, or until `until` holds. False on a stop signal.
  bool Wait(double seconds, const std::function<bool()>& until = {});
  // Wait with a condition that reads the database: asked every 100 ms.
  bool WaitFor(double seconds, const std::function<bool()>& until);
  bool StartServer(Phase* phase);
  bool WaitPlantUp(double seconds, std::string* why);
  StatusCheck CheckStatus();
  PlantView View() const;
  uint64_t RackExcess(std::map<std::string, uint64_t>* received, std::map<std::string, uint64_t>* claimed);

  Phase Begin(char id, const std::string& title);
  void Settle(Phase& p);
  bool End(Phase& p);  // judges and prints; true when it passed
  void Skip(char id, const std::string& title, const std::string& why);

  // The writer of phases b to e: at the request rate until stopped.
  WriterPlan Background(const Phase& p, uint32_t seedOffset) const;
  bool PhaseWriter();
  bool PhaseKills();
  bool PhaseNodes();
  bool PhaseDisk();
  bool PhaseFlood();

  Options o_;
  Guard guard_;
  std::string root_;
  SiteDisk disk_;
  std::string diskNote_;
  PlantLayout layout_;
  std::unique_ptr<Plant> plant_;
  std::unique_ptr<Ledger> ledger_;
  std::unique_ptr<ServerProc> server_;
  Flood flood_;
  bool flooding_ = false;
  double floodCarry_ = 0, lastFloodAt_ = 0, lastSampleAt_ = 0;
  bool serverExpectedDown_ = false;
  Phase* current_ = nullptr;
  std::vector<std::string> harnessErrors_;
  enum class Verdict { kFail, kPass, kSkipped };
  std::vector<std::pair<char, Verdict>> results_;
  int phaseIndex_ = 0;
  // The racks the phases silence and bring back.
  int rackA_ = 0, rackB_ = 0, rackC_ = 0;
};

double Now();  // seconds, monotonic

}  // namespace soak
