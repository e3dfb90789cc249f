#include "QtServer.h"

#include <QApplication>
#include <QSocketNotifier>

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
  if (!server.Start(argc, argv)) return 1;

  CMainFrame& frame = server.Frame();
  QSocketNotifier queue(frame.QueueFd(), QSocketNotifier::Read);
  QObject::connect(&queue, &QSocketNotifier::activated, [&] {
    frame.PumpMessages();
    if (frame.Closed()) QCoreApplication::quit();
  });
  std::unique_ptr<QSocketNotifier> stop;
  if (stopSignals.Fd() >= 0) {
    stop = std::make_unique<QSocketNotifier>(stopSignals.Fd(), QSocketNotifier::Read);
    QObject::connect(stop.get(), &QSocketNotifier::activated, [&] {
      server.OnStopSignals(stopSignals.Take());
      if (frame.Closed()) QCoreApplication::quit();
    });
  }
  if (!frame.Closed()) QApplication::exec();
  return server.Finish();
}
