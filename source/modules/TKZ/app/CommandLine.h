// The server's command line: "<database subdirectory>[ <database name>]".
// The text is the program's arguments joined by single blanks.
#pragma once

#include <string>
#include <string_view>

struct SiteChoice {
  std::string directory;      // database subdirectory; empty: none given
  std::string name;           // database name; empty: the default files
  std::string databaseFile;   // "drovana.mdb" or name + ".mdb"
  std::string workgroupFile;  // "drovana.mdw" or name + ".mdw"
  std::string windowTitle;    // "Drovana - TKZ" or "Calvera - TKZ"
  std::string longTitle;      // "Drovana Communications Server" or "Calvera ..."
};

// Leading white space is ignored.  The text before the last blank names the
// directory (all of it when there is no blank); the text after it, without
// leading white space and cut before its first '.' or blank, names the
// database and workgroup files and selects the Calvera titles.
SiteChoice ParseCommandLine(std::string_view text);

// argv[1..argc-1] joined by single blanks.
std::string JoinArguments(int argc, const char* const* argv);
