#include "LogViewFollow.h"

#include <algorithm>

bool LogViewFollow::Following() const { return view_.AtEnd() && !view_.HasSelection(); }

void LogViewFollow::Change(const std::function<void()>& apply, int linesRemovedAbove) {
  // Decided before the change: new text moves the end out of view.
  const bool follow = Following();
  const int top = view_.FirstVisibleLine();
  apply();
  if (follow)
    view_.ScrollToEnd();
  else
    view_.ScrollToLine(std::max(0, top - linesRemovedAbove));
}
