// Runs a program of the build as a test's child process.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace drovana::test {

// Runs `exe` with `args`, `input` on its standard input (then end of file),
// and appends what it writes to standard output and error to *out.  Returns
// its exit status, or -1 when it could not be run or did not exit.
inline int RunProgram(const std::string& exe, const std::vector<std::string>& args,
                      const std::string& input, std::string* out) {
  int in_pipe[2], out_pipe[2];
  if (pipe(in_pipe) != 0) return -1;
  if (pipe(out_pipe) != 0) {
    close(in_pipe[0]);
    close(in_pipe[1]);
    return -1;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(out_pipe[1], 2);
    close(in_pipe[1]);
    close(out_pipe[0]);
    std::string path = exe;
    std::vector<std::string> copy = args;
    std::vector<char*> argv{path.data()};
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  if (pid < 0) {
    close(in_pipe[1]);
    close(out_pipe[0]);
    return -1;
  }
  // The inputs are small: written whole before the output is read.  A
  // program that ends without reading them (a refused command line) must
  // not end the test with SIGPIPE: the write then just fails.
  signal(SIGPIPE, SIG_IGN);
  if (!input.empty() && write(in_pipe[1], input.data(), input.size()) < 0) {
  }
  close(in_pipe[1]);
  char buf[512];
  ssize_t n;
  while ((n = read(out_pipe[0], buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
  close(out_pipe[0]);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace drovana::test
