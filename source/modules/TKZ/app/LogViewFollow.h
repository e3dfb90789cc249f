// Where the log window scrolls while lines come in: it follows the end of
// the log only while it shows the end and nothing is selected.  Scrolled
// back, or with text marked, the same lines stay in view (also when the
// oldest line goes at the line cap), so a selection does not drift under
// the pointer and Copy copies what is marked.  Scrolling back to the end,
// with nothing selected, follows again.
//
// The window implements LogScrollPort and runs each change of its text
// through AddText or RemoveOldestLine.
//
// Threads: the log window's thread only.
// Ownership: borrows the port, which must outlive it.
#pragma once

#include <functional>

class LogScrollPort {
 public:
  virtual ~LogScrollPort() = default;
  // The log's last line is in view.
  virtual bool AtEnd() const = 0;
  virtual bool HasSelection() const = 0;
  // The line at the top of the view, from 0.
  virtual int FirstVisibleLine() const = 0;
  // Puts `line` at the top of the view (as far as the text allows).
  virtual void ScrollToLine(int line) = 0;
  virtual void ScrollToEnd() = 0;
};

class LogViewFollow {
 public:
  explicit LogViewFollow(LogScrollPort& view) : view_(view) {}

  // `insert` adds text at the end of the window's text.
  void AddText(const std::function<void()>& insert) { Change(insert, 0); }
  // `remove` takes the window's first line away.
  void RemoveOldestLine(const std::function<void()>& remove) { Change(remove, 1); }

  // The view follows the end now.
  bool Following() const;

 private:
  void Change(const std::function<void()>& apply, int linesRemovedAbove);

  LogScrollPort& view_;
};
