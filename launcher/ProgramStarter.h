// Starting another program, as the launcher asks for it: a command line in
// the installation medium's form (backslashes, paths relative to the
// current directory) and how the new program's window should appear.
#pragma once

#include <string>

namespace startell {

enum class WindowMode {
  kNormalFocus,        // a normal window that takes the focus
  kMinimisedNoFocus,   // minimised, leaving the focus where it is
};

struct StartRequest {
  std::string commandLine;
  WindowMode mode = WindowMode::kNormalFocus;
  friend bool operator==(const StartRequest&, const StartRequest&) = default;
};

struct StartResult {
  bool ok = false;
  std::string error;  // what went wrong, for the user; empty when ok
};

// The port.  Start returns once the program has been started (or could not
// be); it never waits for the program to end.
class ProgramStarter {
 public:
  virtual ~ProgramStarter() = default;
  virtual StartResult Start(const StartRequest& request) = 0;
};

}  // namespace startell
