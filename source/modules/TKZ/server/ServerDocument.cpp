// The server's document, made here apart from the rack-message layer's
// headers.
#include "App.h"
#include "Doc.h"
#include "Server.h"

std::unique_ptr<CDocument> MakeServerDocument(MessageBoxPort* box, DocCommPort* comm) {
  DocPorts ports;
  ports.app = &theApp;
  ports.messageBox = box;
  ports.comm = comm;
  return std::make_unique<CTKZDoc>(ports);
}
