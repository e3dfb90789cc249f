// Parameter rows of a request (tblTKZRequestParam through TKZqryRequestParm,
// whose ValueRID the request engine sets to the request it dispatches), and
// the reading of their values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

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

// A parameter's value as a decimal number (blanks around it allowed); nothing
// for a text that is not one or lies outside the 32-bit range.
std::optional<int32_t> ParamInt(const RequestParamRow& row);
