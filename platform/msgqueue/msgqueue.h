// Per-thread message queues: the targets that threads post messages to.
//
// A thread that wants to receive messages owns one `Queue`.  Everyone else
// reaches it through its `Handle`, a plain value (what a window handle was)
// that can be copied freely, stored in globals and passed between threads.
// A handle never dangles: once its queue is destroyed every call with it
// fails (PostMessage returns false, GetMessage -1), and handle values are
// never reused within a process.
//
// Retrieval order of GetMessage / PeekMessage:
//   1. posted messages, first in first out (socket notifications are posted
//      messages too, queued when the owner notices the socket's readiness);
//   2. WM_QUIT, when PostQuitMessage was called (delivered once);
//   3. WM_TIMER, at most one per timer however many periods have elapsed,
//      in the order the timers came due; wParam = the timer id.
//
// Threads: PostMessage, PostQuitMessage, SetTimer, KillTimer, FireTimer and
// the socket calls may be called from any thread.  GetMessage, PeekMessage
// and WaitMessage are for the queue's one consumer (its owner thread).
//
// Ownership: the queue copies message values and never interprets them; an
// object whose pointer travels in wParam/lParam belongs to whoever the
// message protocol says.  Messages still queued when the queue is destroyed
// are dropped without being looked at, so the owner drains its queue (with
// PeekMessage) before destroying it when pointers may be in flight.
#pragma once

#include <cstdint>
#include <memory>

namespace msgq {

// The generic message ids; a subsystem numbers its own from WM_APP upwards.
inline constexpr uint32_t WM_QUIT = 0x0012;
inline constexpr uint32_t WM_TIMER = 0x0113;
inline constexpr uint32_t WM_APP = 0x8000;

// lParam of a socket notification: low 16 bits the event, high 16 bits an
// error number (always 0 here).
inline constexpr intptr_t FD_READ = 0x01;

// Timers shorter than this run at this period.
inline constexpr uint32_t kMinTimerPeriodMs = 10;

struct Handle {
  uint64_t id = 0;  // 0 = no queue
  explicit operator bool() const { return id != 0; }
  friend bool operator==(Handle, Handle) = default;
};

struct Msg {
  uint32_t message = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
};

// Real: SetTimer arms a monotonic timerfd.  Manual: timers never come due by
// themselves; a test makes one due with FireTimer, so a loop can be driven
// step by step without depending on time.
enum class TimerMode { Real, Manual };

namespace detail {
class QueueImpl;
}

class Queue {
 public:
  explicit Queue(TimerMode mode = TimerMode::Real);
  // Kills the queue's timers, unwatches its sockets (the descriptors stay
  // open: they belong to whoever opened them) and invalidates its handle.
  // Not while another thread is inside GetMessage on it.
  ~Queue();
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  // Null when the queue's descriptors could not be created.
  Handle handle() const { return handle_; }

  // For a foreign event loop: this descriptor polls readable when the queue
  // may have something to retrieve; the loop then calls PeekMessage until it
  // returns false, which also clears the readiness.
  int pollFd() const;

 private:
  std::shared_ptr<detail::QueueImpl> impl_;
  Handle handle_;
};

// Queues a message; never blocks on the consumer.  False when the handle is
// not a live queue.
bool PostMessage(Handle h, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Asks the consumer's loop to end: GetMessage returns 0 with WM_QUIT
// (wParam = exitCode) once the posted messages ahead of it are retrieved.
bool PostQuitMessage(Handle h, int exitCode);

// Waits for the next message.  1 = a message, 0 = WM_QUIT, -1 = the handle is
// not a live queue or waiting failed (errno tells).
int GetMessage(Handle h, Msg* out);

// The same without waiting: true when a message (WM_QUIT included) was taken.
bool PeekMessage(Handle h, Msg* out);

// Waits until a message can be retrieved or timeoutMs elapses (-1 = no time
// limit); true when one can be.  Retrieves nothing.
bool WaitMessage(Handle h, int timeoutMs);

// Whether a posted message (socket notifications included, once noticed)
// waits to be retrieved.  Looks at nothing else and never waits: no system
// call.  For the consumer, to handle a run of posts before other work.
bool HasPostedMessage(Handle h);

// Starts (or restarts with a new period) timer `id` of the queue.  Ids are
// the caller's, any value including 0.  Pending WM_TIMER of a restarted
// timer stays pending.
bool SetTimer(Handle h, uintptr_t id, uint32_t periodMs);

// Stops timer `id`; its pending WM_TIMER, if any, is withdrawn.
bool KillTimer(Handle h, uintptr_t id);

// Makes timer `id` due now, as if its period had elapsed (any timer mode).
// False when the queue has no such timer.
bool FireTimer(Handle h, uintptr_t id);

// Socket readiness as messages.  WatchSocket(fd, h, message): when `fd` has
// data to read, `message` (wParam = fd, lParam = FD_READ) is posted to `h`
// once; then the socket stays quiet until re-armed.  Re-arming looks at the
// socket again, so data that arrived while it was quiet is announced at once:
// re-arm after reading (or after each poll of the sockets) and no arrival is
// left unannounced.  Watching an fd again replaces its old registration, also
// on another queue.  A descriptor closed without UnwatchSocket is dropped at
// its next re-arm; a new descriptor that reuses its number is not watched
// until WatchSocket is called for it.
//
// A loop that reads its sockets itself (rather than on each notification)
// re-arms them all after each such read: notification, read, RearmSockets.
// Calls with an fd or handle that is not watched do nothing.
bool WatchSocket(int fd, Handle h, uint32_t message);
void RearmSocket(int fd);
void RearmSockets(Handle h);  // every socket the queue watches
void UnwatchSocket(int fd);

// The system calls the calling thread made in the queue calls, for
// benchmarks: waits and looks (epoll_wait), wake-up signals (eventfd
// writes, also for posts to other threads' queues) and socket re-arms
// (epoll_ctl).  Monotonic, per thread.
struct SysCallCounts {
  uint64_t waits = 0;
  uint64_t wakeSignals = 0;
  uint64_t rearms = 0;
};
SysCallCounts SysCalls();

}  // namespace msgq
