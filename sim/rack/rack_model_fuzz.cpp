// Feeds arbitrary command bytes to a rack model: it must answer or refuse
// without reading outside the command or writing outside its state, and a
// reply never exceeds the response area.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "RackModel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sim::RackModel rack(sim::RackModel::Config{7, 2, 96, 4, 8});
  if (size > 0 && (data[0] & 0x40)) rack.RaiseFault(data[0] & 0x3F, 1, 2);
  const auto answer = rack.Exchange({data, size});
  if (answer.reply.size() > sim::kRackMaxReply) std::abort();
  return 0;
}
