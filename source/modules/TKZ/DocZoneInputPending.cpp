// Zone input operations that other concerns call before the zone input code
// provides them.  The zone input code removes its entry here when it is
// built.
#include "Doc.h"
#include "LogSink.h"

void CTKZDoc::SwitchCleanerLights(InProcRequest* request) {
  if (request == nullptr) return;
  LogPrintf("Error: Cleaner light switches are not available: zone %d, input %d not switched.\n",
            request->message.args[0].Int(), request->message.args[1].Int());
}
