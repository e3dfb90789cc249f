// Bad input to the simulated node: malformed IO_KRN requests to its
// service.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KrnService.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kSend = 3, kAppend = 4, kAddPoll = 5;
constexpr uint8_t kIndex = 10;  // the open port's index (slot 0)

void Put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// IO_KRN_SEND: index +16, atype +17, length (packed + 3) +18, rack +20.
Bytes Send(uint16_t len, uint8_t index = kIndex, size_t size = 24) {
  Bytes b(size, 0);
  if (size > 16) b[16] = index;
  if (size >= 20) Put16(b, 18, len);
  if (size >= 22) Put16(b, 20, 5);
  return b;
}
// IO_KRN_ADD_POLL: interval +16 (u32), key +20, rack +22, length +24,
// index +26, mode +30.
Bytes AddPoll(uint16_t len, uint32_t interval = 2000, uint8_t index = kIndex, size_t size = 31) {
  Bytes b(size, 0);
  if (size >= 20)
    for (int i = 0; i < 4; ++i) b[16 + i] = static_cast<uint8_t>(interval >> (8 * i));
  if (size >= 22) Put16(b, 20, 0x0005);
  if (size >= 24) Put16(b, 22, 5);
  if (size >= 26) Put16(b, 24, len);
  if (size > 26) b[26] = index;
  if (size > 30) b[30] = 2;
  return b;
}
// IO_KRN_APPEND: count +16, index +17, the bytes from +18.
Bytes Append(uint8_t count, const Bytes& data, uint8_t index = kIndex) {
  Bytes b(18 + data.size(), 0);
  b[16] = count;
  b[17] = index;
  for (size_t i = 0; i < data.size(); ++i) b[18 + i] = data[i];
  return b;
}

TEST(NodesimBadRequests, MalformedKrnRequestsRegisterNothingAndSendNothing) {
  struct Step {
    uint8_t proc;
    Bytes bytes;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"send shorter than its header", {{kSend, Send(13, kIndex, 23)}}},
      {"send to an index no port holds", {{kSend, Send(13, 77)}}},
      {"send of a length below 3", {{kSend, Send(2)}}},
      {"send of a length beyond any command", {{kSend, Send(0xFFFF)}}},
      {"add_poll shorter than its header", {{kAddPoll, AddPoll(13, 2000, kIndex, 30)}}},
      {"add_poll to an index no port holds", {{kAddPoll, AddPoll(13, 2000, 77)}}},
      {"add_poll with interval 0", {{kAddPoll, AddPoll(13, 0)}}},
      {"add_poll of a length below 3", {{kAddPoll, AddPoll(2)}}},
      {"add_poll of a length beyond any command", {{kAddPoll, AddPoll(0xFFFF)}}},
      {"append to an index no port holds", {{kAppend, Append(4, {1, 2, 3, 4}, 77)}}},
      {"append with nothing being appended", {{kAppend, Append(4, {1, 2, 3, 4})}}},
      {"append shorter than its header", {{kAppend, Bytes(17, 0)}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint16_t> events;
    std::vector<std::string> trace;
    nodesim::KrnService krn([&](uint8_t, uint16_t code, const Bytes&) { events.push_back(code); },
                            [&](const std::string& line) { trace.push_back(line); });
    ASSERT_TRUE(krn.AddRack(0, 5, sim::RackModel::Config{5}));
    krn.Open(0, kIndex, 1);
    for (const Step& s : c.steps)
      krn.Request(s.proc, s.bytes.data(), static_cast<uint16_t>(s.bytes.size()), 0);
    krn.Tick(100000);
    EXPECT_EQ(krn.polls(), 0u);
    EXPECT_EQ(krn.sends(), 0u);
    EXPECT_TRUE(events.empty());
  }
}

}  // namespace
