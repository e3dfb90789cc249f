#include "TextField.h"

#include <cstring>

std::string_view CutText(std::string_view text, size_t maxBytes) {
  const size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  if (text.size() <= maxBytes) return text;
  size_t n = maxBytes;
  // Back off over continuation bytes to the start of the cut sequence, and
  // drop that sequence too when it does not fit whole.
  size_t lead = n;
  while (lead > 0 && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) --lead;
  if (lead < n || (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) n = lead;
  return text.substr(0, n);
}

void CopyFieldText(char* dst, size_t size, std::string_view text) {
  if (size == 0) return;
  const std::string_view cut = CutText(text, size - 1);
  std::memcpy(dst, cut.data(), cut.size());
  std::memset(dst + cut.size(), 0, size - cut.size());
}
