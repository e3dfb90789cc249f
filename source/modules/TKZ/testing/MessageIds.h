// The ids of the messages waiting in a thread message queue.
#pragma once

#include <cstdint>
#include <vector>

#include "msgqueue.h"

// Takes every waiting message off the queue and returns their ids in order.
inline std::vector<uint32_t> TakeMessageIds(msgq::Handle queue) {
  std::vector<uint32_t> ids;
  msgq::Msg m;
  while (msgq::PeekMessage(queue, &m)) ids.push_back(m.message);
  return ids;
}
