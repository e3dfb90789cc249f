// Starts the installation medium's programs on Linux.
//
// The command line is split at blanks into a program and its arguments.
// The program's path is taken relative to the base directory (the current
// directory unless given), with '\' read as '/' and each name matched
// without regard to case when no exact match exists.  A Windows extension
// (.exe, .com, .bat, .cmd) is dropped, and the Linux form of the program is
// looked for:
//   1. <path> itself, when it is an executable file: run directly;
//   2. <path>.sh: run through /bin/sh (so it needs no execute bit).
// So "data\setup" runs data/setup or data/setup.sh, and "autoutil.bat
// readme" runs autoutil or autoutil.sh with the argument "readme".  When
// neither exists the start fails with a message that says whether only a
// Windows program was found.
//
// The program is started detached (its own session, not a child of the
// launcher) and inherits the environment and standard streams.  The
// request's window mode is not applied: a Linux program opens its own
// windows, and another program's window cannot be minimised from here.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "ProgramStarter.h"

namespace startell {

struct ResolvedCommand {
  std::vector<std::string> argv;  // argv[0] is the file to execute
  std::string error;              // non-empty when nothing can be run
};

class PosixProgramStarter final : public ProgramStarter {
 public:
  // Programs are looked for under the current directory at each start.
  PosixProgramStarter();
  // Programs are looked for under `base`.
  explicit PosixProgramStarter(std::filesystem::path base);

  StartResult Start(const StartRequest& request) override;

  // The argument vector that Start would execute, or why there is none.
  ResolvedCommand Resolve(const std::string& commandLine) const;

 private:
  std::filesystem::path Base() const;

  std::filesystem::path base_;  // empty: the current directory
};

}  // namespace startell
