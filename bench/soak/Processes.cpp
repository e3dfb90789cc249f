#include "Processes.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;

namespace soak {
namespace {

using Clock = std::chrono::steady_clock;

// argv and envp built before the fork: the child only calls what is safe
// after a fork in a process with threads.
struct ExecImage {
  std::vector<std::string> args, env;
  std::vector<char*> argv, envp;

  explicit ExecImage(const ChildSpec& spec) : args(spec.argv) {
    auto named = [](const std::string& entry, const std::string& name) {
      return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
             entry[name.size()] == '=';
    };
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
      const std::string entry = *e;
      bool drop = false;
      for (const std::string& name : spec.unsetEnv) drop = drop || named(entry, name);
      for (const auto& [name, value] : spec.setEnv) drop = drop || named(entry, name);
      if (!drop) env.push_back(entry);
    }
    for (const auto& [name, value] : spec.setEnv) env.push_back(name + "=" + value);
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
  }
};

// In the child, between fork and exec.
[[noreturn]] void ExecChild(const ExecImage& image, pid_t parent, int in, int out) {
  setpgid(0, 0);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);  // the soak program is already gone
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaction(sig, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  dup2(in, 0);
  dup2(out, 1);
  dup2(out, 2);
  close_range(3, ~0U, 0);
  execve(image.argv[0], image.argv.data(), image.envp.data());
  _exit(127);
}

bool Reap(pid_t pid, int* status, int options) {
  for (;;) {
    const pid_t r = waitpid(pid, status, options);
    if (r == pid) return true;
    if (r < 0 && errno == EINTR) continue;
    return false;
  }
}

}  // namespace

bool Child::Start(const ChildSpec& spec, std::string* error) {
  if (pid_ > 0) {
    *error = "already running";
    return false;
  }
  if (spec.argv.empty()) {
    *error = "no program";
    return false;
  }
  const ExecImage image(spec);
  const int out = spec.outputPath.empty()
                      ? open("/dev/null", O_WRONLY | O_CLOEXEC)
                      : open(spec.outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (out < 0) {
    *error = "cannot open " + spec.outputPath + ": " + std::strerror(errno);
    return false;
  }
  int pipeFds[2] = {-1, -1};
  int in = -1;
  if (spec.stdinPipe) {
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
      *error = std::string("pipe: ") + std::strerror(errno);
      close(out);
      return false;
    }
    in = pipeFds[0];
    fcntl(pipeFds[1], F_SETFL, O_NONBLOCK);  // a write never blocks the soak program
  } else {
    in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) ExecChild(image, parent, in, out);
  const int forkErrno = errno;
  close(out);
  close(in);
  if (pid < 0) {
    if (pipeFds[1] >= 0) close(pipeFds[1]);
    *error = std::string("fork: ") + std::strerror(forkErrno);
    return false;
  }
  setpgid(pid, pid);  // also from here, so that it holds before we signal the group
  pid_ = pid;
  stdin_ = pipeFds[1];
  status_ = 0;
  return true;
}

bool Child::Running() {
  if (pid_ <= 0) return false;
  int st = 0;
  if (!Reap(pid_, &st, WNOHANG)) return true;
  status_ = st;
  pid_ = -1;
  if (stdin_ >= 0) close(stdin_);
  stdin_ = -1;
  return false;
}

std::string Child::StatusText() const {
  if (WIFEXITED(status_)) return "exit " + std::to_string(WEXITSTATUS(status_));
  if (WIFSIGNALED(status_))
    return "signal " + std::to_string(WTERMSIG(status_)) + " (" + strsignal(WTERMSIG(status_)) + ")";
  return "status " + std::to_string(status_);
}

bool Child::Send(const std::string& line) {
  if (stdin_ < 0 || !Running()) return false;
  const std::string text = line + "\n";
  size_t done = 0;
  const auto end = Clock::now() + std::chrono::seconds(2);
  while (done < text.size()) {
    const ssize_t n = write(stdin_, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && Clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    return false;
  }
  return true;
}

void Child::Signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

bool Child::WaitEnd(int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (!Running()) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool Child::Stop(int termMs) {
  if (stdin_ >= 0) close(stdin_);
  stdin_ = -1;
  if (!Running()) return true;
  kill(pid_, SIGTERM);
  if (WaitEnd(termMs)) return true;
  kill(pid_, SIGKILL);
  // A killed process ends at once; the wait is bounded all the same.
  WaitEnd(5000);
  return false;
}

int RunTool(const std::vector<std::string>& argv, int timeoutMs, std::string* output) {
  output->clear();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *output = std::string("pipe: ") + std::strerror(errno);
    return -1;
  }
  ChildSpec spec;
  spec.argv = argv;
  const ExecImage image(spec);
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) ExecChild(image, parent, in, fds[1]);
  close(in);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    *output = "fork failed";
    return -1;
  }
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  bool timedOut = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int rc = poll(&p, 1, static_cast<int>(left));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) continue;
    char buf[4096];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n > 0) {
      if (output->size() < 65536) output->append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;  // end of output
  }
  close(fds[0]);
  int status = 0;
  if (timedOut) {
    kill(pid, SIGKILL);
    Reap(pid, &status, 0);
    *output += "\n(" + argv[0] + " killed after " + std::to_string(timeoutMs / 1000) + " s)";
    return -1;
  }
  // Its output ended; the process itself ends within the bound too.
  for (;;) {
    if (Reap(pid, &status, WNOHANG)) break;
    if (Clock::now() >= end) {
      kill(pid, SIGKILL);
      Reap(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool SetImmutable(const char* path, bool on) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return !on && errno == ENOENT;
  int flags = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    const int wanted = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = wanted == flags || ioctl(fd, FS_IOC_SETFLAGS, &wanted) == 0;
  }
  close(fd);
  return ok;
}

bool RemoveTree(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  return !ec && !std::filesystem::exists(path, ec);
}

bool Guard::Start(std::string* error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("fork: ") + std::strerror(errno);
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    // The guard: forked before any thread exists, so it may allocate.
    close(fds[1]);
    setpgid(0, 0);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, SIG_IGN);
    if (chdir("/") != 0) _exit(1);
    std::vector<std::string> dirs, mounts, immutable;
    std::string pending;
    bool done = false;
    char buf[512];
    for (;;) {
      const ssize_t n = read(fds[0], buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      pending.append(buf, static_cast<size_t>(n));
      for (size_t at; (at = pending.find('\n')) != std::string::npos;) {
        const std::string line = pending.substr(0, at);
        pending.erase(0, at + 1);
        if (line == "done") done = true;
        else if (line.rfind("dir ", 0) == 0) dirs.push_back(line.substr(4));
        else if (line.rfind("mount ", 0) == 0) mounts.push_back(line.substr(6));
        else if (line.rfind("immutable ", 0) == 0) immutable.push_back(line.substr(10));
      }
    }
    if (done || (dirs.empty() && mounts.empty() && immutable.empty())) _exit(0);
    // The children die with the soak program; give them a moment.
    usleep(300000);
    for (const std::string& f : immutable) SetImmutable(f.c_str(), false);
    for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
    for (const std::string& d : dirs) RemoveTree(d);
    std::fprintf(stderr, "soak guard: the soak program ended without cleaning up; removed what it left.\n");
    _exit(0);
  }
  close(fds[0]);
  pipe_ = fds[1];
  pid_ = pid;
  return true;
}

void Guard::Tell(const std::string& line) {
  if (pipe_ < 0) return;
  const std::string text = line + "\n";
  if (write(pipe_, text.data(), text.size()) < 0) {
    // The guard is gone: nothing else can be done here.
  }
}

void Guard::Done() {
  Tell("done");
  if (pipe_ >= 0) close(pipe_);
  pipe_ = -1;
  if (pid_ > 0) {
    int st = 0;
    for (int i = 0; i < 200 && !Reap(pid_, &st, WNOHANG); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

}  // namespace soak
