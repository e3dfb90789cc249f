#include "KrnService.h"

#include <algorithm>
#include <cstdio>

#include "Rle.h"

namespace nodesim {
namespace {

constexpr uint8_t kProcSend = 3;
constexpr uint8_t kProcAppend = 4;
constexpr uint8_t kProcAddPoll = 5;
constexpr uint8_t kProcDeletePoll = 6;
constexpr uint8_t kUnsolicited = 0x80;
constexpr size_t kMaxPacked = 2048;     // no command packs to more
constexpr size_t kUnpackedMax = 1024;   // what the rack takes at most
constexpr int64_t kHoldMs = 16000;
constexpr size_t kOversize = 1100;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::vector<uint8_t> Pack(const std::vector<uint8_t>& plain) {
  std::vector<uint8_t> out(RleWorstCase(static_cast<uint32_t>(plain.size())) + 1);
  const uint16_t n = RleEncode(plain.data(), static_cast<uint16_t>(plain.size()), out.data(),
                               static_cast<uint16_t>(out.size()), 1);
  out.resize(n == RLE_FAIL ? 0 : n);
  return out;
}

std::vector<uint8_t> StartData(uint8_t index, uint16_t len, uint16_t adr, uint16_t rcode) {
  return {index, 0, static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8),
          static_cast<uint8_t>(adr), static_cast<uint8_t>(adr >> 8), static_cast<uint8_t>(rcode),
          static_cast<uint8_t>(rcode >> 8)};
}

}  // namespace

bool ParseAbuse(const std::string& text, Abuse* abuse) {
  static const std::pair<const char*, Abuse> kNames[] = {
      {"none", Abuse::None},           {"dup-start", Abuse::DupStart},
      {"long-report", Abuse::LongReport}, {"report-no-start", Abuse::ReportNoStart},
      {"oversize", Abuse::Oversize},   {"hold", Abuse::Hold}};
  for (const auto& [name, value] : kNames)
    if (text == name) {
      *abuse = value;
      return true;
    }
  return false;
}

bool KrnService::AddRack(int slot, uint16_t rack, const sim::RackModel::Config& config) {
  if (slot < 0 || slot >= kKrnPorts || racks_.count(rack) != 0) return false;
  racks_[rack] = RackSlot{slot, std::make_unique<sim::RackModel>(config)};
  return true;
}

sim::RackModel* KrnService::Rack(uint16_t rack) {
  auto it = racks_.find(rack);
  return it == racks_.end() ? nullptr : it->second.model.get();
}

void KrnService::Open(int slot, uint8_t index, uint8_t pcNode) {
  if (slot < 0 || slot >= kKrnPorts) return;
  ports_[slot] = Port{};
  ports_[slot].open = true;
  ports_[slot].index = index;
  ports_[slot].pcNode = pcNode;
}

void KrnService::Close(int slot) {
  if (slot < 0 || slot >= kKrnPorts) return;
  ports_[slot].open = false;
  ports_[slot].kind = Port::Kind::None;
  for (auto it = polls_.begin(); it != polls_.end();)
    it = it->second.slot == slot ? polls_.erase(it) : std::next(it);
}

void KrnService::Reset() {
  for (Port& p : ports_) p = Port{};
  polls_.clear();
  due_.clear();
}

int KrnService::SlotOfIndex(uint8_t index) const {
  for (int s = 0; s < kKrnPorts; ++s)
    if (ports_[s].open && ports_[s].index == index) return s;
  return -1;
}

void KrnService::Request(uint8_t proc, const uint8_t* p, uint16_t length, int64_t nowMs) {
  char line[160];
  switch (proc) {
    case kProcSend: {
      if (length < 24) {
        trace_("req send short " + std::to_string(length));
        return;
      }
      const int slot = SlotOfIndex(p[16]);
      const uint16_t len = Get16(p + 18);
      const uint16_t rack = Get16(p + 20);
      std::snprintf(line, sizeof line, "req send index 0x%02x atype 0x%02x len %u rack %u", p[16],
                    p[17], len, rack);
      Detail(line);
      if (slot < 0 || len < 3 || len - 3u > kMaxPacked) {
        trace_("refused send");
        return;
      }
      ++sends_;
      Port& port = ports_[slot];
      port.kind = Port::Kind::Send;
      port.rack = rack;
      port.expected = len - 3u;
      port.packed.clear();
      if (port.expected == 0) Complete(slot, nowMs);
      return;
    }
    case kProcAppend: {
      if (length < 18) return;
      const int slot = SlotOfIndex(p[17]);
      if (slot < 0 || ports_[slot].kind == Port::Kind::None) {
        trace_("refused append");
        return;
      }
      Port& port = ports_[slot];
      // The count of a poll's append includes 3; the bytes are what the
      // request holds.
      const size_t count = port.kind == Port::Kind::Poll ? (p[16] >= 3 ? p[16] - 3u : 0u) : p[16];
      const size_t n = std::min<size_t>(count, length - 18u);
      port.packed.insert(port.packed.end(), p + 18, p + 18 + n);
      if (port.packed.size() >= port.expected) Complete(slot, nowMs);
      return;
    }
    case kProcAddPoll: {
      if (length < 31) return;
      const uint32_t interval = Get32(p + 16);
      const uint16_t key = Get16(p + 20);
      const uint16_t rack = Get16(p + 22);
      const uint16_t len = Get16(p + 24);
      const int slot = SlotOfIndex(p[26]);
      std::snprintf(line, sizeof line, "req add_poll key 0x%04x rack %u len %u interval %u mode %u",
                    key, rack, len, interval, p[30]);
      Detail(line);
      if (slot < 0 || len < 3 || len - 3u > kMaxPacked || interval == 0) {
        trace_("refused add_poll");
        return;
      }
      Poll& poll = polls_[key];  // replaces a poll of the same key
      poll = Poll{};
      poll.slot = slot;
      poll.rack = rack;
      poll.intervalMs = std::max<uint32_t>(interval, 10);
      poll.mode = p[30];
      poll.nextDue = nowMs;
      Port& port = ports_[slot];
      port.kind = Port::Kind::Poll;
      port.pollKey = key;
      port.expected = len - 3u;
      port.packed.clear();
      return;
    }
    case kProcDeletePoll: {
      if (length < 27) return;
      const uint16_t key = Get16(p + 20);
      std::snprintf(line, sizeof line, "req delete_poll key 0x%04x", key);
      Detail(line);
      polls_.erase(key);
      return;
    }
    default:
      return;
  }
}

void KrnService::Complete(int slot, int64_t nowMs) {
  Port& port = ports_[slot];
  const Port::Kind kind = port.kind;
  port.kind = Port::Kind::None;
  std::vector<uint8_t> command(kUnpackedMax);
  uint16_t n = 0;
  if (!port.packed.empty()) {
    n = RleDecode(port.packed.data(), static_cast<uint16_t>(port.packed.size()), command.data(),
                  static_cast<uint16_t>(command.size()), 1);
  }
  const bool bad = n == RLE_FAIL || port.packed.size() != port.expected;
  command.resize(bad ? 0 : n);
  if (kind == Port::Kind::Poll) {
    auto it = polls_.find(port.pollKey);
    if (it == polls_.end()) return;
    if (bad) {
      trace_("poll command malformed");
      polls_.erase(it);
      return;
    }
    it->second.command = std::move(command);
    return;
  }
  if (bad) {
    trace_("send malformed");
    Answer(slot, 0, port.rack, kLinkNoResponse, {}, nowMs + options_.silentDelayMs, Abuse::None);
    return;
  }
  Exchange(slot, port.rack, command, nowMs);
}

void KrnService::Exchange(int slot, uint16_t rack, const std::vector<uint8_t>& command,
                          int64_t nowMs) {
  const Abuse abuse = abuse_;
  abuse_ = Abuse::None;
  char line[128];
  const int cmd = command.size() >= 2 ? command[0] | (command[1] << 8) : -1;
  if (rack == kKrnBroadcast) {
    int n = 0;
    for (auto& [number, r] : racks_)
      if (r.slot == slot) {
        r.model->Exchange(command);
        ++n;
      }
    std::snprintf(line, sizeof line, "broadcast slot %d cmd %d racks %d", slot, cmd, n);
    Detail(line);
    Answer(slot, 0, rack, 0, {}, nowMs + options_.latencyMs, abuse);
    return;
  }
  auto it = racks_.find(rack);
  if (it == racks_.end() || it->second.slot != slot) {
    std::snprintf(line, sizeof line, "rack %u unknown cmd %d", rack, cmd);
    Detail(line);
    Answer(slot, 0, rack, kLinkNoResponse, {}, nowMs + options_.silentDelayMs, abuse);
    return;
  }
  const sim::RackAnswer a = it->second.model->Exchange(command);
  switch (a.kind) {
    case sim::AnswerKind::Reply:
      std::snprintf(line, sizeof line, "rack %u cmd %d reply %zu", rack, cmd, a.reply.size());
      Detail(line);
      Answer(slot, 0, rack, 0, a.reply, nowMs + options_.latencyMs, abuse);
      break;
    case sim::AnswerKind::LinkCode:
      std::snprintf(line, sizeof line, "rack %u cmd %d link 0x%02x", rack, cmd, a.rcode);
      Detail(line);
      Answer(slot, 0, rack, a.rcode, {}, nowMs + options_.latencyMs, abuse);
      break;
    case sim::AnswerKind::Silent:
      std::snprintf(line, sizeof line, "rack %u cmd %d silent", rack, cmd);
      Detail(line);
      Answer(slot, 0, rack, kLinkNoResponse, {}, nowMs + options_.silentDelayMs, abuse);
      break;
  }
}

void KrnService::Queue(int64_t atMs, const Port& port, uint16_t code, std::vector<uint8_t> data) {
  due_.emplace(atMs, Due{port.pcNode, code, std::move(data)});
}

void KrnService::Answer(int slot, uint8_t flag, uint16_t rack, uint16_t rcode,
                        const std::vector<uint8_t>& reply, int64_t atMs, Abuse abuse) {
  const Port& port = ports_[slot];
  const uint8_t index = static_cast<uint8_t>(port.index | flag);
  std::vector<uint8_t> packed = reply.empty() ? std::vector<uint8_t>{} : Pack(reply);
  if (abuse == Abuse::Oversize) {
    packed.resize(kOversize);
    for (size_t i = 0; i < packed.size(); ++i) packed[i] = static_cast<uint8_t>(i * 13 + 1);
  }
  if (abuse == Abuse::Hold) atMs += kHoldMs;
  const auto len = static_cast<uint16_t>(packed.size() + 3);
  if (abuse != Abuse::ReportNoStart) {
    Queue(atMs, port, IO_KRN_EVNT_START, StartData(index, len, rack, rcode));
    if (abuse == Abuse::DupStart) Queue(atMs, port, IO_KRN_EVNT_START, StartData(index, len, rack, rcode));
  }
  const size_t chunk = static_cast<size_t>(std::clamp(options_.reportSize, 1, 255));
  for (size_t at = 0; at < packed.size(); at += chunk) {
    const size_t n = std::min(chunk, packed.size() - at);
    std::vector<uint8_t> data{index, 0};
    data.insert(data.end(), packed.begin() + static_cast<std::ptrdiff_t>(at),
                packed.begin() + static_cast<std::ptrdiff_t>(at + n));
    if (abuse == Abuse::LongReport && at + n == packed.size() && n + 5 <= 255)
      data.insert(data.end(), {1, 2, 3, 4, 5});
    data[1] = static_cast<uint8_t>(data.size() - 2);
    Queue(atMs, port, IO_KRN_EVNT_REPORT, std::move(data));
  }
  if (abuse == Abuse::LongReport && packed.empty())
    Queue(atMs, port, IO_KRN_EVNT_REPORT, {index, 5, 1, 2, 3, 4, 5});
}

void KrnService::RunPoll(Poll& poll, int64_t nowMs) {
  // A poll whose command has not come yet runs as soon as it does.
  if (poll.command.empty()) return;
  poll.nextDue = nowMs + poll.intervalMs;
  if (!ports_[poll.slot].open) return;
  auto it = racks_.find(poll.rack);
  sim::RackAnswer a{sim::AnswerKind::Silent, 0, {}};
  if (it != racks_.end() && it->second.slot == poll.slot) a = it->second.model->Exchange(poll.command);
  char line[96];
  if (a.kind == sim::AnswerKind::Reply) {
    poll.failed = false;
    if (poll.mode == 2 && poll.haveLast && a.reply == poll.lastReply) return;
    poll.haveLast = true;
    poll.lastReply = a.reply;
    ++pollReports_;
    std::snprintf(line, sizeof line, "poll rack %u reply %zu", poll.rack, a.reply.size());
    Detail(line);
    Answer(poll.slot, kUnsolicited, poll.rack, 0, a.reply, nowMs, Abuse::None);
    return;
  }
  poll.haveLast = false;
  if (poll.mode == 2 && poll.failed) return;
  poll.failed = true;
  const uint16_t rcode = a.kind == sim::AnswerKind::LinkCode ? a.rcode : kLinkNoResponse;
  ++pollReports_;
  std::snprintf(line, sizeof line, "poll rack %u failed 0x%02x", poll.rack, rcode);
  Detail(line);
  Answer(poll.slot, kUnsolicited, poll.rack, rcode, {}, nowMs, Abuse::None);
}

int KrnService::Tick(int64_t nowMs) {
  int sent = 0;
  for (auto& [key, poll] : polls_)
    if (poll.nextDue <= nowMs) RunPoll(poll, nowMs);
  while (!due_.empty() && due_.begin()->first <= nowMs) {
    Due d = std::move(due_.begin()->second);
    due_.erase(due_.begin());
    if (options_.traceEvents) {
      char line[128];
      if (d.code == IO_KRN_EVNT_START)
        std::snprintf(line, sizeof line, "evt start index 0x%02x len %u adr %u rcode 0x%02x",
                      d.data[0], Get16(&d.data[2]), Get16(&d.data[4]), Get16(&d.data[6]));
      else
        std::snprintf(line, sizeof line, "evt report index 0x%02x n %u", d.data[0], d.data[1]);
      Detail(line);
    }
    send_(d.pcNode, d.code, d.data);
    ++sent;
  }
  return sent;
}

}  // namespace nodesim
