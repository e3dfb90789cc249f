// The direct-connect link's own cost per rack exchange beside the time the
// same bytes take on the RS-485 line.  A client on this PC sends rack
// commands through the local IO_KRN service; the link frames them onto a
// fake COM1 whose racks (rack models) answer at once, so the measured time
// is the server's work alone.  The line time is what the request and reply
// frames take at 9600 and 38400 baud (10 bits a byte).
//
//   directlink_bench [exchanges]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "DirectLink.h"
#include "DirectSerial.h"
#include "DirectService.h"
#include "LocalKrnClient.h"
#include "MsClock.h"
#include "Rle.h"
#include "SerialRack.h"
#include "platform/serial/fake.h"

namespace {

constexpr uint32_t kPcAddr = 0x0A000001;
bool g_done = false;

void OnEvent(const IpcEvntHdr* e, intptr_t) {
  const auto* b = reinterpret_cast<const uint8_t*>(e);
  // The answer is complete with its START (Len 3: no data) or its last REPORT.
  static size_t want = 0, have = 0;
  if (e->evntCode == 258) {
    want = static_cast<size_t>(b[20] | b[21] << 8);
    want = want >= 3 ? want - 3 : 0;
    have = 0;
  } else if (e->evntCode == 259) {
    have += b[19];
  }
  if (e->evntCode != 260 && have >= want) g_done = true;
}


}  // namespace

int main(int argc, char** argv) {
  const long exchanges = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 20000;
  if (exchanges < 1 || exchanges > 10000000) {
    std::fprintf(stderr, "usage: directlink_bench [exchanges 1..10000000]\n");
    return 2;
  }
  serialrack::SerialRack racks({5}, sim::RackModel::Config{});
  serial::FakeBackend fake;
  size_t lineBytes = 0;
  fake.Line(1).onWrite = [&](std::span<const uint8_t> b) {
    lineBytes += b.size();
    const std::vector<uint8_t> answer = racks.Receive(b);
    lineBytes += answer.size();
    fake.Line(1).Feed(answer);
  };
  DirectSerialUseBackend(&fake);
  MsClockSet(12, 0, 0, 0);
  struct Client : LocalKrnClient {
    uint8_t eventHandle() const { return evnt_; }
  } client;
  if (!client.StartClient(kPcAddr, &OnEvent, 0)) {
    std::fprintf(stderr, "directlink_bench: no client of the local service\n");
    return 1;
  }
  uint8_t open[58] = {};
  for (int i = 0; i < 4; ++i) open[16 + i] = static_cast<uint8_t>(kPcAddr >> (8 * i));
  open[20] = client.eventHandle();
  open[21] = 3;
  open[22] = 3;  // COM1
  open[23] = 4;
  client.Call(open, 1, sizeof open);
  LocalKrnClient::Despatch();

  // The rack status command with its poll items, packed.
  const uint8_t command[] = {27, 0, 4, 0, 9, 16, 17, 20};
  uint8_t packed[32];
  const uint16_t n = RleEncode(command, sizeof command, packed, sizeof packed, 1);
  uint8_t send[24] = {};
  send[17] = 0x23;
  send[18] = static_cast<uint8_t>(n + 3);
  send[20] = 5;
  uint8_t append[18 + 32] = {};
  append[16] = static_cast<uint8_t>(n);
  std::memcpy(append + 18, packed, n);

  auto exchange = [&]() -> bool {
    g_done = false;
    client.Call(send, 3, sizeof send);
    client.Call(append, 4, static_cast<uint16_t>(18 + n));
    for (int i = 0; i < 100 && !g_done; ++i) {
      DirectLinkTick();
      LocalKrnClient::Despatch();
    }
    return g_done;
  };
  if (!exchange()) {  // the first one synchronises with the rack
    std::fprintf(stderr, "directlink_bench: the rack did not answer\n");
    return 1;
  }
  lineBytes = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (long i = 0; i < exchanges; ++i) {
    if (!exchange()) {
      std::fprintf(stderr, "directlink_bench: exchange %ld got no answer\n", i);
      return 1;
    }
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double perExchangeUs = secs * 1e6 / static_cast<double>(exchanges);
  const double bytesPer = static_cast<double>(lineBytes) / static_cast<double>(exchanges);
  std::printf("direct-connect exchanges: %ld, %.1f bytes on the line each\n", exchanges, bytesPer);
  std::printf("server work per exchange: %.2f us (%.0f exchanges/s)\n", perExchangeUs, 1e6 / perExchangeUs);
  for (const int baud : {9600, 38400}) {
    const double lineUs = bytesPer * 10.0 * 1e6 / baud;
    std::printf("line time at %5d baud: %8.1f us per exchange; server work / line time = %.4f\n", baud,
                lineUs, perExchangeUs / lineUs);
  }
  client.StopClient();
  DirectSerialReset();
  DirectSerialUseBackend(nullptr);
  return 0;
}
