#include "autoevent.h"

namespace msgq {

void AutoResetEvent::Set() {
  {
    std::lock_guard lk(m_);
    signalled_ = true;
  }
  cv_.notify_one();
}

bool AutoResetEvent::Wait(std::optional<std::chrono::milliseconds> timeout) {
  std::unique_lock lk(m_);
  if (timeout) {
    auto deadline = std::chrono::steady_clock::now() + *timeout;
    if (!cv_.wait_until(lk, deadline, [this] { return signalled_; })) return false;
  } else {
    cv_.wait(lk, [this] { return signalled_; });
  }
  signalled_ = false;
  return true;
}

}  // namespace msgq
