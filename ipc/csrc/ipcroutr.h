// Internal interface of module ipcroutr: its state (a member of the library
// instance, see ipcinst.h) and the operations other modules call.
// Must not include ipcinst.h.
#ifndef IPCROUTR_H
#define IPCROUTR_H

struct IpcRoutrState {
};

#endif
