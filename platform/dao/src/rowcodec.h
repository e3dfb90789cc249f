// Internal: storing one result column into a packed record by its binding.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dao/binding.h"

namespace dao {

// The binding's size suits its type and it lies within the record.
bool BindingFits(const Binding& b, size_t record_size);

// Length of the longest prefix of text, at most max bytes, that does not end
// inside a UTF-8 sequence.
size_t Utf8Cut(std::string_view text, size_t max);

// Converts the column's value for the binding and writes it at the
// binding's offset (see binding.h for the rules).
void StoreColumn(sqlite3_stmt* s, int col, const Binding& b, uint8_t* record);

}  // namespace dao
