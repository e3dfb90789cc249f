// Fuzzes the decoding of a rack's unsolicited poll response: any bytes and
// any claimed length, with every log switch on.  Input: byte 0-1 the claimed
// response length, byte 2 the Rcode's low byte, then the response bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Comm.h"
#include "DisplayFlags.h"
#include "FaultFormat.h"
#include "RackEvents.h"
#include "RackMsg.h"

namespace {

class SinkEvents final : public RackEventPort {
 public:
  void WriteFaultRecords(const FaultRecord* records, int32_t count) override {
    for (int32_t i = 0; i < count; ++i) {
      const FaultArg args[3] = {records[i].args[0], records[i].args[1], records[i].args[2]};
      sum += FormatFaultDescription("%d %s %c %5.3d %x %n", args).size();
    }
  }
  void UpdateZoneInputStatus(int32_t, int32_t bits, int16_t, const uint8_t* rooms) override {
    sum += static_cast<size_t>(bits) + rooms[15];
  }
  size_t sum = 0;
};

SinkEvents g_sink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  g_bCommDebug = true;
  g_bCommFaults = true;
  theComm.SetEventPort(&g_sink);
  // A failed poll would be sent a fault synchronisation: refused here.
  SetPostToComm([](uint32_t, uintptr_t, RackMsg*) { return false; });
  RackMsg* msg = AllocRackMsg();
  msg->Rack = 1 + data[2] % 3;
  msg->responseLength = static_cast<uint16_t>(data[0] | (data[1] << 8));
  msg->Rcode = data[2] >= 250 ? 0x10 : 0;
  const size_t n = size - 3 < kRackMsgResponseSize ? size - 3 : kRackMsgResponseSize;
  std::memcpy(msg->response, data + 3, n);
  theComm.OnRackEvent(msg);
  return 0;
}
