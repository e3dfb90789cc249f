#include "CompletionText.h"

#include <cstdio>
#include <cstring>

const std::string& CompletionArg::Str() const {
  static const std::string kEmpty;
  return IsText() ? std::get<std::string>(value_) : kEmpty;
}

namespace {

// Appends printf output of one conversion, keeping the whole text bounded.
template <typename T>
void AppendSpec(std::string& out, const std::string& spec, T value) {
  char buf[kCompletionTextMax + 1];
  int n = std::snprintf(buf, sizeof buf, spec.c_str(), value);
  if (n > 0) out.append(buf, std::min(static_cast<size_t>(n), sizeof buf - 1));
}

}  // namespace

std::string CompletionText::Format() const {
  std::string out;
  if (format == nullptr) return out;
  int next = 0;  // next argument to consume
  const char* p = format;
  while (*p != '\0' && out.size() < kCompletionTextMax) {
    if (*p != '%') {
      out.push_back(*p++);
      continue;
    }
    const char* start = p++;
    if (*p == '%') {
      out.push_back('%');
      ++p;
      continue;
    }
    // flags, width and precision, bounded to three digits each
    std::string spec = "%";
    while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) spec.push_back(*p++);
    int digits = 0;
    while (*p >= '0' && *p <= '9' && digits < 3) spec.push_back(*p++), ++digits;
    bool ok = !(*p >= '0' && *p <= '9');
    if (ok && *p == '.') {
      spec.push_back(*p++);
      digits = 0;
      while (*p >= '0' && *p <= '9' && digits < 3) spec.push_back(*p++), ++digits;
      ok = !(*p >= '0' && *p <= '9');
    }
    while (ok && (*p == 'h' || *p == 'l')) ++p;  // all arguments are 32-bit
    const char conv = ok ? *p : '\0';
    if (conv == '\0' || std::strchr("diuxXocs", conv) == nullptr) {
      // Not a conversion we format: copy it as it stands.
      const char* end = (*p != '\0') ? p + 1 : p;
      out.append(start, end);
      p = end;
      continue;
    }
    ++p;
    const CompletionArg empty;
    const CompletionArg& arg = next < 3 ? args[next] : empty;
    ++next;
    if (conv == 's') {
      if (arg.IsInt())
        AppendSpec(out, spec + "s", std::to_string(arg.Int()).c_str());
      else
        AppendSpec(out, spec + "s", arg.Str().c_str());
    } else if (arg.IsText()) {
      AppendSpec(out, spec + "s", arg.Str().c_str());
    } else if (conv == 'd' || conv == 'i' || conv == 'c') {
      AppendSpec(out, spec + conv, static_cast<int>(arg.Int()));
    } else {
      AppendSpec(out, spec + conv, static_cast<unsigned>(arg.Int()));
    }
  }
  if (out.size() > kCompletionTextMax) out.resize(kCompletionTextMax);
  return out;
}
