// TKZ_App: the communications server.
//   TKZ_App <database subdirectory> [<database name>]
#include "App.h"
#include "MessageBox.h"

int main(int argc, char** argv) {
  StreamMessageBox messageBox(stderr);
  theApp.SetMessageBox(&messageBox);
  theApp.SetHeadless(true);
  theApp.SetCommandLine(argc, argv);
  if (!theApp.InitInstance()) return 1;
  const int code = theApp.ExitInstance();
  theApp.SetMessageBox(nullptr);
  return code;
}
