// TKZ_App: the communications server.
//   TKZ_App <database subdirectory> [<database name>]
#include <clocale>
#include <memory>

#include "App.h"
#include "Doc.h"
#include "MessageBox.h"

int main(int argc, char** argv) {
  // Dates in the log follow the operator's locale.
  std::setlocale(LC_TIME, "");
  StreamMessageBox messageBox(stderr);
  theApp.SetMessageBox(&messageBox);
  theApp.SetHeadless(true);
  theApp.SetCommandLine(argc, argv);
  // The comm thread is not part of this program yet: the document opens the
  // database and logs in, and says that communications are not started.
  theApp.SetDocumentFactory([&messageBox]() -> std::unique_ptr<CDocument> {
    DocPorts ports;
    ports.app = &theApp;
    ports.messageBox = &messageBox;
    return std::make_unique<CTKZDoc>(ports);
  });
  if (!theApp.InitInstance()) return 1;
  const int code = theApp.ExitInstance();
  theApp.SetDocumentFactory(nullptr);
  theApp.SetMessageBox(nullptr);
  return code;
}
