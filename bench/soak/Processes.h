// The soak program's child processes and its last line of cleanup.
//
// Every child runs in a process group of its own (a Ctrl-C on the terminal
// reaches only the soak program, which then stops its children in order),
// and is killed by the kernel when the soak program dies, however it dies
// (PR_SET_PDEATHSIG). Children inherit no descriptor beyond 0-2.
//
// The guard is a small process forked first: it keeps a list of the mount
// and the temporary directory, and when the soak program's end of its pipe
// closes without "done" (the program was killed, or crashed) it clears the
// immutable flags, detaches the mount and removes the directory itself.
//
// Ownership: a Child owns its process until Stop (or its destructor) has
// reaped it. Children are started from the main thread only (the parent
// death signal follows the thread that forked).
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace soak {

struct ChildSpec {
  std::vector<std::string> argv;                            // argv[0] is the program's path
  std::vector<std::pair<std::string, std::string>> setEnv;  // added to (or replacing in) ours
  std::vector<std::string> unsetEnv;                        // taken out of ours
  std::string outputPath;  // standard output and error, appended; empty: /dev/null
  bool stdinPipe = false;  // a pipe we write to; else /dev/null
};

class Child {
 public:
  Child() = default;
  ~Child() { Stop(2000); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Start(const ChildSpec& spec, std::string* error);
  pid_t pid() const { return pid_; }
  // True while the process has not ended; reaps it when it has.
  bool Running();
  // The wait status of the ended process.
  int status() const { return status_; }
  // "exit N" or "signal N (NAME)" of the ended process.
  std::string StatusText() const;
  // Writes one line to the child's standard input. False when it is gone.
  bool Send(const std::string& line);
  void Signal(int sig);
  // Waits up to ms for the end. True when it ended.
  bool WaitEnd(int ms);
  // Closes its input, SIGTERM, and SIGKILL after termMs. True when it ended
  // without the SIGKILL.
  bool Stop(int termMs);

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int status_ = 0;
};

// Runs a program to its end within timeoutMs (killed after it); *output
// gets what it wrote. Returns its exit code, or -1 when it could not run,
// was killed or timed out (*output then says so).
int RunTool(const std::vector<std::string>& argv, int timeoutMs, std::string* output);

// The guard process (see above). Start before anything is made.
class Guard {
 public:
  bool Start(std::string* error);
  // What the guard undoes if the soak program dies: a directory to remove,
  // a mount to detach, a file whose immutable flag to clear.
  void RemoveDir(const std::string& path) { Tell("dir " + path); }
  void Unmount(const std::string& path) { Tell("mount " + path); }
  void ClearImmutable(const std::string& path) { Tell("immutable " + path); }
  // The soak program has cleaned up itself: the guard ends doing nothing.
  void Done();

 private:
  void Tell(const std::string& line);
  int pipe_ = -1;
  pid_t pid_ = -1;
};

// Clears the immutable flag of a file (no error when it is not set or the
// file is gone). Async-signal-safe enough for the guard: no allocation.
bool SetImmutable(const char* path, bool on);
// Removes a directory tree; false when something stayed.
bool RemoveTree(const std::string& path);

}  // namespace soak
