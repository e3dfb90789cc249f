// The rack-message layer as the document's handler files see it: the
// document's header first, then the layer's.  Both headers declare the base
// of a rack's own zone (10000) under the same name; the layer's copy is
// renamed here so that the two can meet in one file.  The value is the same.
#pragma once

#include "Doc.h"

#define kRackZoneBase kCommRackZoneBase
#include "Comm.h"
#undef kRackZoneBase
