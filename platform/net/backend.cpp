#include "net/backend.h"

#include "net/error.h"

namespace net {

int Backend::RecvMany(Socket s, RecvSlot* slots, int n) {
  int taken = 0;
  while (taken < n) {
    RecvSlot& slot = slots[taken];
    const RecvResult r = RecvFrom(s, slot.buf, slot.size);
    if (r.error == err::kWouldBlock) break;
    slot.result = r;
    ++taken;
    if (r.error != 0) break;
  }
  return taken;
}

}  // namespace net
