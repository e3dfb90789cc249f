// Parameter rows of a request (tblTKZRequestParam through TKZqryRequestParm,
// whose ValueRID the request engine sets to the request it dispatches), and
// the reading of numbers from parameter texts, request and macro step
// parameters alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "dao/binding.h"

inline constexpr size_t kParamValueSize = 50;

#pragma pack(push, 1)
struct RequestParamRow {
  int32_t RID;
  int16_t ParamNumber;
  int16_t ParamType;
  char ParamValue[kParamValueSize];
};
#pragma pack(pop)
static_assert(sizeof(RequestParamRow) == 58);
static_assert(offsetof(RequestParamRow, ParamValue) == 8);

inline constexpr dao::Binding kRequestParamBindings[] = {
    {"RID", dao::BindType::kI32, offsetof(RequestParamRow, RID), 4},
    {"ParamNumber", dao::BindType::kI16, offsetof(RequestParamRow, ParamNumber), 2},
    {"ParamType", dao::BindType::kI16, offsetof(RequestParamRow, ParamType), 2},
    {"ParamValue", dao::BindType::kText, offsetof(RequestParamRow, ParamValue), kParamValueSize},
};

// The decimal number at the front of `text` as "%d" reads it: white space
// skipped, an optional sign, then digits; `text` is left just after the
// number, what follows is not looked at.  Nothing, and `text` unchanged,
// when no digit comes first or the number lies outside the 32-bit range.
inline std::optional<int32_t> ScanDecimal(std::string_view& text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t firstDigit = i;
  int64_t v = 0;
  while (i < n && text[i] >= '0' && text[i] <= '9') {
    v = v * 10 + (text[i++] - '0');
    if (v > int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  if (i == firstDigit) return std::nullopt;
  if (negative) v = -v;
  if (v > INT32_MAX) return std::nullopt;
  text.remove_prefix(i);
  return static_cast<int32_t>(v);
}

// The number a text begins with, as above; trailing text is ignored.
inline std::optional<int32_t> LeadingDecimal(std::string_view text) { return ScanDecimal(text); }

// The text of a fixed, NUL-padded field, up to its first NUL.
template <size_t N>
std::string_view FieldText(const char (&field)[N]) {
  return {field, strnlen(field, N)};
}

// A parameter's value: the number its text begins with.
inline std::optional<int32_t> ParamInt(const RequestParamRow& row) { return LeadingDecimal(FieldText(row.ParamValue)); }
