// An ipcpeer child process driven through its standard input and output
// (for the multi-process tests and the benchmark).  The object owns the
// child: its destructor closes the child's input, waits a moment for it to
// end and kills it if it does not.
#ifndef SIM_IPCPEER_PEERPROCESS_H
#define SIM_IPCPEER_PEERPROCESS_H

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace ipcpeer {

class PeerProcess {
 public:
  PeerProcess() = default;
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;
  ~PeerProcess() { Stop(); }

  // Starts path with args (argv[0] excluded).  False when it cannot start.
  bool Start(const std::string& path, const std::vector<std::string>& args) {
    signal(SIGPIPE, SIG_IGN);  // a child that died must not end its parent
    int in[2], out[2];
    if (pipe(in) != 0) return false;
    if (pipe(out) != 0) {
      close(in[0]);
      close(in[1]);
      return false;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&fa, in[1]);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    if (rc != 0) {
      close(in[1]);
      close(out[0]);
      pid_ = -1;
      return false;
    }
    toChild_ = in[1];
    fromChild_ = out[0];
    return true;
  }

  bool Send(const std::string& line) {
    if (toChild_ < 0) return false;
    const std::string l = line + "\n";
    return write(toChild_, l.data(), l.size()) == static_cast<ssize_t>(l.size());
  }

  // The next line of output, or "" after timeoutMs (or at end of output).
  std::string ReadLine(int timeoutMs) {
    const uint64_t limit = NowMs() + static_cast<uint64_t>(timeoutMs);
    for (;;) {
      const size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return line;
      }
      const uint64_t now = NowMs();
      if (fromChild_ < 0 || now >= limit) return "";
      pollfd p{fromChild_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(limit - now)) <= 0) continue;
      char chunk[512];
      const ssize_t n = read(fromChild_, chunk, sizeof chunk);
      if (n <= 0) {
        close(fromChild_);
        fromChild_ = -1;
        continue;
      }
      buf_.append(chunk, static_cast<size_t>(n));
    }
  }

  // Sends a command and returns its answer line.
  std::string Ask(const std::string& line, int timeoutMs) {
    if (!Send(line)) return "";
    return ReadLine(timeoutMs);
  }

  // Ends the child at once (as a crash or a power cut would).
  void Kill() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    CloseFds();
  }

  // Closes its input (it ends by itself), then kills it after 2 s.
  void Stop() {
    if (toChild_ >= 0) {
      close(toChild_);
      toChild_ = -1;
    }
    if (pid_ > 0) {
      for (int i = 0; i < 200; ++i) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
          pid_ = -1;
          break;
        }
        usleep(10000);
      }
    }
    Kill();
  }

  pid_t pid() const { return pid_; }

 private:
  static uint64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  }
  void CloseFds() {
    if (toChild_ >= 0) close(toChild_);
    if (fromChild_ >= 0) close(fromChild_);
    toChild_ = fromChild_ = -1;
  }

  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  std::string buf_;
};

}  // namespace ipcpeer

#endif
