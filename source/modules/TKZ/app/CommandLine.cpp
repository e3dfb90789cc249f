#include "CommandLine.h"

namespace {

std::string_view SkipWhiteSpace(std::string_view s) {
  const size_t b = s.find_first_not_of(" \t\r\n\f\v");
  return b == std::string_view::npos ? std::string_view() : s.substr(b);
}

}  // namespace

SiteChoice ParseCommandLine(std::string_view text) {
  SiteChoice c;
  c.databaseFile = "drovana.mdb";
  c.workgroupFile = "drovana.mdw";
  c.windowTitle = "Drovana - TKZ";
  c.longTitle = "Drovana Communications Server";

  const std::string_view line = SkipWhiteSpace(text);
  const size_t blank = line.rfind(' ');
  const bool split = blank != std::string_view::npos && blank > 0;
  c.directory = std::string(split ? line.substr(0, blank) : line);
  if (!split) return c;

  std::string_view rest = SkipWhiteSpace(line.substr(blank));
  rest = rest.substr(0, rest.find_first_of(". "));
  if (rest.empty()) return c;
  c.name = std::string(rest);
  c.databaseFile = c.name + ".mdb";
  c.workgroupFile = c.name + ".mdw";
  c.windowTitle = "Calvera - TKZ";
  c.longTitle = "Calvera Communications Server";
  return c;
}

std::string JoinArguments(int argc, const char* const* argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    if (argv[i] != nullptr) text += argv[i];
  }
  return text;
}
