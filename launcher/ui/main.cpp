// Startell: the installation medium's launcher.  Run it from the medium's
// top directory; it starts the programs it offers from there.
#include <QApplication>

#include "Launcher.h"
#include "PosixProgramStarter.h"
#include "QtLauncherView.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Startell"));

  platform::settings::Profile profile(startell::kSettingsFolder, startell::kSettingsName);
  startell::PosixProgramStarter starter;
  startell::QtLauncherView view;
  startell::Launcher launcher(view, starter, profile);
  view.Attach(&launcher);
  launcher.Load();
  view.Main()->show();
  return app.exec();
}
