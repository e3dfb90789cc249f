// The Description of a fault row: the fault type's DisplayFormat (a printf
// format from tblFaultType) filled with a record's three description
// arguments.
//
// The format is data, so it is interpreted here rather than handed to
// printf: each conversion takes the next of the three arguments (none left,
// or an argument of kind none: 0 or an empty text), a text argument under a
// number conversion prints as text, a number under %s prints its digits,
// %c prints a printable character or '?', widths and precisions are held to
// 64, and %n, %p, '*' and unknown conversions are copied as they
// stand.  Nothing is read beyond the three arguments and the format's
// bytes.
//
// No state; any thread.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "FaultRecord.h"

std::string FormatFaultDescription(std::string_view format, std::span<const FaultArg, 3> args);
