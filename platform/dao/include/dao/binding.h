// Column bindings of the row-block reads: one binding per column, by column
// name (case-insensitive), into a packed record of the caller.
//   i16, i32, u8   integers; values outside the type's range saturate, except
//                  that -128..-1 keep their byte pattern in a u8 (so the
//                  database's true, -1, reads 0xFF)
//   date           an OLE date as a double at the offset; size 8 or more,
//                  the bytes after the double are zeroed (a valid status)
//   text           NUL-padded to size; at most size-1 bytes are kept, cut
//                  before a UTF-8 sequence that would not fit whole
// NULL reads as 0, as the zero date, or as an empty text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dao {

enum class BindType : uint8_t { kI16, kI32, kU8, kDate, kText };

struct Binding {
  const char* column;
  BindType type;
  uint32_t offset;
  uint32_t size;
};

}  // namespace dao
