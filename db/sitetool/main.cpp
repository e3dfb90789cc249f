// drovana-site: creates a new site directory for the communications server,
// writes requests for the server and shows the plant's status.
//   drovana-site DIR --operator OPERATOR [--password PASSWORD] [--name NAME] [--seed FILE]
//   drovana-site request DIR TYPE [--subtype N] [--zone N] [--param N=V ...]
//                [--wait SECONDS] [--name NAME]
//   drovana-site status DIR [--name NAME]
// Without --password the password is read from the terminal without echo
// (asked twice), or as one line from standard input when that is not a
// terminal.  An existing site is never overwritten.
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "request.h"
#include "site.h"
#include "status.h"

namespace {

void Usage() {
  std::cerr << "usage: drovana-site DIR --operator OPERATOR [--password PASSWORD] [--name NAME] [--seed FILE]\n"
               "  Creates DIR/NAME.mdb (the database) and DIR/NAME.mdw (the workgroup) with the\n"
               "  server's account and the operator OPERATOR in \"Administrators\". NAME defaults\n"
               "  to drovana. Without --password the password is read without echo. --seed applies\n"
               "  the SQL of FILE to the new database in the schema's transaction.\n"
               "usage: drovana-site request DIR TYPE [--subtype N] [--zone N] [--param N=V ...]\n"
               "                    [--wait SECONDS] [--name NAME]\n"
               "  Writes a request for the server (RequestState 0) and prints its RID. With --wait\n"
               "  it waits for the result and prints it: exit 0 succeeded, 1 failed or cancelled,\n"
               "  2 no result in time, 3 bad arguments or database error.\n"
               "usage: drovana-site status DIR [--name NAME]\n"
               "  Prints the nodes' and racks' status as the server last wrote it.\n";
}

// One line that says what is wrong with the command line, then the usage.
void BadArguments(const std::string& why) {
  std::cerr << "drovana-site: " << why << "\n";
  Usage();
}

bool IsHelp(const std::string& a) { return a == "-h" || a == "--help"; }

// An option's name, or a negative number (a request type or value).
bool LooksLikeOption(const std::string& a) {
  return a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9');
}

// Exit codes of the request and status commands.
constexpr int kExitSucceeded = 0;
constexpr int kExitFailed = 1;
constexpr int kExitTimedOut = 2;
constexpr int kExitError = 3;

bool ParseLong(const std::string& s, long lo, long hi, long* out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

std::string HostName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return "";
  return host;
}

void PrintResult(const drovana::site::RequestResult& r) {
  std::cout << "RID " << r.rid << ": RequestState " << r.state << " ("
            << drovana::site::RequestStateName(r.state) << "): " << r.diagnostic << "\n";
}

int RequestMain(int argc, char** argv) {
  using namespace drovana::site;
  std::string dir, name = "drovana";
  RequestSpec spec;
  bool have_type = false;
  long wait_seconds = -1;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    long v = 0;
    if (IsHelp(a)) {
      Usage();
      return kExitSucceeded;
    } else if (a == "--subtype" || a == "--zone") {
      if (!has_value || !ParseLong(argv[++i], INT32_MIN, INT32_MAX, &v)) {
        BadArguments(a + " needs a whole number from -2147483648 to 2147483647.");
        return kExitError;
      }
      (a == "--subtype" ? spec.subtype : spec.zone) = static_cast<int32_t>(v);
    } else if (a == "--wait") {
      if (!has_value || !ParseLong(argv[++i], 0, 86400, &wait_seconds)) {
        BadArguments("--wait needs a number of seconds from 0 to 86400.");
        return kExitError;
      }
    } else if (a == "--name") {
      if (!has_value) {
        BadArguments("--name needs the site's name (the files' stem).");
        return kExitError;
      }
      name = argv[++i];
    } else if (a == "--param") {
      if (!has_value) {
        BadArguments("--param needs N=VALUE.");
        return kExitError;
      }
      try {
        spec.params.push_back(ParseParam(argv[++i]));
      } catch (const SiteError& e) {
        std::cerr << "drovana-site: " << e.what() << "\n";
        return kExitError;
      }
    } else if (LooksLikeOption(a)) {
      BadArguments("unknown option \"" + a + "\".");
      return kExitError;
    } else if (a.empty()) {
      BadArguments("an argument is empty.");
      return kExitError;
    } else if (dir.empty()) {
      dir = a;
    } else if (!have_type) {
      if (!ParseLong(a, INT16_MIN, INT16_MAX, &v)) {
        BadArguments("the request TYPE is a whole number from -32768 to 32767 (\"" + a + "\" is not).");
        return kExitError;
      }
      spec.type = static_cast<int16_t>(v);
      have_type = true;
    } else {
      BadArguments("bad argument \"" + a + "\": the site directory and the request type are given already.");
      return kExitError;
    }
  }
  if (dir.empty() || !have_type) {
    BadArguments(dir.empty() ? "request needs a site directory and a request TYPE."
                             : "request needs a request TYPE after the site directory.");
    return kExitError;
  }
  spec.requestPc = HostName();
  try {
    RequestDb db(dir, name);
    const int64_t rid = db.Insert(spec);
    std::cout << "RID " << rid << ": written (RequestType " << spec.type << ", RequestSubType "
              << spec.subtype << ", ZoneID " << spec.zone << ", " << spec.params.size()
              << " parameter(s)).\n";
    std::cout.flush();
    if (wait_seconds < 0) return kExitSucceeded;
    RequestResult last;
    last.rid = rid;
    const auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); };
    switch (WaitForRequest(db, rid, wait_seconds * 10 + 1, pause, &last)) {
      case WaitOutcome::kSucceeded:
        PrintResult(last);
        return kExitSucceeded;
      case WaitOutcome::kFailed:
        PrintResult(last);
        return kExitFailed;
      case WaitOutcome::kGone:
        std::cerr << "drovana-site: request " << rid << " was removed before it ended.\n";
        return kExitError;
      case WaitOutcome::kTimedOut:
        std::cout << "RID " << rid << ": no result after " << wait_seconds << " s, RequestState "
                  << last.state << " (" << RequestStateName(last.state) << ").\n";
        return kExitTimedOut;
    }
  } catch (const std::exception& e) {
    std::cerr << "drovana-site: " << e.what() << "\n";
  }
  return kExitError;
}

int StatusMain(int argc, char** argv) {
  using namespace drovana::site;
  std::string dir, name = "drovana";
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (IsHelp(a)) {
      Usage();
      return kExitSucceeded;
    } else if (a == "--name") {
      if (i + 1 >= argc) {
        BadArguments("--name needs the site's name (the files' stem).");
        return kExitError;
      }
      name = argv[++i];
    } else if (a.empty()) {
      BadArguments("an argument is empty.");
      return kExitError;
    } else if (a[0] == '-') {
      BadArguments("unknown option \"" + a + "\".");
      return kExitError;
    } else if (dir.empty()) {
      dir = a;
    } else {
      BadArguments("bad argument \"" + a + "\": the site directory is given already.");
      return kExitError;
    }
  }
  if (dir.empty()) {
    BadArguments("status needs a site directory.");
    return kExitError;
  }
  try {
    RequestDb db(dir, name);
    PrintPlantStatus(db, std::cout);
    return kExitSucceeded;
  } catch (const std::exception& e) {
    std::cerr << "drovana-site: " << e.what() << "\n";
  }
  return kExitError;
}

bool ReadLine(FILE* in, std::string& out) {
  out.clear();
  int c;
  while ((c = std::fgetc(in)) != EOF && c != '\n') {
    if (out.size() > 4096) return false;
    out += static_cast<char>(c);
  }
  if (!out.empty() && out.back() == '\r') out.pop_back();
  return c != EOF || !out.empty();
}

bool ReadHidden(const char* prompt, std::string& out) {
  FILE* tty = std::fopen("/dev/tty", "r+");
  if (!tty) return false;
  std::fputs(prompt, tty);
  std::fflush(tty);
  termios old {};
  const int fd = fileno(tty);
  const bool have = tcgetattr(fd, &old) == 0;
  if (have) {
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  bool ok = ReadLine(tty, out);
  if (have) tcsetattr(fd, TCSAFLUSH, &old);
  std::fputs("\n", tty);
  std::fclose(tty);
  return ok;
}

bool ReadPassword(std::string& out) {
  if (!isatty(STDIN_FILENO)) return ReadLine(stdin, out);
  std::string again;
  if (!ReadHidden("Operator password: ", out) || !ReadHidden("Again: ", again)) return false;
  bool same = out == again;
  explicit_bzero(again.data(), again.size());
  if (!same) std::cerr << "drovana-site: the two passwords differ.\n";
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  // A site directory named like a command is given as ./request.
  if (argc >= 2 && std::string(argv[1]) == "request") return RequestMain(argc, argv);
  if (argc >= 2 && std::string(argv[1]) == "status") return StatusMain(argc, argv);
  drovana::site::SiteOptions o;
  std::string seed_path;
  bool have_password = false;
  // Bad arguments: exit status 2.
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    bool ok = true;
    if (a == "--operator") ok = value(o.operator_name);
    else if (a == "--password") ok = have_password = value(o.operator_password);
    else if (a == "--name") ok = value(o.name);
    else if (a == "--seed") ok = value(seed_path);
    else if (IsHelp(a)) {
      Usage();
      return 0;
    } else if (a.empty()) {
      BadArguments("an argument is empty.");
      return 2;
    } else if (a[0] == '-') {
      BadArguments("unknown option \"" + a + "\".");
      return 2;
    } else if (o.dir.empty()) {
      o.dir = a;
    } else {
      BadArguments("bad argument \"" + a + "\": the site directory " + o.dir + " is given already.");
      return 2;
    }
    if (!ok) {
      BadArguments(a + " needs a value.");
      return 2;
    }
  }
  if (o.dir.empty() || o.operator_name.empty()) {
    BadArguments(o.dir.empty() ? "no site directory given."
                               : "--operator OPERATOR is required: the first operator's account.");
    return 2;
  }
  if (!have_password && !ReadPassword(o.operator_password)) {
    std::cerr << "drovana-site: no password read.\n";
    return 2;
  }
  try {
    if (!seed_path.empty()) {
      o.seed_sql = drovana::site::ReadSeedFile(seed_path);
      o.seed_name = seed_path;
    }
    drovana::site::CreateSite(o);
  } catch (const std::exception& e) {
    explicit_bzero(o.operator_password.data(), o.operator_password.size());
    std::cerr << "drovana-site: " << e.what() << "\n";
    return 1;
  }
  explicit_bzero(o.operator_password.data(), o.operator_password.size());
  std::cout << "Created site " << o.dir << ": " << o.name << ".mdb and " << o.name << ".mdw, operator "
            << o.operator_name << " in Administrators"
            << (seed_path.empty() ? std::string() : ", seeded from " + seed_path) << ".\n";
  return 0;
}
