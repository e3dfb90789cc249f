#include <gtest/gtest.h>

#include "CompletionText.h"

namespace {

struct Case {
  const char* format;
  CompletionArg a0, a1, a2;
  std::string expected;
};

TEST(CompletionText, FormatsEachConversionWithTheArgumentItConsumes) {
  const Case cases[] = {
      {"Brevant preset %d selected in room %d", 3, 7, {}, "Brevant preset 3 selected in room 7"},
      {"Doc#%d: %d:%s", 4632, 3022, CompletionArg::Text("The record is locked"),
       "Doc#4632: 3022:The record is locked"},
      {"Request failed, Rcode = 0x%04X", 0x19, {}, {}, "Request failed, Rcode = 0x0019"},
      {"Relay cycle count reset for relay %d on rack %d.", 5, 12, {},
       "Relay cycle count reset for relay 5 on rack 12."},
      {"%5d|%-4s|%c", 42, CompletionArg::Text("ab"), 'Z', "   42|ab  |Z"},
      {"%ld and %hd", 5, -6, {}, "5 and -6"},
      {"Complete.", {}, {}, {}, "Complete."},
  };
  for (const auto& c : cases) {
    CompletionText t;
    t.Set(c.format, c.a0, c.a1, c.a2);
    EXPECT_EQ(t.Format(), c.expected) << c.format;
  }
}

TEST(CompletionText, MismatchedOrMissingArgumentsNeverReadBeyondTheThree) {
  const Case cases[] = {
      {"%s", 42, {}, {}, "42"},                          // integer where a text is asked
      {"%d", CompletionArg::Text("x"), {}, {}, "x"},     // text where an integer is asked
      {"%d %d %d %d %s", 1, 2, 3, "1 2 3 0 "},           // a fourth and fifth: nothing there
      {"%s|%d", {}, {}, {}, "|0"},                       // no arguments at all
      {"100%% %n %p %f %*d", 1, 2, 3, "100% %n %p %f %*d"},  // not formatted, nothing consumed
      {"%9999d", 1, {}, {}, "%9999d"},                   // absurd width copied as it stands
      {"trailing %", 1, {}, {}, "trailing %"},
  };
  for (const auto& c : cases) {
    CompletionText t;
    t.Set(c.format, c.a0, c.a1, c.a2);
    EXPECT_EQ(t.Format(), c.expected) << c.format;
  }
}

TEST(CompletionText, OutputIsBoundedAndAnEmptyCompletionFormatsAsNothing) {
  CompletionText t;
  EXPECT_TRUE(t.empty());
  EXPECT_EQ(t.Format(), "");
  t.Set("%s%s%s", CompletionArg::Text(std::string(900, 'a')), CompletionArg::Text(std::string(900, 'b')),
        CompletionArg::Text("c"));
  const std::string s = t.Format();
  EXPECT_EQ(s.size(), kCompletionTextMax);
  EXPECT_EQ(s.substr(0, 900), std::string(900, 'a'));
}

}  // namespace
