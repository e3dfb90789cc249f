// The server under soak: TKZ_App headless on the plant's server address,
// its log appended to one file over all its runs, and what it costs the
// machine (resident memory and open descriptors from /proc, the site's
// WAL file size), sampled with the peak of each phase.
//
// Ownership: owns the TKZ_App process. Main thread only.
#pragma once

#include <string>

#include "Plant.h"
#include "Processes.h"

namespace soak {

struct ServerFigures {
  long long walBytes = -1, rssKb = -1;
  int fds = -1;
};

class ServerProc {
 public:
  ServerProc(const PlantLayout& layout, std::string exe, std::string siteDir, std::string configHome,
             std::string logPath)
      : layout_(layout), exe_(std::move(exe)), site_(std::move(siteDir)), config_(std::move(configHome)),
        log_(std::move(logPath)) {}

  bool Start(std::string* error);
  // kill -9, reaped. The next Start is a restart.
  void Kill9();
  // SIGTERM and the bounded wait; true when it ended by itself in time.
  bool Stop(int ms);
  bool Running() { return child_.Running(); }
  std::string StatusText() const { return child_.StatusText(); }
  int starts() const { return starts_; }

  // One sample; keeps the peaks since ResetPeaks.
  ServerFigures Sample();
  void ResetPeaks() { peak_ = ServerFigures{}; }
  const ServerFigures& peak() const { return peak_; }
  // The last lines of its log.
  std::string LogTail(size_t lines) const;

 private:
  PlantLayout layout_;
  std::string exe_, site_, config_, log_;
  Child child_;
  int starts_ = 0;
  ServerFigures peak_;
};

std::string Megabytes(long long bytes);

}  // namespace soak
