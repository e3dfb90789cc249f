// The serial ports of the direct-connect link: open, configure and close a
// port, switch the RS-485 driver direction with RTS, poll received bytes
// into the link's receiver, and write with a transmit-done hook.
//
// Port p is COM(p - 1): ports 2, 3 and 4 are COM1, COM2 and COM3.  Ports 0
// and 1 name no device and port 5 and above do not exist: opening them does
// nothing, so they read nothing and write nothing (a write still runs the
// port's transmit-done hook, as for a port whose device did not open).
//
// Nothing here reports failure to its caller: a port that did not open
// reads nothing and writes nothing.  A port whose device does not open is
// logged ("Error: COM1 cannot be opened: /dev/ttyS0: Permission denied."),
// again only when the device or the reason differ from its last failure.
// Nothing blocks beyond a write's own time on the line.
//
// The ports live behind a serial::Backend (platform/serial): by default the
// POSIX backend, whose device for COM n is $DROVANA_COM<n> or /dev/ttyS<n-1>.
// Tests put a fake in its place.  The layer owns the open ports; the backend
// is the caller's and must outlive every port opened through it.
//
// Comm thread only; no lock is taken.
#ifndef TKZ_DIRECT_SERIAL_H
#define TKZ_DIRECT_SERIAL_H

#include <cstdint>

namespace serial {
class Backend;
}

// Runs right after a port's write has left the line, with the port number.
using TxDoneHook = void (*)(uint8_t port);

// Ports 0 to 4 have hooks and state; 2 to 4 have devices.
inline constexpr uint8_t kComPorts = 5;
inline constexpr uint8_t kComFirstDevicePort = 2;
// At most this many bytes are handed on per ComPoll, so that a line that
// never falls silent cannot hold the comm thread.
inline constexpr uint16_t kComPollMax = 4096;

// Speed code of ComSetBaud to baud: 1 300, 2 1200, 3 2400, 4 9600, 6 38400,
// 9 4800, anything else 19200.
uint32_t ComBaudForCode(uint16_t code);

// Opens port p for exclusive use, keeps its time-outs and line settings as
// found (restored by ComClose), makes reads return at once with what has
// arrived, and takes RTS out of the line's control (low until ComRtsOn).
// An open port is left as it is.
void ComOpen(uint8_t port);
// Restores the settings as found and closes the port.
void ComClose(uint8_t port);
void ComSetBaud(uint8_t port, uint16_t code);
// parity 2 odd, 3 even, other none (checked only when odd or even); data
// bits 8, other 7; stop bits 2, other 1.
void ComSetFormat(uint8_t port, uint8_t parity, uint8_t dataBits, uint8_t stopBits);
// RS-485 driver on (transmit) and off (receive).
void ComRtsOn(uint8_t port);
void ComRtsOff(uint8_t port);
// Hands the bytes waiting at the port to DirectLinkReceive(byte, port), at
// most kComPollMax of them.
void ComPoll(uint8_t port);
// With Direct Connect Debug on, dumps the bytes (DirectLinkDumpTx); writes
// them and waits until they have left the line; then runs the port's
// transmit-done hook.  Returns the low 16 bits of the count written.
uint16_t ComWrite(uint8_t port, uint16_t length, const uint8_t* bytes);

// Log "+++bdAuxRegTX()\n" / "+++bdAuxRegTXDefault()\n" and set or remove
// the port's transmit-done hook.
void bdAuxRegTX(TxDoneHook hook, uint8_t port);
void bdAuxRegTXDefault(uint8_t port);

// ---- seam and inspection ----
// Uses `backend` for later opens; null returns to the POSIX backend.
void DirectSerialUseBackend(serial::Backend* backend);
// Closes every open port (restoring its settings) and removes every hook.
void DirectSerialReset();
bool ComIsOpen(uint8_t port);
// RTS changes the device refused (a pseudo-terminal has no RTS).
uint32_t ComRtsFailures(uint8_t port);

#endif
