// The node simulator's rack service: the IO_KRN requests after a port is
// open (IO_KRN_SEND with its appends, IO_KRN_ADD_POLL with its command,
// IO_KRN_DELETE_POLL), rack models behind the ports, and the answers as
// IO_KRN_EVNT_START and IO_KRN_EVNT_REPORT events.
//
// A command goes to the rack model of its port; its reply is packed and
// sent as a START (Len = 3 + packed length) and REPORTs of at most the
// report size.  A broadcast goes to every rack of the port and is confirmed
// with a START of Len 3.  A rack that is unknown or does not answer is
// answered with link code 0x10 after the silent delay.  Polls run on their
// interval; in mode 2 a poll is reported (unsolicited, index bit 7) only
// when its reply changed, and a failure once until the rack answers again.
// One-shot abuse knobs bend the next solicited answer.
//
// Every request is the library's copy: fields are read within its length.
// Ownership and threads: one owner, one thread; events go out through the
// send function, time comes in through Tick.
#ifndef SIM_NODESIM_KRNSERVICE_H
#define SIM_NODESIM_KRNSERVICE_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "RackModel.h"

namespace nodesim {

constexpr int kKrnPorts = 6;
constexpr uint16_t IO_KRN_EVNT_START = 258;
constexpr uint16_t IO_KRN_EVNT_REPORT = 259;
constexpr uint16_t kKrnBroadcast = 0xFFFF;
constexpr uint16_t kLinkNoResponse = 0x10;

struct KrnOptions {
  int reportSize = 200;      // bytes per REPORT, 1..255
  int latencyMs = 0;         // before a rack's answer
  int silentDelayMs = 500;   // before the 0x10 of a rack that does not answer
  bool traceEvents = true;   // trace lines per request, exchange and event
};

enum class Abuse {
  None,
  DupStart,       // the START twice
  LongReport,     // the last REPORT runs past Len
  ReportNoStart,  // REPORTs without their START
  Oversize,       // more than 1024 packed bytes
  Hold,           // the answer held 16 s
};
// "dup-start", "long-report", "report-no-start", "oversize", "hold".
bool ParseAbuse(const std::string& text, Abuse* abuse);

class KrnService {
 public:
  using SendFn = std::function<void(uint8_t pcNode, uint16_t code, const std::vector<uint8_t>& data)>;
  using Trace = std::function<void(const std::string& line)>;

  KrnService(SendFn send, Trace trace) : send_(std::move(send)), trace_(std::move(trace)) {}

  KrnOptions& options() { return options_; }
  // A rack model behind the port of the slot (0..5).  False when the slot
  // is out of range or the rack exists already.
  bool AddRack(int slot, uint16_t rack, const sim::RackModel::Config& config);
  sim::RackModel* Rack(uint16_t rack);

  // The port of the slot opens (events then go to pcNode) or closes.
  void Open(int slot, uint8_t index, uint8_t pcNode);
  void Close(int slot);
  // Forgets the ports, polls and pending answers (a restart); racks stay.
  void Reset();

  // IO_KRN_SEND, IO_KRN_APPEND, IO_KRN_ADD_POLL, IO_KRN_DELETE_POLL.
  void Request(uint8_t proc, const uint8_t* request, uint16_t length, int64_t nowMs);
  // Runs the polls due and sends the answers due; returns how many events
  // went out.
  int Tick(int64_t nowMs);

  void SetAbuse(Abuse abuse) { abuse_ = abuse; }

  uint64_t sends() const { return sends_; }
  uint64_t pollReports() const { return pollReports_; }
  size_t polls() const { return polls_.size(); }
  size_t pendingEvents() const { return due_.size(); }

 private:
  struct Port {
    bool open = false;
    uint8_t index = 0;
    uint8_t pcNode = 0;
    // The command being appended.
    enum class Kind { None, Send, Poll } kind = Kind::None;
    uint16_t rack = 0;
    uint16_t pollKey = 0;
    size_t expected = 0;
    std::vector<uint8_t> packed;
  };
  struct Poll {
    int slot = 0;
    uint16_t rack = 0;
    int64_t intervalMs = 2000;
    uint8_t mode = 2;
    std::vector<uint8_t> command;  // unpacked; empty until its append came
    bool haveLast = false;
    std::vector<uint8_t> lastReply;
    bool failed = false;
    int64_t nextDue = 0;
  };
  struct RackSlot {
    int slot = 0;
    std::unique_ptr<sim::RackModel> model;
  };
  struct Due {
    uint8_t pcNode;
    uint16_t code;
    std::vector<uint8_t> data;
  };

  void Detail(const std::string& line) {
    if (options_.traceEvents) trace_(line);
  }
  int SlotOfIndex(uint8_t index) const;
  void Complete(int slot, int64_t nowMs);
  void Exchange(int slot, uint16_t rack, const std::vector<uint8_t>& command, int64_t nowMs);
  // START and REPORTs of an answer, at nowMs + delayMs.
  void Answer(int slot, uint8_t flag, uint16_t rack, uint16_t rcode,
              const std::vector<uint8_t>& reply, int64_t atMs, Abuse abuse);
  void Queue(int64_t atMs, const Port& port, uint16_t code, std::vector<uint8_t> data);
  void RunPoll(Poll& poll, int64_t nowMs);

  SendFn send_;
  Trace trace_;
  KrnOptions options_;
  Abuse abuse_ = Abuse::None;
  Port ports_[kKrnPorts];
  std::map<uint16_t, RackSlot> racks_;
  std::map<uint16_t, Poll> polls_;
  std::multimap<int64_t, Due> due_;
  uint64_t sends_ = 0;
  uint64_t pollReports_ = 0;
};

}  // namespace nodesim

#endif
