// The four operator reports of the comm thread, as lines of text: the
// library's net node list, the comm thread's statistics with the per-port
// counters, the rack table with its counters, and the racks' versions.
// CIpcComm writes them to the log (LogPrintfQueued), whatever the display
// switches.  Each line ends with "\n"; an empty line is "\n".
//
// Threads: comm thread only (they read the tables and the library).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CommNodes.h"

// What the node list reads of the library's net node table.
class NetNodeTable {
 public:
  virtual ~NetNodeTable() = default;
  virtual uint8_t MaxIndx() = 0;
  virtual bool IndxValid(uint8_t indx) = 0;
  virtual uint8_t Status(uint8_t indx) = 0;
  // False when the entry cannot be read; name: 10 bytes.
  virtual bool Info(uint8_t indx, char* name, uint32_t* addr, uint8_t* type) = 0;
  virtual void EtherAddr(uint8_t indx, uint8_t* ether) = 0;  // 6 bytes
  virtual void Version(uint8_t indx, char* version) = 0;     // 8 bytes
  // The node type's 4-character display code.
  virtual std::string TypeCode(uint8_t type) = 0;
};

// The IPC library's own table (Tessio32).
NetNodeTable& DefaultNetNodeTable();

std::vector<std::string> ReportNodeLines(NetNodeTable& table);

struct NetStatsFigures {
  int64_t uptimeSeconds = 0;
  uint32_t timerMessages = 0;
  uint32_t polls = 0;
  uint32_t longestGapMs = 0;
};
// The averages divide by the uptime in whole seconds, taken as 1 during
// the first second.
std::vector<std::string> ReportNetStatsLines(const NetStatsFigures& figures, CommNodes& nodes);
std::vector<std::string> ReportRackLines(CommNodes& nodes);
std::vector<std::string> ReportRackVersionLines(CommNodes& nodes);
