#include "LogBuffer.h"

#include <cstring>

#include "BuildStamp.h"
#include "DisplayFlags.h"
#include "LogSink.h"

namespace {

const char* const kDayFileNames[7] = {"Sunday.log",   "Monday.log", "Tuesday.log",
                                      "Wednesday.log", "Thursday.log", "Friday.log",
                                      "Saturday.log"};

}  // namespace

LogBuffer::LogBuffer(platform::time::Clock& clock, std::filesystem::path dayFileDir)
    : clock_(clock), dayDir_(std::move(dayFileDir)), owner_(std::this_thread::get_id()) {
  g_pLogView.store(this);
}

LogBuffer::~LogBuffer() {
  LogBuffer* self = this;
  g_pLogView.compare_exchange_strong(self, nullptr);
  if (m_pDayFile != nullptr) std::fclose(m_pDayFile);
}

std::filesystem::path LogBuffer::DayFilePath(int weekday) const {
  const char* name = kDayFileNames[(weekday % 7 + 7) % 7];
  return dayDir_.empty() ? std::filesystem::path(name) : dayDir_ / name;
}

// ---- queue (any thread) ----------------------------------------------------

void LogBuffer::Enqueue(Item item) {
  DrainPoster post;
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (queue_.empty()) drainWanted_ = true;
    queue_.push_back(std::move(item));
    if (drainWanted_ && poster_) {
      post = poster_;
      drainWanted_ = false;
    }
  }
  // A request that could not be delivered stays wanted, so that the next
  // queued line asks again instead of leaving the queue stranded.
  if (post && !post()) {
    std::lock_guard<std::mutex> lock(m_Lock);
    drainWanted_ = true;
  }
}

void LogBuffer::Queue(std::string text) { Enqueue(Item{std::move(text), -1}); }

void LogBuffer::QueueLogToDisk(bool on) { Enqueue(Item{std::string(), on ? 1 : 0}); }

void LogBuffer::SetDrainPoster(DrainPoster poster) {
  std::lock_guard<std::mutex> lock(m_Lock);
  poster_ = std::move(poster);
}

size_t LogBuffer::QueuedCount() const {
  std::lock_guard<std::mutex> lock(m_Lock);
  return queue_.size();
}

// ---- owner thread ------------------------------------------------------------

void LogBuffer::OnDrainQueue() {
  for (;;) {
    std::deque<Item> batch;
    {
      std::lock_guard<std::mutex> lock(m_Lock);
      if (queue_.empty()) return;
      batch.swap(queue_);
    }
    for (Item& item : batch) {
      if (item.diskLog >= 0) {
        SwitchDiskLog(item.diskLog != 0);
      } else {
        WriteLog(item.text, false);
      }
    }
  }
}

void LogBuffer::ApplyLogToDisk(bool on) {
  OnDrainQueue();
  SwitchDiskLog(on);
}

void LogBuffer::SwitchDiskLog(bool on) {
  if (!on && g_bDiskLogActive.load() && m_pDayFile != nullptr) {
    std::fclose(m_pDayFile);
    m_pDayFile = nullptr;
  }
  g_bDiskLogActive.store(on);
}

void LogBuffer::OpenDayFileIfNeeded() {
  const platform::time::LocalTime now = clock_.Local();
  if (now.weekday != m_nDayFileWeekday) {
    m_nDayFileWeekday = now.weekday;
    if (m_pDayFile != nullptr) {
      // A new day: the file of this weekday holds last week's log.
      std::fclose(m_pDayFile);
      m_pDayFile = nullptr;
      std::error_code ec;
      std::filesystem::remove(DayFilePath(now.weekday), ec);
    }
  }
  if (m_pDayFile == nullptr) m_pDayFile = std::fopen(DayFilePath(m_nDayFileWeekday).c_str(), "a");
}

void LogBuffer::Emit(std::string_view text) {
  current_.append(text);
  for (Observer* o : observers_) o->OnText(text);
}

void LogBuffer::ToDayFile(std::string_view text) {
  if (m_pDayFile == nullptr) return;
  std::fwrite(text.data(), 1, text.size(), m_pDayFile);
  dayFileDirty_ = true;
}

void LogBuffer::NewLine() {
  if (m_nLines >= kMaxLines) {
    if (!lines_.empty()) {
      lines_.pop_front();
      for (Observer* o : observers_) o->OnRemoveOldestLine();
    }
  } else {
    ++m_nLines;
  }
  lines_.push_back(std::move(current_));
  current_.clear();
  for (Observer* o : observers_) o->OnText("\n");
}

void LogBuffer::WriteLog(std::string_view text, bool drainFirst) {
  if (drainFirst) OnDrainQueue();
  if (g_bDiskLogActive.load()) OpenDayFileIfNeeded();

  while (!text.empty()) {
    if (g_bTimeStampLog.load() && m_bAtLineStart) {
      const platform::time::LocalTime now = clock_.Local();
      if (now.hour != m_nBannerHour) {
        m_nBannerHour = now.hour;
        std::string banner = "-- ";
        banner += platform::time::CTimeText(now);
        banner += ", TKZ compiled ";
        banner += kViewBuildStamp;
        banner += " -- ";
        Emit(banner);
        // The banner is a line of the window like any other, so it counts
        // against the cap.
        NewLine();
        banner += "\n";
        ToDayFile(banner);
      }
      char stamp[16];
      std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d ", now.hour % 100, now.minute % 100,
                    now.second % 100);
      Emit(stamp);
      ToDayFile(stamp);
    }
    const size_t nl = text.find('\n');
    if (nl == std::string_view::npos) {
      m_bAtLineStart = false;
      Emit(text);
      ToDayFile(text);
      break;
    }
    const std::string_view piece = text.substr(0, nl);
    Emit(piece);
    NewLine();
    m_bAtLineStart = true;
    ToDayFile(piece);
    ToDayFile("\n");
    text.remove_prefix(nl + 1);
  }

  // Flushed after every write, so a crash loses nothing already logged.
  if (dayFileDirty_ && m_pDayFile != nullptr) std::fflush(m_pDayFile);
  dayFileDirty_ = false;
}

void LogBuffer::Clear() {
  lines_.clear();
  current_.clear();
  m_nLines = 0;
  for (Observer* o : observers_) o->OnClear();
}

std::string LogBuffer::CopyAllText() const {
  std::string all;
  for (const std::string& l : lines_) {
    all += l;
    all += '\n';
  }
  all += current_;
  return all;
}

void LogBuffer::AddObserver(Observer* observer) { observers_.push_back(observer); }

void LogBuffer::RemoveObserver(Observer* observer) { std::erase(observers_, observer); }

void StreamEcho::OnText(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream_);
  std::fflush(stream_);
}
