#include "Launcher.h"

#include <algorithm>

#include "Module1.h"

namespace startell {

Launcher::Launcher(LauncherView& view, ProgramStarter& starter,
                   platform::settings::Profile& profile)
    : view_(view), starter_(starter), profile_(profile) {}

void Launcher::Load() {
  profile_.Load();
  view_.SetMainRect(FitToScreen(ReadMainRect(profile_), view_.ScreenArea()));
  releaseNotesRead_ = false;
}

bool Launcher::Unload() {
  if (unloaded_) return true;
  unloaded_ = true;
  while (!open_.empty()) Close(open_.back());
  if (view_.MainMinimised()) return true;
  const Rect r = view_.MainRect();
  // Re-read so that other keys written meanwhile survive; an unreadable
  // file is left alone rather than replaced.
  if (!profile_.Load()) return false;
  WriteMainRect(profile_, r);
  return profile_.Save();
}

void Launcher::OnInstall() {
  if (releaseNotesRead_)
    Report(StartProductInstaller(starter_));
  else
    Show(Form::frmInfo);
}

void Launcher::OnRelease() {
  if (Report(starter_.Start(ReleaseNotesRequest()))) releaseNotesRead_ = true;
}

void Launcher::OnRuntime() { Show(Form::frmRuntime); }

void Launcher::OnQuit() {
  Unload();
  view_.EndProgram();
}

void Launcher::OnYes() {
  Close(Form::frmInfo);
  releaseNotesRead_ = true;
  Report(StartProductInstaller(starter_));
}

void Launcher::OnNo() { Close(Form::frmInfo); }

void Launcher::OnRuntimeInstall() {
  Close(Form::frmRuntime);
  Report(StartRuntimeInstaller(starter_));
}

void Launcher::OnRuntimeCancel() { Close(Form::frmRuntime); }

void Launcher::FormClosed(Form form) { std::erase(open_, form); }

void Launcher::Show(Form form) {
  if (std::find(open_.begin(), open_.end(), form) == open_.end())
    open_.push_back(form);
  view_.ShowForm(form);
}

void Launcher::Close(Form form) {
  if (std::find(open_.begin(), open_.end(), form) == open_.end()) return;
  std::erase(open_, form);
  view_.CloseForm(form);
}

bool Launcher::Report(const StartResult& r) {
  if (!r.ok) view_.ReportError(r.error);
  return r.ok;
}

}  // namespace startell
