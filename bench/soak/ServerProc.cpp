#include "ServerProc.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <fstream>

namespace soak {

bool ServerProc::Start(std::string* error) {
  if (child_.Running()) return true;
  std::string bcast;
  for (int n = 1; n <= layout_.nodes; ++n) bcast += layout_.nodeAddr(n) + ",";
  bcast += layout_.listenAddr();
  ChildSpec spec;
  spec.argv = {exe_, site_};
  spec.setEnv = {{"DROVANA_HEADLESS", "1"},
                 {"DROVANA_NET_ADDR", layout_.serverAddr()},
                 {"DROVANA_NET_BIND_OWN", "1"},
                 {"DROVANA_NET_BCAST_TO", bcast},
                 {"DROVANA_COM1", "none"},
                 {"DROVANA_COM2", "none"},
                 {"DROVANA_COM3", "none"},
                 {"XDG_CONFIG_HOME", config_},
                 {"HOME", config_}};
  spec.unsetEnv = {"DISPLAY", "WAYLAND_DISPLAY"};
  spec.outputPath = log_;
  {
    std::ofstream(log_, std::ios::app) << "\n==== soak: start " << starts_ + 1 << " of TKZ_App ====\n";
  }
  if (!child_.Start(spec, error)) return false;
  ++starts_;
  return true;
}

void ServerProc::Kill9() {
  child_.Signal(SIGKILL);
  child_.WaitEnd(5000);
}

bool ServerProc::Stop(int ms) { return child_.Stop(ms); }

ServerFigures ServerProc::Sample() {
  ServerFigures f;
  struct stat st {};
  if (stat((site_ + "/drovana.mdb-wal").c_str(), &st) == 0) f.walBytes = st.st_size;
  else f.walBytes = 0;
  if (child_.Running()) {
    const std::string proc = "/proc/" + std::to_string(child_.pid());
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("VmRSS:", 0) == 0) f.rssKb = std::atoll(line.c_str() + 6);
    if (DIR* d = opendir((proc + "/fd").c_str())) {
      int n = 0;
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
      closedir(d);
      f.fds = n;
    }
  }
  peak_.walBytes = std::max(peak_.walBytes, f.walBytes);
  peak_.rssKb = std::max(peak_.rssKb, f.rssKb);
  peak_.fds = std::max(peak_.fds, f.fds);
  return f;
}

std::string ServerProc::LogTail(size_t lines) const {
  std::ifstream in(log_);
  std::deque<std::string> tail;
  for (std::string line; std::getline(in, line);) {
    tail.push_back(line);
    if (tail.size() > lines) tail.pop_front();
  }
  std::string out;
  for (const std::string& l : tail) out += "      " + l + "\n";
  return out;
}

std::string Megabytes(long long bytes) {
  if (bytes < 0) return "?";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return buf;
}

}  // namespace soak
