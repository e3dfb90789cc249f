// The direct-connect link is not built yet: its entry points do nothing, so
// the comm thread runs without serial lines.
#include "DirectLink.h"

void DirectLinkStart() {}
void MsClockSet(uint8_t, uint8_t, uint8_t, uint8_t) {}
void DirectLinkTick() {}
