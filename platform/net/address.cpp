#include <cstdio>
#include <string>

#include "net/backend.h"

namespace net {

std::string FormatAddress(uint32_t a) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", (a >> 24) & 0xFFu, (a >> 16) & 0xFFu,
                (a >> 8) & 0xFFu, a & 0xFFu);
  return buf;
}

std::string FormatEndpoint(Endpoint e) {
  return FormatAddress(e.address) + ":" + std::to_string(e.port);
}

bool ParseAddress(const char* text, uint32_t* address) {
  if (text == nullptr) return false;
  uint32_t result = 0;
  const char* p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (*p != '.') return false;
      ++p;
    }
    if (*p < '0' || *p > '9') return false;
    unsigned value = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
      if (++digits > 3) return false;
      value = value * 10 + static_cast<unsigned>(*p - '0');
      ++p;
    }
    if (value > 255) return false;
    result = (result << 8) | value;
  }
  if (*p != '\0') return false;
  if (address != nullptr) *address = result;
  return true;
}

}  // namespace net
