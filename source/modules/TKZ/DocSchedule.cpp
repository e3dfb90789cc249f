// Schedules and macros: the schedule queue of today and tomorrow, the due
// events, and the completion of scheduled events.
#include "Doc.h"

// The schedule load, queue and due-event run come with the schedules; until
// then the queue stays empty and the load succeeds.
bool CTKZDoc::LoadSchedule() { return true; }
void CTKZDoc::FlushSchedule() { m_pScheduleHead = nullptr; }
void CTKZDoc::RunDueEvents() {}
void CTKZDoc::WriteScheduleState(InProcRequest* /*request*/, int16_t /*state*/) {}
