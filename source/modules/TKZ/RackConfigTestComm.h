// theComm as the rack configuration tests set it up: the document's rack
// kinds, the straight-line level table, mux types 1 (speed 3, protocol 4)
// and 2 (speed 7, protocol 8).
#pragma once

#include <cstdint>

#include "CommPorts.h"

void InstallTestComm(RackDocPort* kinds);
void RemoveTestComm();
uint8_t TestCommToLevel(int percent);
uint8_t TestCommToPercent(uint8_t level);
