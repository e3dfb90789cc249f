#include "MsClock.h"

namespace {
uint32_t g_msClock = 0;
}

void MsClockSet(uint8_t hour, uint8_t minute, uint8_t second, uint8_t hundredths) {
  g_msClock = uint32_t{hundredths} * 10 + uint32_t{second} * 1000 + uint32_t{minute} * 60000 +
              uint32_t{hour} * 3600000;
}

void MsClockGet(uint32_t* out) { *out = g_msClock; }

uint32_t MsClockSince(const uint32_t* start) { return g_msClock - *start; }
