// The rack-message layer's set-up for the rack configuration tests, kept
// apart from the document's headers.
#include "Comm.h"
#include "RackConfigTestComm.h"

void InstallTestComm(RackDocPort* kinds) {
  theComm.SetDocPort(kinds);
  theComm.BuildLevelTables({});
  if (!theComm.FindMuxType(1)) {
    theComm.AddMuxType(1, 3, 4);
    theComm.AddMuxType(2, 7, 8);
  }
}

void RemoveTestComm() { theComm.SetDocPort(nullptr); }

uint8_t TestCommToLevel(int percent) { return theComm.ToLevel(percent); }
uint8_t TestCommToPercent(uint8_t level) { return theComm.ToPercent(level); }
