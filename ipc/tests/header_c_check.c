/* The public header compiles as C and declares the records as sized. */
#include "tessio32.h"

_Static_assert(sizeof(IpcComProcHdr) == 16, "IpcComProcHdr");
_Static_assert(sizeof(IpcEvntHdr) == 18, "IpcEvntHdr");
_Static_assert(sizeof(IpcLogEvnt) == 34, "IpcLogEvnt");

int tessio32_header_c_check(void) {
  IpcComProcEntry table[2] = {{1, 0, 0}, {0, 0, 0}};
  return table[1].procId + (int)sizeof(IpcVersion);
}
