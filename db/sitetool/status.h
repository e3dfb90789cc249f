// The plant's status as the server last wrote it: one line per node
// (tblNode with tblNodeStatus) and per rack (tblRackConfig with
// tblRackStatus), for operators and scripts.
#pragma once

#include <ostream>

#include "request.h"

namespace drovana::site {

// Throws SiteError on a database error.
void PrintPlantStatus(RequestDb& db, std::ostream& out);

}  // namespace drovana::site
