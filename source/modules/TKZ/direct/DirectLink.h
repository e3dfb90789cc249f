// The direct-connect link: six channels that each run one request-and-reply
// exchange at a time with the racks on an RS-485 line.  A channel takes a
// request entry from its transmit ring, frames it, synchronises first with
// an address it has not yet reached (or that failed), transmits with the
// line driver switched on around the write, receives and checks the
// rack's reply frame, puts a reply record in the reply ring, and resends
// twice before it gives up with a link error code.
//
// Channel c below 5 uses serial port c (DirectSerial.h): channels 2, 3 and
// 4 are COM1, COM2 and COM3.  Channel 5 has no port: what it transmits goes
// nowhere and its requests end by time-out.
//
// The service layer on top (the direct-connect IO_KRN server) opens and
// closes channels, queues request entries, steps every channel on its tick
// and turns reply records into events.  Time is the millisecond clock
// (MsClock.h), which the comm thread sets before each tick.
//
// All state is static (channels, address table, rings) and belongs to this
// module; the accessors hand out pointers into it, valid for the process.
// Comm thread only; no lock is taken.
#ifndef TKZ_DIRECT_LINK_H
#define TKZ_DIRECT_LINK_H

#include <cstdint>

#include "ByteRing.h"
#include "DirectFrame.h"

inline constexpr uint8_t kDirectChannels = 6;
inline constexpr uint8_t kDirectPortlessChannel = 5;
inline constexpr uint8_t kDirectAddresses = 32;

// Kinds of request entries and reply records: a client's request, a
// transaction slot's request, and a service notice (registration notices
// and refusals; also accepted as a request kind).
inline constexpr uint8_t DIRECT_KIND_CLIENT = 0x69;
inline constexpr uint8_t DIRECT_KIND_SLOT = 0x42;
inline constexpr uint8_t DIRECT_KIND_NOTICE = 0x43;

// Reply modes of a transaction slot.
inline constexpr uint8_t DIRECT_MODE_DATA = 5;
inline constexpr uint8_t DIRECT_MODE_ALL = 6;
inline constexpr uint8_t DIRECT_MODE_CHANGE = 7;

// Atype of the error replies the link makes.
inline constexpr uint8_t kDirectErrorAtype = 0x23;

// Channel states.
enum : uint8_t {
  DIRECT_CLOSED = 0,
  DIRECT_SYNCHRONISED = 2,  // the destination answered; the request goes next tick
  DIRECT_TIMED_OUT = 8,
  DIRECT_TRANSMITTING = 9,  // waiting for the transmit-done hook
  DIRECT_IDLE = 10,
  DIRECT_RX_SYNC1 = 11,  // receiving: wait for 0xAA
  DIRECT_RX_SYNC2 = 12,
  DIRECT_RX_ADDR_LO = 13,
  DIRECT_RX_ADDR_HI = 14,
  DIRECT_RX_CONTROL = 15,
  DIRECT_RX_LEN_LO = 16,
  DIRECT_RX_LEN_HI = 17,
  DIRECT_RX_ATYPE = 18,
  DIRECT_RX_RC = 19,
  DIRECT_RX_THIRD = 20,
  DIRECT_RX_DATA = 21,
  DIRECT_RX_SKIP = 22,  // skipping the data of a faulty frame
  DIRECT_RX_CHECK1 = 23,
  DIRECT_RX_CHECK2 = 24,
  DIRECT_RX_COMPLETE = 25,  // frame complete, waiting for the tick
};

// What the channel sent last.
inline constexpr uint8_t DIRECT_SENT_SYNC = 1;
inline constexpr uint8_t DIRECT_SENT_REQUEST = 3;

// Milliseconds.
inline constexpr uint32_t kDirectTransmitTimeout = 2000;
inline constexpr uint32_t kDirectReplyTimeout = 1000;
inline constexpr uint32_t kDirectLastReplyTimeout = 5000;  // once 2 resends were made
inline constexpr uint16_t kDirectReceiveFactor = 10;
// Transmissions of one request: the first and two resends.
inline constexpr uint8_t kDirectMaxResends = 2;

struct DirectLinkChannel {
  uint16_t rxAddress = 0;  // of the frame being received
  uint8_t rxControl = 0;
  uint16_t rxLength = 0;  // its L
  uint8_t rxAtype = 0;
  uint8_t rxRc = 0;  // the rack's result code
  bool rxBufferReady = false;  // a receive buffer is given (set by the transmit-done hook)
  uint16_t rxStored = 0;       // data bytes stored in rxBuffer
  uint8_t sum1 = 0;
  uint8_t sum2 = 0;
  uint16_t dataToCome = 0;
  uint16_t rxError = 0;  // 0 or the link error code of the last fault in the frame
  uint16_t requestLength = 0;  // L of the request being sent
  uint16_t destination = 0;    // kDirectBroadcast = broadcast
  uint8_t resends = 0;
  uint8_t state = DIRECT_CLOSED;
  uint8_t number = 0;  // 0 to 5
  uint8_t lastSent = DIRECT_SENT_REQUEST;
  uint32_t timeout = 0;  // ms; 0 = none running
  uint32_t startTime = 0;
  uint16_t rxFactor = 0;  // half the ms allowed per received byte
  uint8_t addressIndex = 0;
  uint8_t requestKind = 0;
  uint8_t requestIndex = 0;  // client record or transaction slot
  uint8_t queued = 0;        // request entries waiting in the transmit ring
  uint8_t confirmBroadcasts = 0;
  uint16_t frameSize = 0;  // bytes of the request frame in frameBuffer
  uint8_t frameBuffer[kDirectFrameMax] = {};
  uint8_t rxBuffer[kDirectReplyMaxData + 1] = {};
};

struct DirectLinkAddress {
  uint8_t linkState = 0;  // 0 not synchronised, 1 synchronisation sent, 2 synchronised
  uint16_t address = 0;     // 0 = free entry
  uint8_t sequenceBit = 0;  // 0 or 1
  uint8_t replyBit = 0;     // 0 or 2
};

// What the link reads and writes of a transaction slot.  The service layer
// owns its slots and hands these out through the lookup below.
struct DirectLinkSlotTrack {
  uint8_t replyMode = DIRECT_MODE_ALL;
  uint8_t lastReportedLength = 0xFF;  // low byte of L last passed on; 0 once a failure was
  uint16_t lastCrc = 0;
  uint32_t interval = 0;  // ms; 0 = send once
  uint32_t intervalStart = 0;
};
// The track of slot `slot`, or null when there is none.
using DirectLinkSlotLookup = DirectLinkSlotTrack* (*)(uint8_t slot);
void DirectLinkSetSlotLookup(DirectLinkSlotLookup lookup);

// ---- set-up and channels ----
// Clears the channels (channel c: number c, closed, last sent request, an
// empty transmit ring), the address table and the reply ring.  Ports and
// the slot lookup are not touched.
void DirectLinkReset();
// Opens channel c when it is closed: its port (c below 5) at the speed code
// with eight data bits, no parity and one stop bit, the transmit-done hook,
// RTS low; then idle with an empty transmit ring.  An open channel keeps
// its state and settings.  confirmBroadcasts is set either way.
void DirectLinkChannelOpen(uint8_t c, uint8_t speedCode, bool confirmBroadcasts);
// Removes the hook, closes the port (c below 5); the channel is closed.
void DirectLinkChannelClose(uint8_t c);
// Sets the port's speed code and the format 8N1 (c below 5).
void DirectLinkChannelSetSpeed(uint8_t c, uint8_t speedCode);
DirectLinkChannel* DirectLinkGetChannel(uint8_t c);  // null for c above 5

// ---- address table ----
// The entry that holds the address, else the first free entry, claimed for
// it.  With every entry taken, an entry that no busy channel is using is
// given to the address (one that is not synchronised first), so the
// address it held is synchronised again when it is next used.
uint8_t DirectLinkAddressIndex(uint16_t address);
// The entry holds `address` (0 leaves it free), not synchronised, both
// bits 0.
void DirectLinkAddressReset(uint8_t index, uint16_t address);
DirectLinkAddress* DirectLinkGetAddress(uint8_t index);  // null for 32 and above

// ---- transmit rings ----
// Puts a whole request entry in channel c's transmit ring and counts it:
// kind, index, address, L, and when L is 3 or more Atype, the second byte,
// 0 and L - 3 bytes of data.  False (nothing stored) when the entry does
// not fit the ring, the channel has 255 entries waiting, or L is above
// kDirectRequestMaxL.
bool DirectLinkQueueEntry(uint8_t c, uint8_t kind, uint8_t index, uint16_t address,
                          uint16_t length, uint8_t atype, uint8_t second, const uint8_t* data);
ByteRing* DirectLinkTransmitRing(uint8_t c);  // null for c above 5

// ---- reply ring ----
// One reply record: kind, index, address, L, and when L is 3 or more
// Atype, rc, 0 and L - 3 data bytes.
struct DirectLinkReply {
  uint8_t kind = 0;
  uint8_t index = 0;
  uint16_t address = 0;
  uint16_t length = 0;
  uint8_t atype = 0;
  uint8_t rc = 0;
  uint16_t dataLength = 0;  // L - 3, or 0
  uint8_t data[kDirectReplyMaxData] = {};
};
// Puts a whole record in the reply ring and counts it; false (nothing
// stored) when it does not fit or L is above kDirectReplyMaxL.
bool DirectLinkQueueReply(uint8_t kind, uint8_t index, uint16_t address, uint16_t length,
                          uint8_t atype, uint8_t rc, const uint8_t* data);
// Records waiting in the reply ring.  Channels start no request while it
// is above 0.
uint16_t DirectLinkReplyCount();
// Takes the next record.  False when none waits, and when the ring holds
// something that is not a whole record of a known kind: the ring is then
// emptied and the count cleared.
bool DirectLinkTakeReply(DirectLinkReply* out);
// Records that could not be queued for want of room (broadcast
// confirmations); a reply or an error waits on its channel instead.
uint32_t DirectLinkDroppedReplies();

// ---- the channel's own steps ----
// One tick of channel c (polls its port while receiving, then acts by state).
void DirectLinkStep(uint8_t c);
// DirectLinkStep for channels 0 to 5 in order.
void DirectLinkStepAll();
// The receiver: one byte received on channel c.
void DirectLinkReceive(uint8_t byte, uint8_t c);
// The transmit-done hook of channels 0 to 4.
void DirectLinkTxDone(uint8_t c);
// Transmits the bytes as part of the channel's exchange: arms the transmit
// time-out and writes with RTS raised (c below 5); the hook drops RTS.
void DirectLinkTransmit(uint8_t c, uint16_t length, const uint8_t* bytes);
// Writes the bytes as they are, outside the channel's exchange: RTS up,
// write, RTS down (c below 5); the channel's state and time-out stay.
void DirectLinkRawTransmit(uint8_t c, uint16_t length, const uint8_t* bytes);
void DirectLinkFrameDone(uint8_t c);
void DirectLinkSendSync(uint8_t c, uint16_t address);
// Queues the 9-byte error reply of the channel's current request.
void DirectLinkErrorReply(uint8_t c, uint8_t code);

// ---- Direct Connect Debug dumps (callers check g_bDirectConnectDebug) ----
void DirectLinkDumpTx(const uint8_t* bytes, uint16_t length);
void DirectLinkDumpRx(uint8_t c);

#endif
