// The fuzz targets' reader of their input: one byte at a time, 0 once the
// input is used up, so that a short input still drives every step.
#pragma once

#include <cstddef>
#include <cstdint>

struct FuzzInput {
  const uint8_t* p;
  size_t n;
  uint8_t Byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
};
