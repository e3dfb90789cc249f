// The mux-type and level lookup tables.
#include "Doc.h"

// The lookup-table loads come with the rack-message layer's tables.
void CTKZDoc::LoadMuxTypes() {}
void CTKZDoc::LoadLevelTable() {}
