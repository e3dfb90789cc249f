// TKZ_App: the communications server.
//   TKZ_App <database subdirectory> [<database name>]
// With a display (DISPLAY or WAYLAND_DISPLAY) and the Qt front end built in,
// the server shows its window behind a notification-area icon; without one,
// or with DROVANA_HEADLESS=1, it runs headless: log lines on standard
// output, message boxes on standard error.  SIGINT and SIGTERM shut it down
// in order (a second one stops communications at once).
#include <clocale>
#include <cstdlib>
#include <cstring>

#include "Server.h"

#ifdef DROVANA_TKZ_QT
#include "QtServer.h"
#endif

namespace {

bool WantHeadless() {
  const char* forced = std::getenv("DROVANA_HEADLESS");
  if (forced != nullptr && *forced != '\0' && std::strcmp(forced, "0") != 0) return true;
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x == nullptr || *x == '\0') && (wayland == nullptr || *wayland == '\0');
}

}  // namespace

int main(int argc, char** argv) {
  // Dates in the log follow the operator's locale.
  std::setlocale(LC_TIME, "");
  // Before any thread starts, so that every thread leaves them to the loop.
  StopSignals signals;
#ifdef DROVANA_TKZ_QT
  if (!WantHeadless()) return RunQtServer(argc, argv, signals);
#else
  (void)WantHeadless;
#endif
  TKZServer server(TKZServer::FrontEnd{});
  if (!server.Start(argc, argv)) return 1;
  RunHeadless(server, signals);
  return server.Finish();
}
