// The log sink's toolkit-free part: the lines the log window shows (at most
// kMaxLines complete lines plus the line being written), time stamps and the
// hourly banner, the per-weekday day files, and the queue through which
// other threads hand lines to the owner thread.
//
// Floods of identical lines are folded before they reach any of these
// (LogRepeats.h): the window, the observers (standard output) and the day
// file all see the first line and then one summary per interval.  Lines
// that the day file does not take (full disk, write error, a file that
// cannot be opened) are counted, and once it takes a line again one more
// line says how many it lacks:
//   Error: 1234 log lines were not written to "Tuesday.log" (No space left on device).
// A line goes to the day file whole or not at all.
//
// Threads: the thread that constructs the buffer is its owner (the UI
// thread).  Only the owner writes, drains, clears, reads the lines or touches
// the day file.  Any thread may call Queue(), QueueLogToDisk() and
// SetDrainPoster(); they touch only the queue, under the buffer's one mutex,
// which is never held while a line is written.
//
// Ownership: the buffer owns its queued lines and its open day file (closed by
// the destructor).  Summaries still due when it is destroyed are dropped:
// its owner writes them first with FlushRepeats().  It does not own its observers or its clock; both must
// outlive it.  While it exists it is the process's log sink (g_pLogView).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "LogRepeats.h"
#include "platform/file/file.h"
#include "platform/time/clock.h"

// Disk logging active: the sink's own flag (the operator's choice is
// g_bLogToDisk).  Written only on the owner thread once the sink exists.
inline std::atomic<bool> g_bDiskLogActive{false};

class LogBuffer {
 public:
  static constexpr int kMaxLines = 400;

  // Receives what the window shows, in order, on the owner thread.
  class Observer {
   public:
    virtual ~Observer() = default;
    // Text added at the end of the window; '\n' ends a line.
    virtual void OnText(std::string_view text) = 0;
    // The oldest complete line was removed.
    virtual void OnRemoveOldestLine() = 0;
    // Everything was removed.
    virtual void OnClear() = 0;
  };

  // Asks the owner thread to call OnDrainQueue() soon (posts the drain
  // message).  Called on the queuing thread, outside the lock.  Returns
  // false when the request could not be delivered.
  using DrainPoster = std::function<bool()>;

  // dayFileDir: folder of the day files; empty means the current directory.
  explicit LogBuffer(platform::time::Clock& clock, std::filesystem::path dayFileDir = {});
  ~LogBuffer();
  LogBuffer(const LogBuffer&) = delete;
  LogBuffer& operator=(const LogBuffer&) = delete;

  bool IsOwnerThread() const { return std::this_thread::get_id() == owner_; }

  // ---- owner thread ----
  // Writes text to the window (and the day file when disk logging is
  // active), draining queued lines first when drainFirst is set.
  void WriteLog(std::string_view text, bool drainFirst);
  // Writes every queued line and applies every queued disk-log switch, in
  // queue order.
  void OnDrainQueue();
  // Switches the disk copy on or off now (after draining the queue).
  void ApplyLogToDisk(bool on);
  // The periodic tick (the frame's one-second timer): drains the queue and
  // writes the summaries of intervals that have ended, so that a count is
  // written even when its flood has stopped.
  void OnTimer();
  // Writes every summary still due (before the log closes).
  void FlushRepeats();
  void Clear();
  // The whole window text, lines ended by '\n'.
  std::string CopyAllText() const;
  void AddObserver(Observer* observer);
  void RemoveObserver(Observer* observer);

  int LineCount() const { return m_nLines; }
  const std::deque<std::string>& Lines() const { return lines_; }
  const std::string& CurrentLine() const { return current_; }
  bool DayFileOpen() const { return dayFile_.IsOpen(); }
  // Lines not written to the day file since the last report of them.
  std::uint64_t DayLinesLost() const { return dayLost_; }
  std::filesystem::path DayFilePath(int weekday) const;

  // ---- any thread ----
  // Appends a line to the queue; asks for a drain when the queue was empty
  // (or an earlier request could not be delivered).
  void Queue(std::string text);
  // Queues a disk-log switch behind the lines already queued.
  void QueueLogToDisk(bool on);
  void SetDrainPoster(DrainPoster poster);
  size_t QueuedCount() const;

 private:
  struct Item {
    std::string text;
    int diskLog = -1;  // -1: a line; 0 or 1: switch disk logging off or on
    std::uint64_t times = 1;  // the same whole line queued this many times in a row
  };

  void Enqueue(Item item);
  void SwitchDiskLog(bool on);
  // Text that came `times` times (more than once only for one whole line).
  void WriteText(std::string_view text, std::uint64_t times);
  // Text past the folding: stamps, banner, window, observers, day file.
  void WriteUnfolded(std::string_view text);
  void WriteSummaries(std::vector<std::string>& summaries);
  void NewLine();
  void Emit(std::string_view text);
  void ToDayFile(std::string_view text);
  // Writes what the day file holds back of the current line.
  void FlushDayFile(bool endsLine);
  void ReportLostDayLines();
  void OpenDayFileIfNeeded();

  platform::time::Clock& clock_;
  const std::filesystem::path dayDir_;
  const std::thread::id owner_;

  mutable std::mutex m_Lock;
  std::deque<Item> queue_;     // guarded by m_Lock
  bool drainWanted_ = false;   // guarded by m_Lock
  DrainPoster poster_;         // guarded by m_Lock

  // Owner thread only.
  std::deque<std::string> lines_;  // complete lines, oldest first
  std::string current_;            // the line being written
  int m_nLines = 0;
  int m_nBannerHour = -1;
  int m_nDayFileWeekday = -1;
  bool m_bAtLineStart = true;
  platform::file::AppendFile dayFile_;
  std::string dayPending_;         // the current line's text for the day file
  bool dayLineLost_ = false;       // part of the current line did not reach it
  std::uint64_t dayLost_ = 0;      // lines it lacks, not yet reported
  std::string dayLostFile_, dayLostWhy_;  // the file and the first failure
  bool dayLostReportDue_ = false;  // it has taken a line again
  int writeDepth_ = 0;             // WriteText calls under way
  LogRepeats repeats_;
  std::vector<Observer*> observers_;
};

// Writes everything the window shows to a stream (standard output when the
// server runs without a display), flushing after each piece.
class StreamEcho final : public LogBuffer::Observer {
 public:
  explicit StreamEcho(std::FILE* stream) : stream_(stream) {}
  void OnText(std::string_view text) override;
  void OnRemoveOldestLine() override {}
  void OnClear() override {}

 private:
  std::FILE* stream_;
};
