// The completion text of a rack message or a request: a printf-style format
// and three arguments, each nothing, an integer, or a text held by value.
//
// A text argument is owned by the CompletionText (a std::string), so a copy
// of the completion taken into a request stays valid after the message it
// came from is freed; nothing about the arguments is inferred from a result
// code. Formatting matches each conversion with the argument it consumes and
// never reads anything but the three arguments.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

class CompletionArg {
 public:
  CompletionArg() = default;
  CompletionArg(int32_t value) : value_(value) {}  // NOLINT: integers convert implicitly
  static CompletionArg Text(std::string text) {
    CompletionArg a;
    a.value_ = std::move(text);
    return a;
  }

  bool empty() const { return std::holds_alternative<std::monostate>(value_); }
  bool IsInt() const { return std::holds_alternative<int32_t>(value_); }
  bool IsText() const { return std::holds_alternative<std::string>(value_); }
  // The integer (0 unless IsInt) and the text ("" unless IsText).
  int32_t Int() const { return IsInt() ? std::get<int32_t>(value_) : 0; }
  const std::string& Str() const;

  bool operator==(const CompletionArg&) const = default;

 private:
  std::variant<std::monostate, int32_t, std::string> value_;
};

// Longest completion text produced, in characters (a log line holds 1024
// bytes with its terminator).
inline constexpr size_t kCompletionTextMax = 1023;

struct CompletionText {
  // printf format; must point to static text (a string literal). Null means
  // none: the request's default text applies.
  const char* format = nullptr;
  CompletionArg args[3];

  bool empty() const { return format == nullptr; }
  void Set(const char* fmt, CompletionArg a0 = {}, CompletionArg a1 = {}, CompletionArg a2 = {}) {
    format = fmt;
    args[0] = std::move(a0);
    args[1] = std::move(a1);
    args[2] = std::move(a2);
  }
  void Clear() { *this = CompletionText{}; }

  // The format printed with its arguments, at most kCompletionTextMax
  // characters. Integer conversions (d i u x X o c) take an integer argument
  // (a text argument prints as text, a missing one as 0); %s takes a text (an
  // integer prints in decimal, a missing one as ""); flags, width and
  // precision are honoured, length modifiers ignored; "%%" is a percent sign;
  // any other conversion (%n, %p, %f, '*' widths ...) is copied as it stands
  // and consumes nothing. An empty completion formats as "".
  std::string Format() const;
};
