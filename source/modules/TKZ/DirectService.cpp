// The direct-connect IO_KRN service is not built yet: its entry points do
// nothing, so the comm thread runs without serial lines.
#include "DirectService.h"

void DirectLinkStart() {}
void DirectLinkTick() {}
