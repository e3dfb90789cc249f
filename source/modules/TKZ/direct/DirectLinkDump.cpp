// The Direct Connect Debug dumps of the link's traffic.
#include <cstdio>
#include <string>

#include "DirectLink.h"
#include "LogSink.h"
#include "RackCommands.h"
#include "Rle.h"

namespace {

constexpr uint16_t kUnpackSize = 1024;
constexpr int kBytesPerLine = 25;

// Unpacks a frame's packed command; the count unpacked (0 when there is
// nothing, or it does not unpack).
uint16_t Unpack(const uint8_t* packed, uint16_t n, uint8_t* out) {
  if (n == 0) return 0;
  const uint16_t got = RleDecode(packed, n, out, kUnpackSize, 1);
  return got == RLE_FAIL ? 0 : got;
}

// The command name of the first unpacked byte ("0x00 invalid" when nothing
// was unpacked).
const char* NameOf(const uint8_t* unpacked, uint16_t n) {
  return RackCmdName(n > 0 ? unpacked[0] : 0);
}

// " %.2X" per byte, a line break after every 25th, and a final "\n".
void LogBytes(const uint8_t* bytes, uint16_t n) {
  std::string line;
  char hex[4];
  for (uint16_t i = 0; i < n; ++i) {
    std::snprintf(hex, sizeof hex, " %.2X", bytes[i]);
    line += hex;
    if ((i + 1) % kBytesPerLine == 0) {
      LogPrintfQueued("%s\n", line.c_str());
      line.clear();
    }
  }
  LogPrintfQueued("%s\n", line.c_str());
}

}  // namespace

void DirectLinkDumpTx(const uint8_t* bytes, uint16_t length) {
  if (bytes == nullptr) return;
  uint16_t at = 0;
  while (at + 1 < length && !(bytes[at] == kDirectSync1 && bytes[at + 1] == kDirectSync2)) ++at;
  // The sync, the address and the control byte must all be there.
  if (at + 4 >= length) return;
  const unsigned faddr = bytes[at + 2];
  const unsigned fctl = bytes[at + 4];
  if ((fctl & 0x20) != 0) {
    LogPrintfQueued("TX: faddr=%d, fctl=0x%.2X\n", faddr, fctl);
    return;
  }
  uint16_t packed = 0;
  if (at + 6 < length) {
    const uint16_t l = static_cast<uint16_t>(bytes[at + 5] | bytes[at + 6] << 8);
    const uint16_t dataAt = static_cast<uint16_t>(at + 10);
    if (l > 3 && dataAt < length)
      packed = static_cast<uint16_t>(l - 3 < length - dataAt ? l - 3 : length - dataAt);
  }
  uint8_t unpacked[kUnpackSize];
  const uint16_t n = packed > 0 ? Unpack(bytes + at + 10, packed, unpacked) : 0;
  LogPrintfQueued("TX: %s: faddr=%d, fctl=0x%.2X\n", NameOf(unpacked, n), faddr, fctl);
  LogBytes(unpacked, n);
}

void DirectLinkDumpRx(uint8_t c) {
  const DirectLinkChannel* ch = DirectLinkGetChannel(c);
  if (ch == nullptr) return;
  if ((ch->rxControl & kDirectAckBit) != 0) {
    LogPrintfQueued("RX: ACK: raddr=%d, ctl=0x%.2X, rlen=%d\n", ch->rxAddress, ch->rxControl,
                    ch->rxLength);
    return;
  }
  uint16_t packed = ch->rxLength > 3 ? static_cast<uint16_t>(ch->rxLength - 3) : 0;
  if (packed > ch->rxStored) packed = ch->rxStored;
  uint8_t unpacked[kUnpackSize];
  const uint16_t n = Unpack(ch->rxBuffer, packed, unpacked);
  if (ch->rxLength == 3 && ch->rxRc != 0) {
    LogPrintfQueued("RX: ERROR: rc=0x%.2X: raddr=%d, ctl=0x%.2X\n", ch->rxRc, ch->rxAddress,
                    ch->rxControl);
    return;
  }
  LogPrintfQueued("RX: %s: raddr=%d, ctl=0x%.2X, rc=%.2X, rlen=%d\n", NameOf(unpacked, n),
                  ch->rxAddress, ch->rxControl, ch->rxRc, ch->rxLength);
  LogBytes(unpacked, n);
}
