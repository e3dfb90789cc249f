#include "FaultFormat.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

bool IsFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; }
bool IsLength(char c) { return c == 'h' || c == 'l' || c == 'L' || c == 'q' || c == 'j' || c == 'z' || c == 't'; }

// Reads a width or precision, held to kMaxWidth.
constexpr unsigned kMaxWidth = 64;
size_t Digits(std::string_view f, size_t i, std::string& kept) {
  unsigned value = 0;
  bool any = false;
  while (i < f.size() && f[i] >= '0' && f[i] <= '9') {
    value = std::min(kMaxWidth, value * 10 + static_cast<unsigned>(f[i] - '0'));
    any = true;
    ++i;
  }
  if (any) kept += std::to_string(value);
  return i;
}

}  // namespace

std::string FormatFaultDescription(std::string_view f, std::span<const FaultArg, 3> args) {
  std::string out;
  size_t next = 0;
  size_t i = 0;
  while (i < f.size() && f[i] != '\0') {
    const char c = f[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    const size_t start = i++;
    if (i < f.size() && f[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    std::string spec = "%";
    while (i < f.size() && IsFlag(f[i])) spec += f[i++];
    i = Digits(f, i, spec);
    if (i < f.size() && f[i] == '.') {
      spec += f[i++];
      i = Digits(f, i, spec);
    }
    while (i < f.size() && IsLength(f[i])) ++i;
    const char conv = i < f.size() ? f[i] : '\0';
    const bool isInt = conv != '\0' && std::strchr("diouxX", conv) != nullptr;
    const bool isFloat = conv != '\0' && std::strchr("eEfgGaA", conv) != nullptr;
    if (!isInt && !isFloat && conv != 's' && conv != 'c') {
      // Not a conversion this formatter runs: copied as written.
      const size_t end = conv == '\0' ? i : i + 1;
      out.append(f.substr(start, end - start));
      i = end;
      continue;
    }
    ++i;
    const FaultArg arg = next < args.size() ? args[next] : FaultArg{};
    ++next;
    char buf[160];
    buf[0] = '\0';
    const bool text = arg.kind == FaultArg::Kind::kText;
    const char* t = text && arg.text != nullptr ? arg.text : "";
    if (conv == 's' || (text && conv != 'c')) {
      std::string s = spec + "s";
      std::string value = text ? std::string(t) : std::to_string(arg.number);
      if (!text && arg.kind == FaultArg::Kind::kNone && conv == 's') value.clear();
      std::snprintf(buf, sizeof buf, s.c_str(), value.c_str());
    } else if (conv == 'c') {
      const int v = text ? static_cast<unsigned char>(t[0]) : arg.number;
      const char ch = v >= 0x20 && v < 0x7F ? static_cast<char>(v) : '?';
      std::string s = spec + "c";
      std::snprintf(buf, sizeof buf, s.c_str(), ch);
    } else if (isInt) {
      std::string s = spec + conv;
      std::snprintf(buf, sizeof buf, s.c_str(), arg.number);
    } else {
      std::string s = spec + conv;
      std::snprintf(buf, sizeof buf, s.c_str(), static_cast<double>(arg.number));
    }
    out += buf;
    if (out.size() > 4 * kFaultDescriptionSize) break;  // far past what the column keeps
  }
  return out;
}
