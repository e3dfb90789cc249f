#include "QtServer.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <memory>

#include "QtFrontEnd.h"
#include "Server.h"

int RunQtServer(int argc, char** argv, StopSignals& stopSignals) {
  // Qt takes its own options out of the arguments it is given; the server's
  // command line is never parsed for options, so Qt sees only the name.
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  QApplication app(qtArgc, qtArgv);
  QApplication::setApplicationName(QStringLiteral("TKZ_App"));
  // The frame hides its window and keeps running behind the icon.
  QApplication::setQuitOnLastWindowClosed(false);

  QtMessageBox box;
  QtFrameWindow window;
  QtTray tray;
  QtLoginFactory login;
  TKZServer::FrontEnd frontEnd;
  frontEnd.headless = false;
  frontEnd.messageBox = &box;
  frontEnd.window = &window;
  frontEnd.tray = &tray;
  frontEnd.login = &login;
  frontEnd.clipboard = &window;
  frontEnd.dialogs = &window;
  TKZServer server(frontEnd);
  window.SetFrame(&server.Frame());
  // A stop signal while start-up waits in a message box (a fatal error box
  // runs its own event loop) closes the box; the stop itself is carried out
  // once start-up has returned, so it cannot leave the process hanging.
  int stopsDuringStart = 0;
  std::unique_ptr<QSocketNotifier> early;
  if (stopSignals.Fd() >= 0) {
    early = std::make_unique<QSocketNotifier>(stopSignals.Fd(), QSocketNotifier::Read);
    QObject::connect(early.get(), &QSocketNotifier::activated, [&] {
      stopsDuringStart += stopSignals.Take();
      if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) dialog->reject();
    });
  }
  const bool started = server.Start(argc, argv);
  early.reset();
  if (!started) return 1;
  stopSignals.LoopTakesOver();

  CMainFrame& frame = server.Frame();
  QSocketNotifier queue(frame.QueueFd(), QSocketNotifier::Read);
  QObject::connect(&queue, &QSocketNotifier::activated, [&] {
    frame.PumpMessages();
    if (frame.Closed()) QCoreApplication::exit(0);
  });
  std::unique_ptr<QSocketNotifier> stop;
  if (stopSignals.Fd() >= 0) {
    stop = std::make_unique<QSocketNotifier>(stopSignals.Fd(), QSocketNotifier::Read);
    QObject::connect(stop.get(), &QSocketNotifier::activated, [&] {
      server.OnStopSignals(stopSignals.Take());
      if (frame.Closed()) QCoreApplication::exit(0);
    });
  }
  if (stopsDuringStart > 0) server.OnStopSignals(stopsDuringStart);
  if (!frame.Closed()) QApplication::exec();
  return server.Finish();
}
