#include "LogBuffer.h"

#include <cstring>

#include "BuildStamp.h"
#include "DisplayFlags.h"
#include "LogSink.h"

namespace {

const char* const kDayFileNames[7] = {"Sunday.log",   "Monday.log", "Tuesday.log",
                                      "Wednesday.log", "Thursday.log", "Friday.log",
                                      "Saturday.log"};

// One line, ended by its only newline (what the queue folds and the
// summariser compares).
bool WholeLine(std::string_view text) {
  return text.size() >= 2 && text.find('\n') == text.size() - 1;
}

}  // namespace

LogBuffer::LogBuffer(platform::time::Clock& clock, std::filesystem::path dayFileDir)
    : clock_(clock), dayDir_(std::move(dayFileDir)), owner_(std::this_thread::get_id()) {
  g_pLogView.store(this);
}

LogBuffer::~LogBuffer() {
  LogBuffer* self = this;
  g_pLogView.compare_exchange_strong(self, nullptr);
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
    // A line queued again right behind itself is only counted, so that a
    // flood from another thread costs no memory while it waits.
    Item* last = queue_.empty() ? nullptr : &queue_.back();
    if (last != nullptr && item.diskLog < 0 && last->diskLog < 0 && last->text == item.text &&
        WholeLine(item.text))
      ++last->times;
    else
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
        WriteText(item.text, item.times);
      }
    }
  }
}

void LogBuffer::ApplyLogToDisk(bool on) {
  OnDrainQueue();
  SwitchDiskLog(on);
}

void LogBuffer::SwitchDiskLog(bool on) {
  if (!on && g_bDiskLogActive.load()) dayFile_.Close();
  g_bDiskLogActive.store(on);
}

void LogBuffer::OpenDayFileIfNeeded() {
  const platform::time::LocalTime now = clock_.Local();
  if (now.weekday != m_nDayFileWeekday) {
    m_nDayFileWeekday = now.weekday;
    if (dayFile_.IsOpen()) {
      // A new day: the file of this weekday holds last week's log.
      dayFile_.Close();
      std::error_code ec;
      std::filesystem::remove(DayFilePath(now.weekday), ec);
    }
  }
  if (!dayFile_.IsOpen()) dayFile_.Open(DayFilePath(m_nDayFileWeekday), false);
}

void LogBuffer::Emit(std::string_view text) {
  current_.append(text);
  for (Observer* o : observers_) o->OnText(text);
}

void LogBuffer::ToDayFile(std::string_view text) {
  if (g_bDiskLogActive.load()) dayPending_.append(text);
}

// One write per line (and one for the start of a line still open), so that
// a line reaches the file as soon as it is logged, whole or not at all.
void LogBuffer::FlushDayFile(bool endsLine) {
  if (!dayPending_.empty()) {
    if (dayFile_.IsOpen() && dayFile_.Append(dayPending_.data(), dayPending_.size())) {
      if (dayLost_ > 0) dayLostReportDue_ = true;
    } else {
      if (dayLost_ == 0 && !dayLineLost_) {
        dayLostFile_ = DayFilePath(m_nDayFileWeekday).string();
        dayLostWhy_ = dayFile_.ErrorText();
      }
      dayLineLost_ = true;
    }
    dayPending_.clear();
  }
  if (endsLine) {
    if (dayLineLost_) ++dayLost_;
    dayLineLost_ = false;
  }
}

void LogBuffer::ReportLostDayLines() {
  dayLostReportDue_ = false;
  const std::uint64_t lost = dayLost_;
  if (lost == 0) return;
  const std::string text = "Error: " + std::to_string(lost) +
                           (lost == 1 ? " log line was" : " log lines were") +
                           " not written to \"" + dayLostFile_ + "\" (" + dayLostWhy_ + ").\n";
  dayLost_ = 0;
  WriteText(text, 1);
  // Not taken either: the count stands, to be told next time.
  if (dayLost_ > 0) dayLost_ = lost;
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
  WriteText(text, 1);
}

void LogBuffer::WriteText(std::string_view text, std::uint64_t times) {
  if (times > 1 && !WholeLine(text)) {
    for (std::uint64_t i = 0; i < times; ++i) WriteText(text, 1);
    return;
  }
  ++writeDepth_;
  if (times > 1 && !m_bAtLineStart) {
    // The first ends the line under way; the others are whole lines.
    WriteUnfolded(text);
    --times;
  }
  std::vector<std::string> summaries;
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    const size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
    if (m_bAtLineStart && nl != std::string_view::npos && nl > 0) {
      // A whole line: written unless it repeats a line of this interval.
      const std::int64_t now = clock_.MonotonicMs();
      repeats_.TakeDue(now, false, summaries);
      const bool write = repeats_.Admit(text.substr(0, nl), now, times, summaries);
      WriteSummaries(summaries);
      if (write) WriteUnfolded(text.substr(0, end));
    } else {
      WriteUnfolded(text.substr(0, end));
    }
    text.remove_prefix(end);
  }
  --writeDepth_;
  if (writeDepth_ == 0 && dayLostReportDue_ && m_bAtLineStart) ReportLostDayLines();
}

void LogBuffer::WriteSummaries(std::vector<std::string>& summaries) {
  for (const std::string& line : summaries) WriteUnfolded(line);
  summaries.clear();
}

void LogBuffer::OnTimer() {
  OnDrainQueue();
  if (repeats_.Empty() || !m_bAtLineStart) return;
  std::vector<std::string> summaries;
  repeats_.TakeDue(clock_.MonotonicMs(), false, summaries);
  WriteSummaries(summaries);
}

void LogBuffer::FlushRepeats() {
  OnDrainQueue();
  std::vector<std::string> summaries;
  repeats_.TakeDue(clock_.MonotonicMs(), true, summaries);
  if (summaries.empty()) return;
  if (!m_bAtLineStart) WriteUnfolded("\n");
  WriteSummaries(summaries);
}

void LogBuffer::WriteUnfolded(std::string_view text) {
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
        FlushDayFile(true);
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
      FlushDayFile(false);
      break;
    }
    const std::string_view piece = text.substr(0, nl);
    Emit(piece);
    NewLine();
    m_bAtLineStart = true;
    ToDayFile(piece);
    ToDayFile("\n");
    FlushDayFile(true);
    text.remove_prefix(nl + 1);
  }
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
