// The launcher's behaviour: the main window (frmMain) with its four
// buttons, the warning before installing without the release notes
// (frmInfo) and the confirmation before the runtime installer (frmRuntime).
// Front ends implement LauncherView and call the handlers below; no rule of
// the launcher lives in a widget.
#pragma once

#include <string>
#include <vector>

#include "Placement.h"
#include "ProgramStarter.h"
#include "platform/settings/settings.h"

namespace startell {

enum class Form { frmInfo, frmRuntime };

class LauncherView {
 public:
  virtual ~LauncherView() = default;
  // The screen's available area in twips; empty when unknown.
  virtual Rect ScreenArea() const = 0;
  // The main window's outer rectangle (its frame included) in twips: the
  // one geometry that is stored and set, so that it comes back unchanged.
  virtual Rect MainRect() const = 0;
  // Places the main window so that its outer rectangle is r (a window
  // manager's frame is taken off the inner size once it is known).
  virtual void SetMainRect(const Rect& r) = 0;
  virtual bool MainMinimised() const = 0;
  // Shows a confirmation window (not modal), or brings it to the front
  // when it is shown already.
  virtual void ShowForm(Form form) = 0;
  // Closes a confirmation window.  The view does not call
  // Launcher::FormClosed for a close it was asked for.
  virtual void CloseForm(Form form) = 0;
  // Closes the main window and ends the program; Launcher::Unload has run.
  virtual void EndProgram() = 0;
  // Tells the user that something failed (a program that could not start).
  virtual void ReportError(const std::string& text) = 0;
};

// Borrows the view, the starter and the settings profile; all three must
// outlive it.  Single-threaded: every call comes from the UI thread.
class Launcher {
 public:
  Launcher(LauncherView& view, ProgramStarter& starter,
           platform::settings::Profile& profile);

  // frmMain loads: the window takes its stored place (fitted to the
  // screen) and the release notes count as not read.
  void Load();
  // frmMain unloads: the confirmation windows close, last opened first,
  // and unless the main window is minimised its place is saved.  Runs
  // once; later calls do nothing and return true.  False when the place
  // could not be saved.
  bool Unload();

  // frmMain's buttons.
  void OnInstall();
  void OnRelease();
  void OnRuntime();
  void OnQuit();
  // frmInfo's buttons.
  void OnYes();
  void OnNo();
  // frmRuntime's buttons.
  void OnRuntimeInstall();
  void OnRuntimeCancel();
  // The user closed a confirmation window by its frame.
  void FormClosed(Form form);

  bool ReleaseNotesRead() const { return releaseNotesRead_; }
  // The shown confirmation windows, in the order they were opened.
  const std::vector<Form>& OpenForms() const { return open_; }

 private:
  void Show(Form form);
  void Close(Form form);
  bool Report(const StartResult& r);

  LauncherView& view_;
  ProgramStarter& starter_;
  platform::settings::Profile& profile_;
  bool releaseNotesRead_ = false;
  bool unloaded_ = false;
  std::vector<Form> open_;
};

}  // namespace startell
