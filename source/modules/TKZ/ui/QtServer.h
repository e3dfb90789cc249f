// Runs the server with its Qt window: the frame's queue and the stop
// signals are serviced from Qt's event loop.  Returns the exit status.
#pragma once

class StopSignals;

int RunQtServer(int argc, char** argv, StopSignals& stopSignals);
