// The launcher's windows in Qt 6 Widgets: frmMain with its picture and
// four buttons, and the two confirmation windows frmInfo and frmRuntime.
// Widgets carry the control names as their object names.  Every decision
// is the Launcher's; the windows only forward their buttons and closes.
//
// The view owns its windows.  Create it after the QApplication, then the
// Launcher, then Attach the Launcher before showing Main().
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "Launcher.h"

class QLabel;

namespace startell {

class QtLauncherView final : public LauncherView {
 public:
  QtLauncherView();
  ~QtLauncherView() override;

  void Attach(Launcher* launcher);
  QWidget* Main() const;
  QWidget* FormWindow(Form form) const;
  // Replaces the message box that reports errors (tests).
  void SetErrorSink(std::function<void(const std::string&)> sink);

  Rect ScreenArea() const override;
  Rect MainRect() const override;
  void SetMainRect(const Rect& r) override;
  bool MainMinimised() const override;
  void ShowForm(Form form) override;
  void CloseForm(Form form) override;
  void EndProgram() override;
  void ReportError(const std::string& text) override;

 private:
  struct Windows;
  // Gives the main window the outer rectangle last set.
  void PlaceMain();

  std::unique_ptr<Windows> w_;
  std::function<void(const std::string&)> errorSink_;
};

}  // namespace startell
