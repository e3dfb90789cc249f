#include "DirectLink.h"

#include <algorithm>
#include <cstring>

#include "Crc16.h"
#include "DirectSerial.h"
#include "DisplayFlags.h"
#include "MsClock.h"
#include "RcCodes.h"

namespace {

struct LinkState {
  DirectLinkChannel channels[kDirectChannels];
  DirectLinkAddress addresses[kDirectAddresses];
  ByteRing txRings[kDirectChannels];
  ByteRing replyRing;
  uint16_t replyCount = 0;
  uint32_t droppedReplies = 0;
  DirectLinkSlotLookup slotLookup = nullptr;
};

LinkState g_link;

// The smallest reply record: an error reply.
constexpr uint16_t kErrorReplySize = 9;

uint32_t Now() {
  uint32_t now;
  MsClockGet(&now);
  return now;
}

bool HasPort(uint8_t c) { return c < kDirectPortlessChannel; }

DirectLinkSlotTrack* SlotTrack(const DirectLinkChannel& ch) {
  if (ch.requestKind != DIRECT_KIND_SLOT || g_link.slotLookup == nullptr) return nullptr;
  return g_link.slotLookup(ch.requestIndex);
}

bool OnChange(const DirectLinkChannel& ch) {
  const DirectLinkSlotTrack* t = SlotTrack(ch);
  return t != nullptr && t->replyMode == DIRECT_MODE_CHANGE;
}

DirectLinkAddress& Entry(const DirectLinkChannel& ch) {
  return g_link.addresses[ch.addressIndex < kDirectAddresses ? ch.addressIndex : 0];
}

// Record size of a reply record with length field L.
uint16_t RecordSize(uint16_t length) {
  return static_cast<uint16_t>(6 + (length >= 3 ? length : 0));
}

// Writes a record into a ring that has RecordSize(length) bytes free: the
// six head bytes (kind, index, address and length little-endian, address
// type, the request's second byte or a reply's code), the pad byte and the
// data beyond the first three bytes of the length.
void PutRecord(ByteRing* ring, uint8_t kind, uint8_t index, uint16_t address, uint16_t length,
               uint8_t atype, uint8_t second, const uint8_t* data) {
  const uint8_t head[9] = {kind,
                           index,
                           static_cast<uint8_t>(address),
                           static_cast<uint8_t>(address >> 8),
                           static_cast<uint8_t>(length),
                           static_cast<uint8_t>(length >> 8),
                           atype,
                           second,
                           0};
  RingPutN(ring, head, length >= 3 ? 9 : 6);
  if (length > 3) RingPutN(ring, data, static_cast<uint16_t>(length - 3));
}

void Resend(DirectLinkChannel& ch) {
  ch.state = DIRECT_TRANSMITTING;
  if (ch.lastSent == DIRECT_SENT_SYNC)
    DirectLinkSendSync(ch.number, ch.destination);
  else
    DirectLinkTransmit(ch.number, ch.frameSize, ch.frameBuffer);
}

void GiveUp(DirectLinkChannel& ch, uint8_t code) {
  ch.state = DIRECT_IDLE;
  ch.lastSent = DIRECT_SENT_REQUEST;
  DirectLinkAddress& e = Entry(ch);
  e.linkState = 0;
  e.sequenceBit = 0;
  e.replyBit = 0;
  if (DirectLinkSlotTrack* t = SlotTrack(ch)) {
    if (t->interval != 0) t->intervalStart = Now();
    if (t->replyMode == DIRECT_MODE_CHANGE) {
      // One report per run of failures.
      if (t->lastReportedLength == 0) return;
      t->lastReportedLength = 0;
    }
  }
  DirectLinkErrorReply(ch.number, code);
}

// An entry that cannot be sent: it is refused with an error reply.
void RefuseEntry(DirectLinkChannel& ch, uint8_t code) {
  ch.state = DIRECT_IDLE;
  DirectLinkErrorReply(ch.number, code);
}

// The channel's transmit ring holds something that is not a whole entry:
// the ring is emptied.
void DropRemnant(DirectLinkChannel& ch) {
  RingInit(&g_link.txRings[ch.number]);
  ch.queued = 0;
}

void StartRequest(DirectLinkChannel& ch) {
  if (ch.queued == 0 || g_link.replyCount != 0) return;
  ByteRing* ring = &g_link.txRings[ch.number];
  --ch.queued;
  const uint16_t kind = RingGet(ring);
  if (kind != DIRECT_KIND_CLIENT && kind != DIRECT_KIND_SLOT && kind != DIRECT_KIND_NOTICE) {
    DropRemnant(ch);
    return;
  }
  ch.requestKind = static_cast<uint8_t>(kind);
  uint8_t head[5];
  const uint16_t got = RingGetN(ring, head, sizeof head);
  ch.requestIndex = got > 0 ? head[0] : 0;
  ch.destination = got >= 3 ? static_cast<uint16_t>(head[1] | head[2] << 8) : 0;
  if (got < sizeof head) {
    DropRemnant(ch);
    RefuseEntry(ch, IO_KRN_BUFFER_OVERFLOW);
    return;
  }
  const uint16_t length = static_cast<uint16_t>(head[3] | head[4] << 8);
  const uint16_t body = length >= 3 ? length : 0;
  if (RingCount(ring) < body) {
    DropRemnant(ch);
    RefuseEntry(ch, IO_KRN_BUFFER_OVERFLOW);
    return;
  }
  uint8_t bytes[kByteRingCapacity];
  RingGetN(ring, bytes, body);
  if (length > kDirectRequestMaxL) {
    // Longer than the frame buffer: refused, the entries behind it stay.
    RefuseEntry(ch, IO_KRN_BUFFER_OVERFLOW);
    return;
  }
  ch.requestLength = length;
  ch.addressIndex = DirectLinkAddressIndex(ch.destination);
  DirectLinkAddress& e = g_link.addresses[ch.addressIndex];
  const uint8_t control =
      ch.destination == kDirectBroadcast
          ? 0
          : static_cast<uint8_t>(kDirectRequestControl + e.replyBit + e.sequenceBit);
  uint8_t atype = 0, second = 0;
  if (body > 0) {
    atype = bytes[0];
    second = bytes[1];
  }
  ch.frameSize = static_cast<uint16_t>(DirectBuildFrame(ch.destination, control, length, atype,
                                                        second, bytes + 3, ch.frameBuffer,
                                                        sizeof ch.frameBuffer));
  ch.resends = 0;
  ch.state = DIRECT_TRANSMITTING;
  if (ch.destination != kDirectBroadcast && e.linkState != 2) {
    e.linkState = 1;
    ch.lastSent = DIRECT_SENT_SYNC;
    DirectLinkSendSync(ch.number, ch.destination);
  } else {
    ch.lastSent = DIRECT_SENT_REQUEST;
    DirectLinkTransmit(ch.number, ch.frameSize, ch.frameBuffer);
  }
}

void TimeoutStep(DirectLinkChannel& ch) {
  if (RingSpace(&g_link.replyRing) < kErrorReplySize) return;  // wait for room
  const uint8_t made = ch.resends++;
  if (made < kDirectMaxResends && !OnChange(ch))
    Resend(ch);
  else
    GiveUp(ch, IO_KRN_NO_RESPONSE);
}

}  // namespace

void DirectLinkSetSlotLookup(DirectLinkSlotLookup lookup) { g_link.slotLookup = lookup; }

void DirectLinkReset() {
  const DirectLinkSlotLookup lookup = g_link.slotLookup;
  for (uint8_t c = 0; c < kDirectChannels; ++c) {
    g_link.channels[c] = DirectLinkChannel{};
    g_link.channels[c].number = c;
    RingInit(&g_link.txRings[c]);
  }
  for (DirectLinkAddress& a : g_link.addresses) a = DirectLinkAddress{};
  RingInit(&g_link.replyRing);
  g_link.replyCount = 0;
  g_link.droppedReplies = 0;
  g_link.slotLookup = lookup;
}

void DirectLinkChannelOpen(uint8_t c, uint8_t speedCode, bool confirmBroadcasts) {
  DirectLinkChannel* ch = DirectLinkGetChannel(c);
  if (ch == nullptr) return;
  ch->confirmBroadcasts = confirmBroadcasts ? 1 : 0;
  if (ch->state != DIRECT_CLOSED) return;
  if (HasPort(c)) {
    ComOpen(c);
    ComSetBaud(c, speedCode);
    ComSetFormat(c, 1, 8, 1);
    bdAuxRegTX(DirectLinkTxDone, c);
    ComRtsOff(c);
  }
  ch->state = DIRECT_IDLE;
  ch->rxError = 0;
  ch->timeout = 0;
  ch->rxFactor = kDirectReceiveFactor;
  ch->resends = 0;
  // Entries left from before a close would otherwise be taken for the new
  // ones.
  ch->queued = 0;
  RingInit(&g_link.txRings[c]);
}

void DirectLinkChannelClose(uint8_t c) {
  DirectLinkChannel* ch = DirectLinkGetChannel(c);
  if (ch == nullptr) return;
  if (HasPort(c)) {
    bdAuxRegTXDefault(c);
    ComClose(c);
  }
  ch->state = DIRECT_CLOSED;
}

void DirectLinkChannelSetSpeed(uint8_t c, uint8_t speedCode) {
  if (!HasPort(c)) return;
  ComSetBaud(c, speedCode);
  ComSetFormat(c, 1, 8, 1);
}

DirectLinkChannel* DirectLinkGetChannel(uint8_t c) {
  return c < kDirectChannels ? &g_link.channels[c] : nullptr;
}

uint8_t DirectLinkAddressIndex(uint16_t address) {
  // Address 0 marks a free entry.
  for (uint8_t i = 0; i < kDirectAddresses; ++i)
    if (g_link.addresses[i].address != 0 && g_link.addresses[i].address == address) return i;
  for (uint8_t i = 0; i < kDirectAddresses; ++i)
    if (g_link.addresses[i].address == 0) {
      DirectLinkAddressReset(i, address);
      return i;
    }
  // Full: take an entry that no exchange in progress refers to.
  bool busy[kDirectAddresses] = {};
  for (const DirectLinkChannel& ch : g_link.channels)
    if (ch.state != DIRECT_CLOSED && ch.state != DIRECT_IDLE && ch.addressIndex < kDirectAddresses)
      busy[ch.addressIndex] = true;
  uint8_t pick = kDirectAddresses;
  for (uint8_t i = 0; i < kDirectAddresses && pick == kDirectAddresses; ++i)
    if (!busy[i] && g_link.addresses[i].linkState == 0) pick = i;
  for (uint8_t i = 0; i < kDirectAddresses && pick == kDirectAddresses; ++i)
    if (!busy[i]) pick = i;
  if (pick == kDirectAddresses) pick = 0;  // cannot happen: six channels, 32 entries
  DirectLinkAddressReset(pick, address);
  return pick;
}

void DirectLinkAddressReset(uint8_t index, uint16_t address) {
  if (index >= kDirectAddresses) return;
  DirectLinkAddress& a = g_link.addresses[index];
  a.address = address;
  a.linkState = 0;
  a.sequenceBit = 0;
  a.replyBit = 0;
}

DirectLinkAddress* DirectLinkGetAddress(uint8_t index) {
  return index < kDirectAddresses ? &g_link.addresses[index] : nullptr;
}

bool DirectLinkQueueEntry(uint8_t c, uint8_t kind, uint8_t index, uint16_t address,
                          uint16_t length, uint8_t atype, uint8_t second, const uint8_t* data) {
  DirectLinkChannel* ch = DirectLinkGetChannel(c);
  if (ch == nullptr || ch->queued == 0xFF || length > kDirectRequestMaxL) return false;
  ByteRing* ring = &g_link.txRings[c];
  const uint16_t size = RecordSize(length);
  if (RingSpace(ring) < size) return false;
  PutRecord(ring, kind, index, address, length, atype, second, data);
  ++ch->queued;
  return true;
}

ByteRing* DirectLinkTransmitRing(uint8_t c) {
  return c < kDirectChannels ? &g_link.txRings[c] : nullptr;
}

bool DirectLinkQueueReply(uint8_t kind, uint8_t index, uint16_t address, uint16_t length,
                          uint8_t atype, uint8_t rc, const uint8_t* data) {
  if (length > kDirectReplyMaxL || RingSpace(&g_link.replyRing) < RecordSize(length))
    return false;
  PutRecord(&g_link.replyRing, kind, index, address, length, atype, rc, data);
  ++g_link.replyCount;
  return true;
}

uint16_t DirectLinkReplyCount() { return g_link.replyCount; }

uint32_t DirectLinkDroppedReplies() { return g_link.droppedReplies; }

bool DirectLinkTakeReply(DirectLinkReply* out) {
  ByteRing* ring = &g_link.replyRing;
  if (g_link.replyCount == 0) return false;
  --g_link.replyCount;
  auto corrupt = [&] {
    RingInit(ring);
    g_link.replyCount = 0;
    return false;
  };
  uint8_t head[6];
  if (RingGetN(ring, head, sizeof head) != sizeof head) return corrupt();
  const uint8_t kind = head[0];
  if (kind != DIRECT_KIND_CLIENT && kind != DIRECT_KIND_SLOT && kind != DIRECT_KIND_NOTICE)
    return corrupt();
  const uint16_t length = static_cast<uint16_t>(head[4] | head[5] << 8);
  if (length > kDirectReplyMaxL) return corrupt();
  *out = DirectLinkReply{};
  out->kind = kind;
  out->index = head[1];
  out->address = static_cast<uint16_t>(head[2] | head[3] << 8);
  out->length = length;
  if (length >= 3) {
    uint8_t h[3];
    if (RingGetN(ring, h, 3) != 3) return corrupt();
    out->atype = h[0];
    out->rc = h[1];
    out->dataLength = static_cast<uint16_t>(length - 3);
    if (RingGetN(ring, out->data, out->dataLength) != out->dataLength) return corrupt();
  }
  return true;
}

void DirectLinkStep(uint8_t c) {
  DirectLinkChannel* chp = DirectLinkGetChannel(c);
  if (chp == nullptr) return;
  DirectLinkChannel& ch = *chp;
  if (ch.state >= DIRECT_RX_SYNC1 && ch.state <= DIRECT_RX_COMPLETE && HasPort(c)) ComPoll(c);
  switch (ch.state) {
    case DIRECT_RX_COMPLETE:
      // A reply waits on its channel until the reply ring has room for it.
      if (RingSpace(&g_link.replyRing) >=
          std::max(kErrorReplySize, RecordSize(ch.rxLength <= kDirectReplyMaxL ? ch.rxLength : 0)))
        DirectLinkFrameDone(c);
      break;
    case DIRECT_SYNCHRONISED: {
      DirectLinkAddressReset(ch.addressIndex, ch.destination);
      Entry(ch).linkState = 2;
      ch.lastSent = DIRECT_SENT_REQUEST;
      ch.resends = 0;
      ch.state = DIRECT_TRANSMITTING;
      ch.timeout = 0;
      DirectLinkTransmit(c, ch.frameSize, ch.frameBuffer);
      break;
    }
    case DIRECT_TIMED_OUT:
      TimeoutStep(ch);
      break;
    case DIRECT_IDLE:
      StartRequest(ch);
      break;
    default:
      if ((ch.state == DIRECT_TRANSMITTING ||
           (ch.state >= DIRECT_RX_SYNC1 && ch.state <= DIRECT_RX_CHECK2)) &&
          ch.timeout != 0 && MsClockSince(&ch.startTime) > ch.timeout) {
        if (ch.state == DIRECT_TRANSMITTING && HasPort(c)) ComRtsOff(c);
        ch.state = DIRECT_TIMED_OUT;
        ch.timeout = 0;
      }
      break;
  }
}

void DirectLinkStepAll() {
  for (uint8_t c = 0; c < kDirectChannels; ++c) DirectLinkStep(c);
}

void DirectLinkReceive(uint8_t byte, uint8_t c) {
  DirectLinkChannel* chp = DirectLinkGetChannel(c);
  if (chp == nullptr) return;
  DirectLinkChannel& ch = *chp;
  if (ch.state != DIRECT_RX_COMPLETE) {
    ch.sum1 = static_cast<uint8_t>(ch.sum1 + byte);
    ch.sum2 = static_cast<uint8_t>(ch.sum2 + ch.sum1);
  }
  switch (ch.state) {
    case DIRECT_RX_SYNC1:
      if (byte == kDirectSync1) ch.state = DIRECT_RX_SYNC2;
      break;
    case DIRECT_RX_SYNC2:
      // A repeated 0xAA may still be the one before 0x55.
      if (byte == kDirectSync1) break;
      ch.state = byte == kDirectSync2 ? DIRECT_RX_ADDR_LO : DIRECT_RX_SYNC1;
      // The sums of a frame start with its address; nothing of an earlier
      // frame is carried into this one.
      ch.sum1 = 0;
      ch.sum2 = 0;
      ch.rxError = 0;
      ch.rxLength = 0;
      ch.rxAtype = 0;
      ch.rxRc = 0;
      ch.rxStored = 0;
      break;
    case DIRECT_RX_ADDR_LO:
      ch.rxAddress = byte;
      ch.state = DIRECT_RX_ADDR_HI;
      break;
    case DIRECT_RX_ADDR_HI:
      ch.rxAddress = static_cast<uint16_t>(ch.rxAddress + byte * 256);
      if (ch.rxAddress != ch.destination) ch.rxError = IO_KRN_BAD_ADDRESS;
      ch.state = DIRECT_RX_CONTROL;
      break;
    case DIRECT_RX_CONTROL:
      ch.rxControl = byte;
      if ((byte & kDirectReplyBit) == 0) ch.rxError = IO_KRN_BAD_FRAME_CONTROL;
      ch.state = (byte & kDirectAckBit) != 0 ? DIRECT_RX_CHECK1 : DIRECT_RX_LEN_LO;
      break;
    case DIRECT_RX_LEN_LO:
      ch.rxLength = byte;
      ch.state = DIRECT_RX_LEN_HI;
      break;
    case DIRECT_RX_LEN_HI:
      ch.rxLength = static_cast<uint16_t>(ch.rxLength + byte * 256);
      ch.dataToCome = static_cast<uint16_t>(ch.rxLength - 3);
      if (ch.dataToCome > kDirectReplyMaxData) {
        // Above 515, or below 3 (the subtraction wraps): the frame is
        // skipped; one below 3 is never complete and ends by time-out.
        ch.rxError = IO_KRN_RESPONSE_TOO_LONG;
        ch.state = DIRECT_RX_SKIP;
      } else {
        ch.timeout = std::max<uint32_t>(
            kDirectReplyTimeout, uint32_t{ch.rxFactor} * (uint32_t{ch.rxLength} + 4) * 2);
        MsClockGet(&ch.startTime);
        ch.state = DIRECT_RX_ATYPE;
      }
      break;
    case DIRECT_RX_ATYPE:
      ch.rxAtype = byte;
      if (byte != kDirectReplyAtype) ch.rxError = IO_KRN_BAD_ATYPE;
      ch.state = DIRECT_RX_RC;
      break;
    case DIRECT_RX_RC:
      ch.rxRc = byte;
      ch.state = DIRECT_RX_THIRD;
      break;
    case DIRECT_RX_THIRD:
      ch.state = ch.dataToCome > 0 ? DIRECT_RX_DATA : DIRECT_RX_CHECK1;
      break;
    case DIRECT_RX_DATA:
      if (!ch.rxBufferReady || ch.rxStored >= sizeof ch.rxBuffer) {
        ch.rxError = IO_KRN_NO_BUFFER;
        ch.state = DIRECT_RX_SKIP;
        break;
      }
      ch.rxBuffer[ch.rxStored++] = byte;
      if (--ch.dataToCome == 0) ch.state = DIRECT_RX_CHECK1;
      break;
    case DIRECT_RX_SKIP:
      if (ch.dataToCome > 0) --ch.dataToCome;
      if (ch.dataToCome == 0) ch.state = DIRECT_RX_CHECK1;
      break;
    case DIRECT_RX_CHECK1:
      ch.state = DIRECT_RX_CHECK2;
      break;
    case DIRECT_RX_CHECK2:
      ch.state = DIRECT_RX_COMPLETE;
      ch.timeout = 0;
      if (g_bDirectConnectDebug.load()) DirectLinkDumpRx(c);
      break;
    default:
      break;  // not receiving: the byte is dropped
  }
}

void DirectLinkTxDone(uint8_t c) {
  DirectLinkChannel* chp = DirectLinkGetChannel(c);
  if (chp == nullptr || chp->state != DIRECT_TRANSMITTING) return;
  DirectLinkChannel& ch = *chp;
  if (HasPort(c)) ComRtsOff(c);
  if (ch.destination == kDirectBroadcast) {
    if (ch.confirmBroadcasts != 0 &&
        !DirectLinkQueueReply(ch.requestKind, ch.requestIndex, ch.destination, 3,
                              kDirectErrorAtype, 0, nullptr))
      ++g_link.droppedReplies;
    ch.state = DIRECT_IDLE;
    return;
  }
  if (ch.lastSent == DIRECT_SENT_REQUEST) {
    DirectLinkAddress& e = Entry(ch);
    e.sequenceBit = static_cast<uint8_t>(e.sequenceBit ^ 1);
  }
  ch.state = DIRECT_RX_SYNC1;
  ch.timeout = ch.resends >= kDirectMaxResends ? kDirectLastReplyTimeout : kDirectReplyTimeout;
  MsClockGet(&ch.startTime);
  ch.rxBufferReady = true;
  ch.rxStored = 0;
}

void DirectLinkTransmit(uint8_t c, uint16_t length, const uint8_t* bytes) {
  DirectLinkChannel* ch = DirectLinkGetChannel(c);
  if (ch == nullptr) return;
  ch->timeout = kDirectTransmitTimeout;
  if (HasPort(c)) {
    ComRtsOn(c);
    ComWrite(c, length, bytes);  // the transmit-done hook runs before it returns
  }
  MsClockGet(&ch->startTime);
}

void DirectLinkRawTransmit(uint8_t c, uint16_t length, const uint8_t* bytes) {
  if (!HasPort(c)) return;
  ComRtsOn(c);
  ComWrite(c, length, bytes);
  ComRtsOff(c);
}

void DirectLinkFrameDone(uint8_t c) {
  DirectLinkChannel* chp = DirectLinkGetChannel(c);
  if (chp == nullptr) return;
  DirectLinkChannel& ch = *chp;
  ch.state = DIRECT_IDLE;
  const bool good = ch.sum1 == 0 && ch.sum2 == 0 && ch.rxError == 0;
  if (good && ch.lastSent == DIRECT_SENT_SYNC) {
    ch.state = DIRECT_SYNCHRONISED;
    return;
  }
  if (good) {
    Entry(ch).replyBit = (ch.rxControl & 0x01) != 0 ? 0 : 2;
    // An acknowledgement carries no length: it is a reply of L 0.
    uint16_t length = ch.rxLength;
    if (length >= 3 && length - 3 > ch.rxStored) length = static_cast<uint16_t>(3 + ch.rxStored);
    if (DirectLinkSlotTrack* t = SlotTrack(ch); t != nullptr && t->replyMode == DIRECT_MODE_CHANGE) {
      const uint8_t head[2] = {ch.rxAtype, ch.rxRc};
      uint16_t crc = Crc16(head, 2, 0xFFFF);
      if (length > 3) crc = Crc16(ch.rxBuffer, static_cast<int16_t>(length - 3), crc);
      if (t->lastReportedLength == length && t->lastCrc == crc) return;  // unchanged
      t->lastCrc = crc;
      t->lastReportedLength = static_cast<uint8_t>(length);
    }
    if (!DirectLinkQueueReply(ch.requestKind, ch.requestIndex, ch.rxAddress, length, ch.rxAtype,
                              ch.rxRc, ch.rxBuffer))
      ++g_link.droppedReplies;
    return;
  }
  const uint8_t made = ch.resends++;
  if (made < kDirectMaxResends) {
    ch.rxError = 0;
    Resend(ch);
  } else {
    GiveUp(ch, static_cast<uint8_t>(ch.rxError != 0 ? ch.rxError : IO_KRN_CRC_ERROR));
  }
}

void DirectLinkSendSync(uint8_t c, uint16_t address) {
  uint8_t frame[kDirectShortFrameSize];
  DirectBuildShortFrame(address, kDirectSyncControl, frame);
  DirectLinkTransmit(c, sizeof frame, frame);
}

void DirectLinkErrorReply(uint8_t c, uint8_t code) {
  DirectLinkChannel* ch = DirectLinkGetChannel(c);
  if (ch == nullptr) return;
  if (!DirectLinkQueueReply(ch->requestKind, ch->requestIndex, ch->destination, 3,
                            kDirectErrorAtype, code, nullptr))
    ++g_link.droppedReplies;
}
