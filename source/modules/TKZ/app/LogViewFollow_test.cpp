// The log window follows the end only while it shows the end with nothing
// selected; otherwise the lines in view stay in view, also when the oldest
// line goes at the cap.
#include "LogViewFollow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

namespace {

// A window of kRows rows over numbered lines.
class FakeLogView final : public LogScrollPort {
 public:
  static constexpr int kRows = 5;

  explicit FakeLogView(int lines) {
    for (int i = 0; i < lines; ++i) Append();
  }
  void Append() { lines_.push_back(next_++); }
  void RemoveFirst() {
    lines_.pop_front();
    top_ = std::min(top_, MaxTop());
  }
  int TopLineId() const { return lines_[static_cast<size_t>(top_)]; }
  int MaxTop() const { return std::max(0, static_cast<int>(lines_.size()) - kRows); }

  bool AtEnd() const override { return top_ >= MaxTop(); }
  bool HasSelection() const override { return selected; }
  int FirstVisibleLine() const override { return top_; }
  void ScrollToLine(int line) override { top_ = std::clamp(line, 0, MaxTop()); }
  void ScrollToEnd() override { top_ = MaxTop(); }

  bool selected = false;

 private:
  std::deque<int> lines_;
  int next_ = 0;
  int top_ = 0;
};

TEST(LogViewFollow, FollowsTheEndOnlyAtTheEndWithNothingSelected) {
  struct Case {
    const char* what;
    int scrollTo;  // -1: the end
    bool selected;
    bool follows;
  } cases[] = {
      {"at the end", -1, false, true},
      {"at the end with text marked", -1, true, false},
      {"scrolled back", 3, false, false},
      {"scrolled back with text marked", 3, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeLogView view(20);
    LogViewFollow follow(view);
    if (c.scrollTo < 0)
      view.ScrollToEnd();
    else
      view.ScrollToLine(c.scrollTo);
    view.selected = c.selected;
    const int topBefore = view.TopLineId();
    EXPECT_EQ(follow.Following(), c.follows);
    for (int i = 0; i < 3; ++i) follow.AddText([&] { view.Append(); });
    if (c.follows) {
      EXPECT_TRUE(view.AtEnd());
    } else {
      EXPECT_EQ(view.TopLineId(), topBefore);
      EXPECT_FALSE(view.AtEnd());
    }
  }
}

// At the line cap every new line removes the oldest: the lines in view
// must not creep up under a selection.
TEST(LogViewFollow, LinesInViewStayWhenTheOldestLineGoes) {
  FakeLogView view(20);
  LogViewFollow follow(view);
  view.ScrollToLine(6);
  view.selected = true;
  const int top = view.TopLineId();
  for (int i = 0; i < 4; ++i) {
    follow.RemoveOldestLine([&] { view.RemoveFirst(); });
    follow.AddText([&] { view.Append(); });
  }
  EXPECT_EQ(view.TopLineId(), top);
  EXPECT_EQ(view.FirstVisibleLine(), 2);

  // The top line itself can go: the view stays at the top.
  follow.RemoveOldestLine([&] { view.RemoveFirst(); });
  follow.RemoveOldestLine([&] { view.RemoveFirst(); });
  follow.RemoveOldestLine([&] { view.RemoveFirst(); });
  EXPECT_EQ(view.FirstVisibleLine(), 0);
}

TEST(LogViewFollow, ScrollingBackToTheEndFollowsAgain) {
  FakeLogView view(20);
  LogViewFollow follow(view);
  view.ScrollToLine(2);
  follow.AddText([&] { view.Append(); });
  EXPECT_FALSE(view.AtEnd());
  view.ScrollToEnd();  // the operator scrolls down
  follow.AddText([&] { view.Append(); });
  follow.RemoveOldestLine([&] { view.RemoveFirst(); });
  follow.AddText([&] { view.Append(); });
  EXPECT_TRUE(view.AtEnd());
}

}  // namespace
