#include "PosixProgramStarter.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>

namespace startell {
namespace {

namespace fs = std::filesystem;

constexpr char kShell[] = "/bin/sh";

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) {
             return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
           };
           return lower(x) == lower(y);
         });
}

std::vector<std::string> SplitBlanks(const std::string& s) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    const size_t b = i;
    while (i < s.size() && s[i] != ' ' && s[i] != '\t') ++i;
    if (i > b) out.push_back(s.substr(b, i - b));
  }
  return out;
}

// One name inside `dir`: the exact name when it exists, else the first
// (in name order) that matches without regard to case.
std::optional<fs::path> FindName(const fs::path& dir, const std::string& name) {
  std::error_code ec;
  if (name == "." || name == "..") return dir / name;
  if (fs::exists(dir / name, ec)) return dir / name;
  std::optional<std::string> best;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string n = it->path().filename().string();
    if (EqualNoCase(n, name) && (!best || n < *best)) best = n;
  }
  if (!best) return std::nullopt;
  return dir / *best;
}

// A '/'-separated relative (or absolute) path under base, matched name by
// name.
std::optional<fs::path> FindPath(const fs::path& base, const std::string& path) {
  fs::path at = (!path.empty() && path[0] == '/') ? fs::path("/") : base;
  size_t i = 0;
  while (i < path.size()) {
    const size_t slash = path.find('/', i);
    const size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > i) {
      auto next = FindName(at, path.substr(i, end - i));
      if (!next) return std::nullopt;
      at = *next;
    }
    i = end + 1;
  }
  return at;
}

bool IsRegular(const fs::path& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsExecutable(const fs::path& p) { return IsRegular(p) && ::access(p.c_str(), X_OK) == 0; }

constexpr const char* kWindowsExtensions[] = {".exe", ".com", ".bat", ".cmd"};

// The path without a Windows extension, and whether it had one.
std::string DropWindowsExtension(const std::string& path, bool* had) {
  *had = false;
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
  for (const char* ext : kWindowsExtensions) {
    if (EqualNoCase(std::string_view(path).substr(dot), ext)) {
      *had = true;
      return path.substr(0, dot);
    }
  }
  return path;
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

PosixProgramStarter::PosixProgramStarter() = default;

PosixProgramStarter::PosixProgramStarter(fs::path base) : base_(std::move(base)) {}

fs::path PosixProgramStarter::Base() const {
  if (!base_.empty()) return base_;
  std::error_code ec;
  fs::path cwd = fs::current_path(ec);
  return ec ? fs::path(".") : cwd;
}

ResolvedCommand PosixProgramStarter::Resolve(const std::string& commandLine) const {
  ResolvedCommand out;
  std::vector<std::string> words = SplitBlanks(commandLine);
  const std::string what = "Cannot start " + Quoted(commandLine) + ": ";
  if (words.empty()) {
    out.error = what + "no program named.";
    return out;
  }
  std::string program = words[0];
  std::replace(program.begin(), program.end(), '\\', '/');
  bool hadExtension = false;
  const std::string stem = DropWindowsExtension(program, &hadExtension);
  const fs::path base = Base();
  const std::vector<std::string> args(words.begin() + 1, words.end());

  if (auto p = FindPath(base, stem); p && IsExecutable(*p)) {
    out.argv.push_back(p->string());
  } else if (auto sh = FindPath(base, stem + ".sh"); sh && IsRegular(*sh)) {
    out.argv = {kShell, sh->string()};
  } else {
    std::string windows;
    auto noteWindows = [&](const std::string& candidate) {
      if (windows.empty())
        if (auto w = FindPath(base, candidate); w && IsRegular(*w)) windows = candidate;
    };
    if (hadExtension) noteWindows(program);
    for (const char* ext : kWindowsExtensions) noteWindows(stem + ext);
    out.error = what;
    if (!windows.empty()) out.error += windows + " is a Windows program; ";
    out.error += "found neither " + stem + " (executable) nor " + stem + ".sh in " +
                 base.string() + ".";
    return out;
  }
  out.argv.insert(out.argv.end(), args.begin(), args.end());
  return out;
}

StartResult PosixProgramStarter::Start(const StartRequest& request) {
  ResolvedCommand rc = Resolve(request.commandLine);
  if (!rc.error.empty()) return StartResult{false, rc.error};
  const std::string what = "Cannot start " + Quoted(request.commandLine) + ": ";

  // Everything the child needs is prepared before fork: between fork and
  // exec it only makes async-signal-safe calls.
  std::vector<char*> argv;
  for (std::string& s : rc.argv) argv.push_back(s.data());
  argv.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0)
    return StartResult{false, what + std::strerror(errno)};
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int e = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    return StartResult{false, what + std::strerror(e)};
  }
  if (pid == 0) {
    // The intermediate child starts a new session and leaves at once, so
    // the program is nobody's child here and the launcher keeps no zombie.
    ::close(fds[0]);
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild != 0) {
      if (grandchild < 0) {
        const int e = errno;
        [[maybe_unused]] ssize_t n = ::write(fds[1], &e, sizeof e);
      }
      ::_exit(0);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::execv(argv[0], argv.data());
    const int e = errno;
    [[maybe_unused]] ssize_t n = ::write(fds[1], &e, sizeof e);
    ::_exit(127);
  }
  ::close(fds[1]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  // The pipe closes on a successful exec; an errno arrives when it failed.
  int err = 0;
  ssize_t n;
  do {
    n = ::read(fds[0], &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  ::close(fds[0]);
  if (n == static_cast<ssize_t>(sizeof err))
    return StartResult{false, what + rc.argv[0] + ": " + std::strerror(err)};
  return StartResult{true, {}};
}

}  // namespace startell
