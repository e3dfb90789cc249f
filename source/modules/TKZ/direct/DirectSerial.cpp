#include "DirectSerial.h"

#include <memory>
#include <string>

#include "DirectLink.h"
#include "DisplayFlags.h"
#include "LogSink.h"
#include "platform/serial/port.h"
#include "platform/serial/posix.h"

namespace {

struct ComPort {
  std::unique_ptr<serial::Port> handle;
  TxDoneHook hook = nullptr;
  serial::Timeouts savedTimeouts;
  serial::LineSettings savedSettings;
  uint32_t rtsFailures = 0;
  // The last failed open's device and reason, logged once (empty after an
  // open that worked).
  std::string failedDevice;
  std::string failedReason;
};

ComPort g_ports[kComPorts];
serial::Backend* g_backend = nullptr;

serial::Backend& Backend() {
  static serial::PosixBackend posix;
  return g_backend != nullptr ? *g_backend : posix;
}

// The open device of port p, or null.
serial::Port* Device(uint8_t port) {
  return port < kComPorts ? g_ports[port].handle.get() : nullptr;
}

void SetRts(uint8_t port, bool on) {
  serial::Port* dev = Device(port);
  if (dev != nullptr && !dev->SetRts(on)) ++g_ports[port].rtsFailures;
}

}  // namespace

uint32_t ComBaudForCode(uint16_t code) {
  switch (code) {
    case 1: return 300;
    case 2: return 1200;
    case 3: return 2400;
    case 4: return 9600;
    case 6: return 38400;
    case 9: return 4800;
    default: return 19200;
  }
}

void ComOpen(uint8_t port) {
  if (port < kComFirstDevicePort || port >= kComPorts) return;
  ComPort& p = g_ports[port];
  if (p.handle) return;
  serial::OpenFailure why;
  p.handle = Backend().Open(port - 1, &why);
  if (!p.handle) {
    // The racks on the line never answer: the log says why, once for each
    // failure that differs from the last.
    if (why.device != p.failedDevice || why.reason != p.failedReason) {
      if (why.device.empty())
        LogPrintfQueued("Error: COM%d cannot be opened: %s.\n", port - 1, why.reason.c_str());
      else
        LogPrintfQueued("Error: COM%d cannot be opened: %s: %s.\n", port - 1, why.device.c_str(),
                        why.reason.c_str());
    }
    p.failedDevice = why.device;
    p.failedReason = why.reason;
    return;
  }
  p.failedDevice.clear();
  p.failedReason.clear();
  p.savedTimeouts = {};
  p.handle->GetTimeouts(&p.savedTimeouts);
  p.handle->SetTimeouts(serial::ImmediateReads(p.savedTimeouts));
  p.savedSettings = {};
  p.handle->GetState(&p.savedSettings);
  serial::LineSettings s = p.savedSettings;
  s.rtsControl = serial::RtsControl::kDisable;
  p.handle->SetState(s);
}

void ComClose(uint8_t port) {
  serial::Port* dev = Device(port);
  if (dev == nullptr) return;
  dev->SetTimeouts(g_ports[port].savedTimeouts);
  dev->SetState(g_ports[port].savedSettings);
  g_ports[port].handle.reset();
}

void ComSetBaud(uint8_t port, uint16_t code) {
  serial::Port* dev = Device(port);
  if (dev == nullptr) return;
  serial::LineSettings s;
  dev->GetState(&s);
  s.baud = ComBaudForCode(code);
  dev->SetState(s);
}

void ComSetFormat(uint8_t port, uint8_t parity, uint8_t dataBits, uint8_t stopBits) {
  serial::Port* dev = Device(port);
  if (dev == nullptr) return;
  serial::LineSettings s;
  dev->GetState(&s);
  s.parityCheck = parity == 2 || parity == 3;
  s.parity = parity == 2   ? serial::Parity::kOdd
             : parity == 3 ? serial::Parity::kEven
                           : serial::Parity::kNone;
  s.byteSize = dataBits == 8 ? 8 : 7;
  s.stopBits = stopBits == 2 ? serial::StopBits::kTwo : serial::StopBits::kOne;
  dev->SetState(s);
}

void ComRtsOn(uint8_t port) { SetRts(port, true); }
void ComRtsOff(uint8_t port) { SetRts(port, false); }

void ComPoll(uint8_t port) {
  serial::Port* dev = Device(port);
  if (dev == nullptr) return;
  uint16_t handed = 0;
  uint8_t buf[64];
  while (handed < kComPollMax) {
    std::size_t got = 0;
    const std::size_t left = std::size_t{kComPollMax} - handed;
    const std::size_t want = left < sizeof buf ? left : sizeof buf;
    if (!dev->Read(buf, want, &got) || got == 0) break;
    for (std::size_t i = 0; i < got; ++i) DirectLinkReceive(buf[i], port);
    handed = static_cast<uint16_t>(handed + got);
  }
}

uint16_t ComWrite(uint8_t port, uint16_t length, const uint8_t* bytes) {
  if (g_bDirectConnectDebug.load()) DirectLinkDumpTx(bytes, length);
  if (port >= kComPorts) return 0;
  std::size_t written = 0;
  if (serial::Port* dev = Device(port)) {
    dev->Write(bytes, length, &written);
    dev->Drain();
  }
  if (TxDoneHook hook = g_ports[port].hook) hook(port);
  return static_cast<uint16_t>(written);
}

void bdAuxRegTX(TxDoneHook hook, uint8_t port) {
  LogPrintfQueued("+++bdAuxRegTX()\n");
  if (port < kComPorts) g_ports[port].hook = hook;
}

void bdAuxRegTXDefault(uint8_t port) {
  LogPrintfQueued("+++bdAuxRegTXDefault()\n");
  if (port < kComPorts) g_ports[port].hook = nullptr;
}

void DirectSerialUseBackend(serial::Backend* backend) { g_backend = backend; }

void DirectSerialReset() {
  for (uint8_t p = 0; p < kComPorts; ++p) {
    ComClose(p);
    g_ports[p].hook = nullptr;
    g_ports[p].rtsFailures = 0;
    g_ports[p].failedDevice.clear();
    g_ports[p].failedReason.clear();
  }
}

bool ComIsOpen(uint8_t port) { return Device(port) != nullptr; }

uint32_t ComRtsFailures(uint8_t port) { return port < kComPorts ? g_ports[port].rtsFailures : 0; }
