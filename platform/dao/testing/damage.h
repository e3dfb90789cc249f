// Tests only: a database file with one damaged page, as a torn write or a
// failing disk leaves it.
#pragma once

#include <string>

namespace dao::testing {

// Damages the key of the second row of `table`, a table of exactly three
// short rows on its one leaf page, keys below 127: the page still lists
// every row, but the third one is no longer found by its key.
// The WAL is checkpointed into the file first; no other connection may be
// open.  Returns an empty text, or what went wrong.
std::string DamageSecondRowKey(const std::string& path, const std::string& table);

}  // namespace dao::testing
