// The comm thread's four operator reports, written to the log whatever the
// display switches.
#include "IpcComm.h"
#include "LogSink.h"
#include "NetReports.h"

namespace {

void Write(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) LogPrintfQueued("%s", line.c_str());
}

}  // namespace

void CIpcComm::ReportNodes() { Write(ReportNodeLines(DefaultNetNodeTable())); }

void CIpcComm::ReportNetStats() {
  NetStatsFigures f;
  // Uptime on the monotonic clock: a step of the wall clock does not change it.
  f.uptimeSeconds = (m_pClock->MonotonicMs() - m_nStartMs) / 1000;
  f.timerMessages = TimerMessages();
  f.polls = Polls();
  f.longestGapMs = LongestGapMs();
  Write(ReportNetStatsLines(f, m_Nodes));
}

void CIpcComm::ReportRacks() { Write(ReportRackLines(m_Nodes)); }

void CIpcComm::ReportRackVersions() { Write(ReportRackVersionLines(m_Nodes)); }
