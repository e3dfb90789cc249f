// Zone inputs and cleaner status.
#include "Doc.h"

// The cleaner-zone status load comes with the zone input code.
void CTKZDoc::LoadCleanerStatus() {}
