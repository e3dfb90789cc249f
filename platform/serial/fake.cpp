#include "platform/serial/fake.h"

#include <algorithm>

namespace serial {

const char* FakeEventName(FakeEvent::Kind kind) {
  switch (kind) {
    case FakeEvent::kOpen: return "open";
    case FakeEvent::kClose: return "close";
    case FakeEvent::kSetState: return "state";
    case FakeEvent::kSetTimeouts: return "timeouts";
    case FakeEvent::kRtsOn: return "rts+";
    case FakeEvent::kRtsOff: return "rts-";
    case FakeEvent::kWrite: return "write";
    case FakeEvent::kDrain: return "drain";
  }
  return "?";
}

std::vector<uint8_t> FakeLine::Written() const {
  std::vector<uint8_t> out;
  for (const FakeEvent& e : events)
    if (e.kind == FakeEvent::kWrite) out.insert(out.end(), e.bytes.begin(), e.bytes.end());
  return out;
}

std::vector<std::vector<uint8_t>> FakeLine::Writes() const {
  std::vector<std::vector<uint8_t>> out;
  for (const FakeEvent& e : events)
    if (e.kind == FakeEvent::kWrite) out.push_back(e.bytes);
  return out;
}

std::string FakeLine::Trace() const {
  std::string out;
  for (const FakeEvent& e : events) {
    if (!out.empty()) out += ' ';
    out += FakeEventName(e.kind);
  }
  return out;
}

namespace {

class FakePort final : public Port {
 public:
  explicit FakePort(std::shared_ptr<FakeLine> line) : line_(std::move(line)) {
    line_->open = true;
    line_->events.push_back({FakeEvent::kOpen, {}, {}, {}});
  }
  ~FakePort() override {
    line_->open = false;
    line_->events.push_back({FakeEvent::kClose, {}, {}, {}});
  }

  bool GetState(LineSettings* out) override {
    *out = line_->state;
    return true;
  }
  bool SetState(const LineSettings& s) override {
    line_->state = s;
    line_->events.push_back({FakeEvent::kSetState, {}, s, {}});
    return true;
  }
  bool GetTimeouts(Timeouts* out) override {
    *out = line_->timeouts;
    return true;
  }
  bool SetTimeouts(const Timeouts& t) override {
    line_->timeouts = t;
    line_->events.push_back({FakeEvent::kSetTimeouts, {}, {}, t});
    return true;
  }
  bool SetRts(bool on) override {
    line_->events.push_back({on ? FakeEvent::kRtsOn : FakeEvent::kRtsOff, {}, {}, {}});
    if (line_->failRts) return false;
    line_->rts = on;
    return true;
  }
  bool Read(uint8_t* buf, std::size_t size, std::size_t* got) override {
    std::size_t n = std::min(size, line_->input.size());
    if (line_->readChunk > 0) n = std::min(n, line_->readChunk);
    for (std::size_t i = 0; i < n; ++i) {
      buf[i] = line_->input.front();
      line_->input.pop_front();
    }
    *got = n;
    return true;
  }
  bool Write(const uint8_t* bytes, std::size_t size, std::size_t* written) override {
    if (line_->failWrites) {
      *written = 0;
      return false;
    }
    std::vector<uint8_t> copy(bytes, bytes + size);
    line_->events.push_back({FakeEvent::kWrite, copy, {}, {}});
    *written = size;
    if (line_->onWrite) line_->onWrite(std::span<const uint8_t>(copy));
    return true;
  }
  bool Drain() override {
    line_->events.push_back({FakeEvent::kDrain, {}, {}, {}});
    return true;
  }

 private:
  std::shared_ptr<FakeLine> line_;
};

}  // namespace

FakeLine& FakeBackend::Line(int com) {
  auto& slot = lines_[com];
  if (!slot) slot = std::make_shared<FakeLine>();
  return *slot;
}

std::unique_ptr<Port> FakeBackend::Open(int com, OpenFailure* why) {
  opens_.push_back(com);
  Line(com);
  std::shared_ptr<FakeLine> line = lines_[com];
  if (!line->exists || line->open) {
    if (why != nullptr)
      *why = {line->device.empty() ? "COM" + std::to_string(com) : line->device,
              line->exists ? "in use by another program" : line->openError};
    return nullptr;
  }
  return std::make_unique<FakePort>(line);
}

}  // namespace serial
