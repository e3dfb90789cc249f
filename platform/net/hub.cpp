#include "net/hub.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>

#include "net/error.h"

namespace net {

const char* FateName(Fate f) {
  switch (f) {
    case Fate::kInFlight: return "in flight";
    case Fate::kDelivered: return "delivered";
    case Fate::kDuplicated: return "duplicated";
    case Fate::kDropped: return "dropped";
    case Fate::kNoHost: return "no host";
    case Fate::kNoSocket: return "no socket";
    case Fate::kQueueFull: return "queue full";
  }
  return "?";
}

uint64_t Rng::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint64_t Rng::Below(uint64_t n) {
  if (n == 0) return 0;
  return static_cast<uint64_t>((static_cast<unsigned __int128>(Next()) * n) >> 64);
}

namespace {

constexpr uint16_t kFirstEphemeral = 32768;
constexpr uint16_t kLastEphemeral = 60999;

using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

struct Queued {
  Endpoint from;
  Bytes bytes;
};

struct SocketState {
  int host = 0;
  bool bound = false;
  Endpoint local;
  bool reuse = false;
  bool broadcast = false;
  uint64_t bindOrder = 0;
  std::deque<Queued> queue;
};

struct HostInfo {
  uint32_t address = 0;
  uint32_t mask = 0;
  std::string name;
  uint16_t nextEphemeral = kFirstEphemeral;
};

struct Copy {
  uint64_t seq = 0;
  Endpoint from;
  Endpoint to;
  Bytes bytes;
};

// Outcome of the copies of one datagram so far.
struct Track {
  uint32_t copies = 0;
  uint32_t remaining = 0;
  uint32_t deliveries = 0;
  uint32_t full = 0;
  bool hostFound = false;
};

uint32_t SubnetBroadcast(const HostInfo& h) { return (h.address & h.mask) | ~h.mask; }

Rule StandardRule(const Faults& f) {
  return [f](const Record&, Rng& rng) {
    Decision d;
    const uint64_t span = f.maxDelay >= f.minDelay ? f.maxDelay - f.minDelay + 1 : 1;
    // Always four draws, so one datagram's fate never shifts another's.
    const bool drop = rng.Below(1000000) < f.dropPerMillion;
    const bool duplicate = rng.Below(1000000) < f.duplicatePerMillion;
    d.drop = drop;
    d.duplicate = !drop && duplicate;
    d.delay = f.minDelay + rng.Below(span);
    d.duplicateDelay = f.minDelay + rng.Below(span);
    return d;
  };
}

}  // namespace

struct Hub::State {
  mutable std::mutex mu;
  uint64_t now = 0;
  uint64_t nextSeq = 0;
  uint64_t nextBindOrder = 1;
  uint64_t nextCopyOrder = 0;
  int nextHost = 1;
  std::map<int, HostInfo> hosts;
  std::map<Socket, SocketState> sockets;
  std::multimap<std::pair<uint64_t, uint64_t>, Copy> pending;  // (arrival, order)
  std::unordered_map<uint64_t, Track> tracks;                  // datagrams with copies to go
  Rule rule;
  Rng rng;
  std::function<void(Socket)> readyHook;
  std::size_t queueLimit = 256;
  bool recording = true;
  std::vector<Record> records;  // ascending seq

  Record* FindRecord(uint64_t seq) {
    auto it = std::lower_bound(records.begin(), records.end(), seq,
                               [](const Record& r, uint64_t s) { return r.seq < s; });
    return it != records.end() && it->seq == seq ? &*it : nullptr;
  }

  void Enqueue(Socket fd, SocketState& s, const Copy& c, Track& t, std::vector<Socket>* ready) {
    if (s.queue.size() >= queueLimit) {
      ++t.full;
      return;
    }
    const bool wasEmpty = s.queue.empty();
    s.queue.push_back(Queued{c.from, c.bytes});
    ++t.deliveries;
    if (wasEmpty) {
      const uint64_t one = 1;
      (void)!::write(fd, &one, sizeof one);
      ready->push_back(fd);
    }
  }

  // Hands one copy to the sockets it is for.
  void Deliver(const Copy& c, Track& t, std::vector<Socket>* ready) {
    for (const auto& [id, h] : hosts) {
      const bool bcast = c.to.address == kLimitedBroadcast || c.to.address == SubnetBroadcast(h);
      if (bcast) {
        t.hostFound = true;
        for (auto& [fd, s] : sockets) {
          if (s.host == id && s.bound && s.local.port == c.to.port &&
              (s.local.address == kAnyAddress || s.local.address == c.to.address)) {
            Enqueue(fd, s, c, t, ready);
          }
        }
      } else if (h.address == c.to.address) {
        t.hostFound = true;
        Socket best = kInvalidSocket;
        int bestScore = 0;
        uint64_t bestOrder = 0;
        for (auto& [fd, s] : sockets) {
          if (s.host != id || !s.bound || s.local.port != c.to.port) continue;
          const int score = s.local.address == c.to.address ? 2 : s.local.address == kAnyAddress ? 1 : 0;
          if (score == 0) continue;
          if (score > bestScore || (score == bestScore && s.bindOrder > bestOrder)) {
            best = fd;
            bestScore = score;
            bestOrder = s.bindOrder;
          }
        }
        if (best != kInvalidSocket) Enqueue(best, sockets[best], c, t, ready);
      }
    }
  }

  void Finish(uint64_t seq, const Track& t) {
    Record* r = FindRecord(seq);
    if (r == nullptr) return;
    r->copies = t.copies;
    r->deliveries = t.deliveries;
    if (t.copies == 0) {
      r->fate = Fate::kDropped;
    } else if (t.deliveries > 0) {
      r->fate = t.copies > 1 ? Fate::kDuplicated : Fate::kDelivered;
    } else if (t.full > 0) {
      r->fate = Fate::kQueueFull;
    } else {
      r->fate = t.hostFound ? Fate::kNoSocket : Fate::kNoHost;
    }
  }

  // A copy has arrived: deliver it and settle its datagram when it was the
  // last one.
  void Arrive(const Copy& c, std::vector<Socket>* ready) {
    auto it = tracks.find(c.seq);
    if (it == tracks.end()) return;
    Deliver(c, it->second, ready);
    if (Record* r = FindRecord(c.seq)) r->arrivedAt = now;
    if (--it->second.remaining == 0) {
      Finish(c.seq, it->second);
      tracks.erase(it);
    }
  }

  // Puts a datagram on the wire: records it, asks the rule (unless the
  // datagram is injected) and delivers or delays its copies.
  void Transmit(Endpoint from, Endpoint to, Bytes bytes, bool broadcast, bool applyRule,
                std::vector<Socket>* ready) {
    Record rec;
    rec.seq = nextSeq++;
    rec.sentAt = now;
    rec.from = from;
    rec.to = to;
    rec.bytes = *bytes;
    rec.broadcast = broadcast;
    Decision d;
    if (applyRule && rule) d = rule(rec, rng);

    Track t;
    t.copies = d.drop ? 0 : d.duplicate ? 2 : 1;
    t.remaining = t.copies;
    if (recording) records.push_back(std::move(rec));
    const uint64_t seq = nextSeq - 1;
    if (t.copies == 0) {
      Finish(seq, t);
      return;
    }
    tracks[seq] = t;
    const uint64_t delays[2] = {d.delay, d.duplicateDelay};
    for (uint32_t i = 0; i < t.copies; ++i) {
      Copy c{seq, from, to, bytes};
      if (delays[i] == 0) {
        Arrive(c, ready);
      } else {
        pending.emplace(std::make_pair(now + delays[i], nextCopyOrder++), std::move(c));
      }
    }
  }

  void Notify(const std::vector<Socket>& ready, std::unique_lock<std::mutex>& lock) {
    if (ready.empty() || !readyHook) return;
    auto hook = readyHook;
    lock.unlock();
    for (Socket s : ready) hook(s);
  }

  void CloseSocket(std::map<Socket, SocketState>::iterator it) {
    ::close(it->first);
    sockets.erase(it);
  }
};

namespace {

class HubHost final : public Backend {
 public:
  HubHost(std::shared_ptr<Hub::State> state, int id) : st_(std::move(state)), id_(id) {}

  ~HubHost() override {
    std::lock_guard<std::mutex> lock(st_->mu);
    for (auto it = st_->sockets.begin(); it != st_->sockets.end();) {
      auto next = std::next(it);
      if (it->second.host == id_) st_->CloseSocket(it);
      it = next;
    }
    st_->hosts.erase(id_);
  }

  int Open(Socket* s) override {
    if (s == nullptr) return err::kFault;
    *s = kInvalidSocket;
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return WinsockError(errno);
    std::lock_guard<std::mutex> lock(st_->mu);
    SocketState& ss = st_->sockets[fd];
    ss = SocketState{};
    ss.host = id_;
    *s = fd;
    return 0;
  }

  int SetOption(Socket s, Option option, bool on) override {
    std::lock_guard<std::mutex> lock(st_->mu);
    SocketState* ss = Find(s);
    if (ss == nullptr) return err::kNotSocket;
    (option == Option::kBroadcast ? ss->broadcast : ss->reuse) = on;
    return 0;
  }

  int SetNonBlocking(Socket s, bool) override {
    std::lock_guard<std::mutex> lock(st_->mu);
    return Find(s) == nullptr ? err::kNotSocket : 0;
  }

  int Bind(Socket s, Endpoint local) override {
    std::lock_guard<std::mutex> lock(st_->mu);
    SocketState* ss = Find(s);
    if (ss == nullptr) return err::kNotSocket;
    return BindLocked(*ss, local);
  }

  int LocalEndpoint(Socket s, Endpoint* local) override {
    if (local == nullptr) return err::kFault;
    std::lock_guard<std::mutex> lock(st_->mu);
    SocketState* ss = Find(s);
    if (ss == nullptr) return err::kNotSocket;
    *local = ss->bound ? ss->local : Endpoint{};
    return 0;
  }

  SendResult SendTo(Socket s, Endpoint to, const void* data, std::size_t len) override {
    SendResult r;
    if (data == nullptr && len != 0) {
      r.error = err::kFault;
      return r;
    }
    std::unique_lock<std::mutex> lock(st_->mu);
    SocketState* ss = Find(s);
    if (ss == nullptr) {
      r.error = err::kNotSocket;
      return r;
    }
    if (len > kMaxDatagram) {
      r.error = err::kMessageSize;
      return r;
    }
    if (to.port == 0) {
      r.error = err::kInvalid;
      return r;
    }
    const HostInfo& h = st_->hosts.at(id_);
    const bool bcast = to.address == kLimitedBroadcast || to.address == SubnetBroadcast(h);
    if (bcast && !ss->broadcast) {
      r.error = err::kAccess;
      return r;
    }
    if (!ss->bound) {
      const int e = BindLocked(*ss, Endpoint{kAnyAddress, 0});
      if (e != 0) {
        r.error = e;
        return r;
      }
    }
    Endpoint from = ss->local;
    if (from.address == kAnyAddress || from.address == kLimitedBroadcast ||
        from.address == SubnetBroadcast(h)) {
      from.address = h.address;
    }
    const auto* p = static_cast<const uint8_t*>(data);
    auto bytes = std::make_shared<const std::vector<uint8_t>>(p, p + len);
    std::vector<Socket> ready;
    st_->Transmit(from, to, std::move(bytes), bcast, true, &ready);
    r.bytes = len;
    st_->Notify(ready, lock);
    return r;
  }

  RecvResult RecvFrom(Socket s, void* buf, std::size_t size) override {
    RecvResult r;
    if (buf == nullptr && size != 0) {
      r.error = err::kFault;
      return r;
    }
    std::lock_guard<std::mutex> lock(st_->mu);
    SocketState* ss = Find(s);
    if (ss == nullptr) {
      r.error = err::kNotSocket;
      return r;
    }
    if (ss->queue.empty()) {
      r.error = err::kWouldBlock;
      return r;
    }
    Queued q = std::move(ss->queue.front());
    ss->queue.pop_front();
    if (ss->queue.empty()) {
      uint64_t count = 0;
      (void)!::read(s, &count, sizeof count);
    }
    r.size = q.bytes->size();
    r.copied = std::min(r.size, size);
    if (r.copied > 0) std::copy_n(q.bytes->data(), r.copied, static_cast<uint8_t*>(buf));
    r.from = q.from;
    return r;
  }

  int Close(Socket s) override {
    std::lock_guard<std::mutex> lock(st_->mu);
    auto it = st_->sockets.find(s);
    if (it == st_->sockets.end() || it->second.host != id_) return err::kNotSocket;
    st_->CloseSocket(it);
    return 0;
  }

  int OwnAddress(uint32_t* address) override {
    if (address == nullptr) return err::kFault;
    std::lock_guard<std::mutex> lock(st_->mu);
    *address = st_->hosts.at(id_).address;
    return 0;
  }

  int HostName(std::string* name) override {
    if (name == nullptr) return err::kFault;
    std::lock_guard<std::mutex> lock(st_->mu);
    *name = st_->hosts.at(id_).name;
    return 0;
  }

 private:
  SocketState* Find(Socket s) {
    auto it = st_->sockets.find(s);
    return it == st_->sockets.end() || it->second.host != id_ ? nullptr : &it->second;
  }

  bool Conflicts(const SocketState& self, Endpoint local, bool reuse) const {
    for (const auto& [fd, o] : st_->sockets) {
      if (&o == &self || o.host != id_ || !o.bound || o.local.port != local.port) continue;
      const bool overlap = o.local.address == kAnyAddress || local.address == kAnyAddress ||
                           o.local.address == local.address;
      if (overlap && !(reuse && o.reuse)) return true;
    }
    return false;
  }

  int BindLocked(SocketState& ss, Endpoint local) {
    if (ss.bound) return err::kInvalid;
    HostInfo& h = st_->hosts.at(id_);
    if (local.address != kAnyAddress && local.address != h.address &&
        local.address != SubnetBroadcast(h) && local.address != kLimitedBroadcast) {
      return err::kAddrNotAvail;
    }
    if (local.port == 0) {
      // A free port: one no socket of the host uses at any address.
      bool found = false;
      for (uint32_t tries = 0; tries <= kLastEphemeral - kFirstEphemeral && !found; ++tries) {
        const uint16_t p = h.nextEphemeral;
        h.nextEphemeral = p == kLastEphemeral ? kFirstEphemeral : static_cast<uint16_t>(p + 1);
        bool used = false;
        for (const auto& [fd, o] : st_->sockets) {
          if (o.host == id_ && o.bound && o.local.port == p) used = true;
        }
        if (!used) {
          local.port = p;
          found = true;
        }
      }
      if (!found) return err::kAddrInUse;
    } else if (Conflicts(ss, local, ss.reuse)) {
      return err::kAddrInUse;
    }
    ss.bound = true;
    ss.local = local;
    ss.bindOrder = st_->nextBindOrder++;
    return 0;
  }

  std::shared_ptr<Hub::State> st_;
  int id_;
};

}  // namespace

Hub::Hub() : state_(std::make_shared<State>()) {}
Hub::~Hub() = default;

std::unique_ptr<Backend> Hub::AddHost(uint32_t address, std::string name, uint32_t mask) {
  if (address == kAnyAddress || address == kLimitedBroadcast) return nullptr;
  std::lock_guard<std::mutex> lock(state_->mu);
  for (const auto& [id, h] : state_->hosts) {
    if (h.address == address) return nullptr;
  }
  const int id = state_->nextHost++;
  HostInfo& h = state_->hosts[id];
  h.address = address;
  h.mask = mask;
  h.name = name.empty() ? "hub-" + FormatAddress(address) : std::move(name);
  return std::make_unique<HubHost>(state_, id);
}

void Hub::SetFaults(uint64_t seed, const Faults& faults) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->rng = Rng(seed);
  state_->rule = StandardRule(faults);
}

void Hub::SetRule(Rule rule) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->rule = std::move(rule);
}

uint64_t Hub::Now() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->now;
}

std::size_t Hub::Advance(uint64_t ms) {
  std::unique_lock<std::mutex> lock(state_->mu);
  State& st = *state_;
  st.now += ms;
  std::size_t handled = 0;
  std::vector<Socket> ready;
  while (!st.pending.empty() && st.pending.begin()->first.first <= st.now) {
    const Copy c = std::move(st.pending.begin()->second);
    st.pending.erase(st.pending.begin());
    st.Arrive(c, &ready);
    ++handled;
  }
  st.Notify(ready, lock);
  return handled;
}

std::size_t Hub::InFlight() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->pending.size();
}

void Hub::Inject(Endpoint from, Endpoint to, const std::vector<uint8_t>& bytes) {
  std::unique_lock<std::mutex> lock(state_->mu);
  std::vector<Socket> ready;
  const bool bcast = to.address == kLimitedBroadcast ||
                     std::any_of(state_->hosts.begin(), state_->hosts.end(),
                                 [&](const auto& h) { return to.address == SubnetBroadcast(h.second); });
  const std::size_t len = std::min(bytes.size(), kMaxDatagram);
  state_->Transmit(from, to, std::make_shared<const std::vector<uint8_t>>(bytes.begin(), bytes.begin() + len),
                   bcast, false, &ready);
  state_->Notify(ready, lock);
}

void Hub::SetReadyHook(std::function<void(Socket)> hook) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->readyHook = std::move(hook);
}

void Hub::SetQueueLimit(std::size_t datagrams) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->queueLimit = datagrams;
}

std::size_t Hub::QueueLimit() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->queueLimit;
}

std::vector<Record> Hub::Records() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->records;
}

void Hub::ClearRecords() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->records.clear();
}

void Hub::SetRecording(bool on) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->recording = on;
}

}  // namespace net
