#include "rowcodec.h"

#include <cmath>
#include <cstring>

namespace dao {
namespace {

int64_t IntegerOf(sqlite3_stmt* s, int col) {
  switch (sqlite3_column_type(s, col)) {
    case SQLITE_NULL: return 0;
    case SQLITE_FLOAT: {
      double d = sqlite3_column_double(s, col);
      if (!std::isfinite(d)) return 0;
      if (d > 9.0e18) return INT64_MAX;
      if (d < -9.0e18) return INT64_MIN;
      return static_cast<int64_t>(d);
    }
    default: return sqlite3_column_int64(s, col);
  }
}

int64_t Clamp(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

}  // namespace

bool BindingFits(const Binding& b, size_t record_size) {
  if (b.column == nullptr) return false;
  size_t need = 0;
  switch (b.type) {
    case BindType::kI16: need = 2; break;
    case BindType::kI32: need = 4; break;
    case BindType::kU8: need = 1; break;
    case BindType::kDate: need = 8; break;
    case BindType::kText: need = 1; break;
  }
  if (b.type == BindType::kDate || b.type == BindType::kText) {
    if (b.size < need) return false;
  } else if (b.size != need) {
    return false;
  }
  return static_cast<size_t>(b.offset) + b.size <= record_size && b.offset <= record_size;
}

size_t Utf8Cut(std::string_view text, size_t max) {
  if (text.size() <= max) return text.size();
  size_t n = max;
  // Back up over continuation bytes to the lead byte of the cut sequence,
  // then drop that whole sequence.
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

void StoreColumn(sqlite3_stmt* s, int col, const Binding& b, uint8_t* record) {
  uint8_t* at = record + b.offset;
  switch (b.type) {
    case BindType::kI16: {
      int16_t v = static_cast<int16_t>(Clamp(IntegerOf(s, col), INT16_MIN, INT16_MAX));
      std::memcpy(at, &v, 2);
      break;
    }
    case BindType::kI32: {
      int32_t v = static_cast<int32_t>(Clamp(IntegerOf(s, col), INT32_MIN, INT32_MAX));
      std::memcpy(at, &v, 4);
      break;
    }
    case BindType::kU8: {
      // -128..-1 keep their byte pattern (true, -1, reads 0xFF).
      int64_t v = Clamp(IntegerOf(s, col), -128, 255);
      at[0] = static_cast<uint8_t>(v & 0xFF);
      break;
    }
    case BindType::kDate: {
      double d = sqlite3_column_type(s, col) == SQLITE_NULL ? 0.0 : sqlite3_column_double(s, col);
      if (!std::isfinite(d)) d = 0.0;
      std::memset(at, 0, b.size);
      std::memcpy(at, &d, 8);
      break;
    }
    case BindType::kText: {
      std::memset(at, 0, b.size);
      if (sqlite3_column_type(s, col) == SQLITE_NULL) break;
      const unsigned char* t = sqlite3_column_text(s, col);
      if (!t) break;
      std::string_view text(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(s, col)));
      // An embedded NUL ends the text as a C string would.
      text = text.substr(0, std::strlen(text.data()) < text.size() ? std::strlen(text.data()) : text.size());
      size_t n = Utf8Cut(text, b.size - 1);
      std::memcpy(at, text.data(), n);
      break;
    }
  }
}

}  // namespace dao
