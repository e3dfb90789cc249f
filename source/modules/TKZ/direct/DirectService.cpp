// The direct-connect IO_KRN service: client records, transaction slots in
// one shared buffer, the scheduler of periodic transactions and the turning
// of reply records into IO_KRN events.
#include "DirectService.h"

#include <algorithm>
#include <cstring>

#include "DirectSerial.h"
#include "IoKrnProtocol.h"
#include "MsClock.h"
#include "RcCodes.h"

namespace {

constexpr uint8_t kSvrIndx = 1;
constexpr uint8_t kHostHandle = 1;
constexpr uint8_t kIdStart = 8;
constexpr uint8_t kIdReport = 9;
constexpr uint8_t kIdIndex = 10;
constexpr uint8_t kUnsolicited = IO_KRN_INDEX_UNSOLICITED;

// Offsets of the request fields (from the start of the request).
constexpr uint16_t kHdr = sizeof(IpcComProcHdr);
static_assert(kHdr == 16, "IpcComProcHdr is 16 bytes");

struct Service {
  bool initialised = false;
  DirectLinkClient clients[kDirectClients];
  DirectLinkSlot slots[kDirectSlots];
  uint8_t buffer[kDirectSlotBuffer] = {};
  uint16_t fill = 0;
  uint32_t refused = 0;
};
Service g_svc;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// The request's bytes when it holds at least `need` of them, else null (and
// counted).  The length is the header's own, which the library has bounded.
const uint8_t* Fields(const IpcComProcHdr* request, uint16_t need) {
  if (request == nullptr || request->length < need || request->length > IPC_MAX_MSG_LEN) {
    ++g_svc.refused;
    return nullptr;
  }
  return reinterpret_cast<const uint8_t*>(request);
}

DirectLinkClient* ClientAt(uint8_t record) {
  if (record >= kDirectClients) {
    ++g_svc.refused;
    return nullptr;
  }
  return &g_svc.clients[record];
}

void ClearClient(DirectLinkClient& c) {
  const uint8_t index = c.index;
  c = DirectLinkClient{};
  c.index = index;
}

void ClearSlot(DirectLinkSlot& s) {
  const uint8_t number = s.number;
  const uint8_t sentClient = s.sentClient;
  const uint8_t sentMode = s.sentMode;
  s = DirectLinkSlot{};
  s.number = number;
  s.track.replyMode = DIRECT_MODE_DATA;
  s.track.lastReportedLength = 0xFF;
  s.sentClient = sentClient;
  s.sentMode = sentMode;
}

DirectLinkSlotTrack* TrackOf(uint8_t number) {
  return number < kDirectSlots ? &g_svc.slots[number].track : nullptr;
}

// Sends the event built in `e` to a client record.
void RaiseTo(uint8_t* e, uint16_t code, uint8_t id, const DirectLinkClient& to) {
  IpcEvntHdr h{};
  h.length = kDirectEventSize;
  h.evntCode = code;
  h.svrType = IPC_SVR_IO_KRN;
  h.svrIndx = kSvrIndx;
  h.evntId = id;
  h.hostHandle = kHostHandle;
  std::memcpy(e, &h, sizeof h);
  IpcEvntSelectedSend(reinterpret_cast<IpcEvntHdr*>(e), to.node, to.eventHandle);
}

// A refused registration: an unsolicited reply of L 3 with the code.
void QueueRefusal(uint8_t record, uint16_t address, uint8_t code) {
  DirectLinkQueueReply(DIRECT_KIND_NOTICE, record, address, 3, kDirectErrorAtype, code, nullptr);
}

// Frees the slots in use of `record` registered under `key`.
void FreeByKey(uint8_t record, uint16_t key) {
  for (DirectLinkSlot& s : g_svc.slots) {
    if (s.state != DIRECT_SLOT_FREE && s.key == key && s.client == record) DirectLinkFreeSlot(&s);
  }
}

void Scheduler() {
  if (DirectLinkReplyCount() != 0) return;
  for (DirectLinkSlot& s : g_svc.slots) {
    if (s.state != DIRECT_SLOT_ARMED) continue;
    const DirectLinkChannel* ch = DirectLinkGetChannel(s.channel);
    if (ch == nullptr || ch->state != DIRECT_IDLE || ch->queued != 0) continue;
    if (DirectLinkReplyCount() != 0) return;
    if (MsClockSince(&s.track.intervalStart) <= s.track.interval) continue;
    DirectLinkQueueSlot(&s);
    if (s.track.interval == 0)
      DirectLinkFreeSlot(&s);
    else
      MsClockGet(&s.track.intervalStart);
  }
}

}  // namespace

void DirectLinkStart() {
  if (g_svc.initialised) return;
  DirectLinkReset();
  static const IpcComProcEntry procs[] = {
      {IO_KRN_OPEN_PORT, 0, &DirectLinkOpenPort}, {IO_KRN_WRITE, 0, &DirectLinkRawWrite},
      {IO_KRN_SEND, 0, &DirectLinkBeginRequest}, {IO_KRN_APPEND, 0, &DirectLinkAppend},
      {IO_KRN_ADD_POLL, 0, &DirectLinkAddPoll},  {IO_KRN_DELETE_POLL, 0, &DirectLinkDeletePoll}};
  static const uint8_t events[] = {7, kIdStart, kIdReport, kIdIndex};
  IpcSvrAndSvcCreate(IPC_SVR_IO_KRN, kSvrIndx, "1.0a", "1.1", 10, procs, 6, events, 4);
  IpcSvrLocationSet(IPC_SVR_IO_KRN, kSvrIndx, IPC_HOST_KIND_LOCAL, kHostHandle, 0, 0, 0, 0, 0);
  for (uint8_t i = 0; i < kDirectAddresses; ++i) DirectLinkAddressReset(i, 0);
  for (uint8_t i = 0; i < kDirectClients; ++i) {
    g_svc.clients[i] = DirectLinkClient{};
    g_svc.clients[i].index = i;
  }
  for (uint8_t i = 0; i < kDirectSlots; ++i) {
    g_svc.slots[i] = DirectLinkSlot{};
    g_svc.slots[i].number = i;
    ClearSlot(g_svc.slots[i]);
  }
  std::memset(g_svc.buffer, 0, sizeof g_svc.buffer);
  g_svc.fill = 0;
  g_svc.refused = 0;
  DirectLinkSetSlotLookup(&TrackOf);
  g_svc.initialised = true;
}

void DirectLinkServiceReset() {
  g_svc.initialised = false;
  DirectLinkSetSlotLookup(nullptr);
}

void DirectLinkTick() {
  if (!g_svc.initialised) return;
  DirectLinkStepAll();
  DirectLinkPump();
  Scheduler();
}

uint8_t DirectLinkFindClient(uint8_t node, uint8_t eventHandle, uint8_t channel) {
  for (const DirectLinkClient& c : g_svc.clients) {
    if (c.node == node && c.eventHandle == eventHandle && c.channel == channel) return c.index;
  }
  for (DirectLinkClient& c : g_svc.clients) {
    if (c.eventHandle == 0) {
      c.node = node;
      c.eventHandle = eventHandle;
      c.channel = channel;
      return c.index;
    }
  }
  return 0;
}

int DirectLinkOpenPort(const IpcComProcHdr* request) {
  const uint8_t* r = Fields(request, 26);
  if (r == nullptr) return 0;
  const uint8_t port = r[22];
  if (port < 1 || port > kDirectChannels) {
    ++g_svc.refused;
    return 0;
  }
  const auto c = static_cast<uint8_t>(port - 1);
  const uint8_t node = IpcNetNodeAddrExists(Get32(r + 16));
  if (node == IPC_NO_NET_NODE) {
    ++g_svc.refused;
    return 0;
  }
  const uint8_t handle = r[20];
  const uint8_t sub = r[21];
  switch (sub) {
    case 0: {
      DirectLinkChannelClose(c);
      ClearClient(g_svc.clients[DirectLinkFindClient(node, handle, c)]);
      return 0;
    }
    case 1:
    case 3: {
      const uint8_t k = DirectLinkFindClient(node, handle, c);
      DirectLinkChannelOpen(c, r[23], sub == 3);
      DirectLinkGetChannel(c)->requestIndex = k;
      uint8_t e[kDirectEventSize] = {};
      e[18] = k;
      Put16(e + 22, Get16(r + 24));
      RaiseTo(e, IO_KRN_EVNT_INDEX, kIdIndex, g_svc.clients[k]);
      return 0;
    }
    case 2:
      DirectLinkChannelSetSpeed(c, r[23]);
      return 0;
    default:
      return 0;
  }
}

int DirectLinkRawWrite(const IpcComProcHdr* request) {
  const uint8_t* r = Fields(request, 18);
  if (r == nullptr) return 0;
  const uint8_t n = r[16];
  const DirectLinkClient* k = ClientAt(r[17]);
  if (k == nullptr) return 0;
  if (kHdr + 2 + n > request->length) {
    ++g_svc.refused;
    return 0;
  }
  // Outside the channel's exchange: RTS is dropped again after the write,
  // and a request being sent or answered keeps its state and time-out.
  DirectLinkRawTransmit(k->channel, n, r + 18);
  return 0;
}

int DirectLinkBeginRequest(const IpcComProcHdr* request) {
  const uint8_t* r = Fields(request, 23);
  if (r == nullptr) return 0;
  DirectLinkClient* k = ClientAt(r[16]);
  if (k == nullptr) return 0;
  const uint16_t length = Get16(r + 18);
  k->address = Get16(r + 20);
  if (length >= 3) {
    k->atype = r[17];
    k->second = r[22];
    k->requestLength = length;
    k->expected = static_cast<uint16_t>(length - 3);
  } else {
    k->requestLength = 0;
    k->expected = 0;
  }
  k->loading = 0;
  k->received = 0;
  k->assembling = true;
  if (k->requestLength == 0) DirectLinkQueueRequest(k->index);
  return 0;
}

int DirectLinkAppend(const IpcComProcHdr* request) {
  const uint8_t* r = Fields(request, 18);
  if (r == nullptr) return 0;
  DirectLinkClient* k = ClientAt(r[17]);
  if (k == nullptr) return 0;
  const uint16_t n = r[16];
  // The bytes the request really holds (a polling command's count runs 3
  // past its bytes).
  const auto held = static_cast<uint16_t>(std::min<int>(n, request->length - (kHdr + 2)));
  const uint8_t* bytes = r + 18;
  if (k->loading != 0) {
    DirectLinkSlot& s = g_svc.slots[k->loadingSlot];
    const auto room = static_cast<uint16_t>(s.size - std::min(s.loaded, s.size));
    const uint16_t take = std::min(held, room);
    std::memcpy(g_svc.buffer + s.offset + s.loaded, bytes, take);
    s.loaded = static_cast<uint16_t>(std::min<int>(s.loaded + n, s.size));
    if (s.loaded >= s.size) {
      k->loading = 0;
      s.state = DIRECT_SLOT_ARMED;
      MsClockGet(&s.track.intervalStart);
      DirectLinkQueueReply(DIRECT_KIND_NOTICE, s.client, s.address, 0, 0, 0, nullptr);
    }
    return 0;
  }
  if (!k->assembling) {
    ++g_svc.refused;
    return 0;
  }
  const auto room = static_cast<uint16_t>(kDirectClientData - std::min(k->received, kDirectClientData));
  const uint16_t take = std::min(held, room);
  if (take < n) ++g_svc.refused;
  std::memcpy(k->data + k->received, bytes, take);
  k->received = static_cast<uint16_t>(k->received + take);
  if (k->received >= k->expected) DirectLinkQueueRequest(k->index);
  return 0;
}

int DirectLinkAddPoll(const IpcComProcHdr* request) {
  const uint8_t* r = Fields(request, 31);
  if (r == nullptr) return 0;
  const uint8_t record = r[26];
  DirectLinkClient* k = ClientAt(record);
  if (k == nullptr) return 0;
  const uint16_t key = Get16(r + 20);
  const uint16_t address = Get16(r + 22);
  const uint16_t length = Get16(r + 24);
  FreeByKey(record, key);
  DirectLinkSlot* s = nullptr;
  for (DirectLinkSlot& candidate : g_svc.slots) {
    if (candidate.state == DIRECT_SLOT_FREE) {
      s = &candidate;
      break;
    }
  }
  if (s == nullptr) {
    QueueRefusal(record, address, IO_KRN_NO_SLOTS);
    return 0;
  }
  const uint16_t size = length == 0 ? 0 : static_cast<uint16_t>(length >= 2 ? length - 2 : 0);
  if (g_svc.fill + size > kDirectSlotBuffer || length > kDirectRequestMaxL) {
    // The slot is not taken: it would hold no region of its own.
    QueueRefusal(record, address, IO_KRN_BUFFER_OVERFLOW);
    return 0;
  }
  ClearSlot(*s);
  s->state = DIRECT_SLOT_LOADING;
  s->address = address;
  s->track.interval = Get32(r + 16);
  s->key = key;
  s->channel = k->channel;
  const uint8_t mode = r[30];
  s->track.replyMode = mode == 0 ? DIRECT_MODE_DATA : mode == 2 ? DIRECT_MODE_CHANGE : DIRECT_MODE_ALL;
  s->client = record;
  if (length != 0) {
    s->atype = r[27];
    s->second = r[28];
    s->length = length;
  }
  s->size = size;
  s->offset = g_svc.fill;
  s->loaded = 0;
  g_svc.fill = static_cast<uint16_t>(g_svc.fill + size);
  k->loading = 1;
  k->loadingSlot = s->number;
  return 0;
}

int DirectLinkDeletePoll(const IpcComProcHdr* request) {
  const uint8_t* r = Fields(request, 27);
  if (r == nullptr) return 0;
  if (ClientAt(r[26]) == nullptr) return 0;
  FreeByKey(r[26], Get16(r + 20));
  return 0;
}

void DirectLinkFreeSlot(DirectLinkSlot* slot) {
  if (slot == nullptr) return;
  const uint16_t end = static_cast<uint16_t>(slot->offset + slot->size);
  if (slot->state != DIRECT_SLOT_FREE && slot->size != 0 && end <= kDirectSlotBuffer) {
    std::memmove(g_svc.buffer + slot->offset, g_svc.buffer + end, kDirectSlotBuffer - end);
    std::memset(g_svc.buffer + kDirectSlotBuffer - slot->size, 0, slot->size);
    for (DirectLinkSlot& s : g_svc.slots) {
      if (&s != slot && s.state != DIRECT_SLOT_FREE && s.offset > slot->offset)
        s.offset = static_cast<uint16_t>(s.offset - slot->size);
    }
    g_svc.fill = g_svc.fill > slot->size ? static_cast<uint16_t>(g_svc.fill - slot->size) : 0;
  }
  // A client still loading this slot loads nothing any more.
  for (DirectLinkClient& c : g_svc.clients) {
    if (c.loading != 0 && c.loadingSlot == slot->number) c.loading = 0;
  }
  ClearSlot(*slot);
}

void DirectLinkQueueRequest(uint8_t record) {
  DirectLinkClient* k = ClientAt(record);
  if (k == nullptr) return;
  k->assembling = false;
  const uint16_t length = k->requestLength;
  if (length >= 3 && length - 3 > kDirectClientData) {
    ++g_svc.refused;
    return;
  }
  if (!DirectLinkQueueEntry(k->channel, DIRECT_KIND_CLIENT, record, k->address, length, k->atype,
                            k->second, k->data))
    ++g_svc.refused;
}

void DirectLinkQueueSlot(DirectLinkSlot* slot) {
  if (slot == nullptr) return;
  slot->sentClient = slot->client;
  slot->sentMode = slot->track.replyMode;
  if (!DirectLinkQueueEntry(slot->channel, DIRECT_KIND_SLOT, slot->number, slot->address,
                            slot->length, slot->atype, slot->second, g_svc.buffer + slot->offset))
    ++g_svc.refused;
}

void DirectLinkPump() {
  for (uint8_t c = 0; c < kComPorts; ++c) {
    const DirectLinkChannel* ch = DirectLinkGetChannel(c);
    if (ch != nullptr && ch->state != DIRECT_CLOSED) ComPoll(c);
  }
  if (DirectLinkReplyCount() == 0) return;
  static DirectLinkReply reply;
  if (!DirectLinkTakeReply(&reply)) return;  // the ring was emptied
  uint8_t target = 0;
  uint8_t index = 0;
  switch (reply.kind) {
    case DIRECT_KIND_SLOT: {
      if (reply.index >= kDirectSlots) return;
      const DirectLinkSlot& s = g_svc.slots[reply.index];
      target = s.sentClient;
      index = static_cast<uint8_t>(target | kUnsolicited);
      if (s.sentMode == DIRECT_MODE_DATA && reply.length < 3) return;
      break;
    }
    case DIRECT_KIND_NOTICE:
      target = reply.index;
      index = static_cast<uint8_t>(reply.index | kUnsolicited);
      break;
    default:  // DIRECT_KIND_CLIENT
      target = reply.index;
      index = reply.index;
      break;
  }
  if (target >= kDirectClients) return;
  const DirectLinkClient& to = g_svc.clients[target];
  uint8_t e[kDirectEventSize] = {};
  e[18] = index;
  Put16(e + 20, reply.length);
  Put16(e + 22, reply.address);
  if (reply.length >= 3) {
    e[19] = reply.atype;
    Put16(e + 24, reply.rc);
  }
  RaiseTo(e, IO_KRN_EVNT_START, kIdStart, to);
  // A record below L 3 carries no bytes: only L 3 and more have data.
  const uint16_t dataLength = reply.dataLength;
  for (uint16_t at = 0; at < dataLength; at = static_cast<uint16_t>(at + kDirectReportData)) {
    const auto n = static_cast<uint8_t>(std::min<int>(kDirectReportData, dataLength - at));
    std::memset(e + sizeof(IpcEvntHdr), 0, kDirectEventSize - sizeof(IpcEvntHdr));
    e[18] = index;
    e[19] = n;
    std::memcpy(e + 20, reply.data + at, n);
    RaiseTo(e, IO_KRN_EVNT_REPORT, kIdReport, to);
  }
}

DirectLinkClient* DirectLinkGetClient(uint8_t record) {
  return record < kDirectClients ? &g_svc.clients[record] : nullptr;
}
DirectLinkSlot* DirectLinkGetSlot(uint8_t number) {
  return number < kDirectSlots ? &g_svc.slots[number] : nullptr;
}
uint16_t DirectLinkSlotFill() { return g_svc.fill; }
const uint8_t* DirectLinkSlotBytes() { return g_svc.buffer; }
uint32_t DirectLinkRefusedRequests() { return g_svc.refused; }
