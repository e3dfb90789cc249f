// drovana-site: creates a new site directory for the communications server.
//   drovana-site DIR --operator NAME [--password PASSWORD] [--name NAME]
// Without --password the password is read from the terminal without echo
// (asked twice), or as one line from standard input when that is not a
// terminal.  An existing site is never overwritten.
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "site.h"

namespace {

void Usage() {
  std::cerr << "usage: drovana-site DIR --operator NAME [--password PASSWORD] [--name NAME]\n"
               "  Creates DIR/NAME.mdb (the database) and DIR/NAME.mdw (the workgroup) with the\n"
               "  server's account and the operator NAME in \"Administrators\". NAME defaults to\n"
               "  drovana. Without --password the password is read without echo.\n";
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
  drovana::site::SiteOptions o;
  bool have_password = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    bool ok = true;
    if (a == "--operator") ok = value(o.operator_name);
    else if (a == "--password") ok = have_password = value(o.operator_password);
    else if (a == "--name") ok = value(o.name);
    else if (a == "-h" || a == "--help") {
      Usage();
      return 0;
    } else if (!a.empty() && a[0] != '-' && o.dir.empty()) o.dir = a;
    else ok = false;
    if (!ok) {
      Usage();
      return 2;
    }
  }
  if (o.dir.empty() || o.operator_name.empty()) {
    Usage();
    return 2;
  }
  if (!have_password && !ReadPassword(o.operator_password)) {
    std::cerr << "drovana-site: no password read.\n";
    return 2;
  }
  try {
    drovana::site::CreateSite(o);
  } catch (const std::exception& e) {
    explicit_bzero(o.operator_password.data(), o.operator_password.size());
    std::cerr << "drovana-site: " << e.what() << "\n";
    return 1;
  }
  explicit_bzero(o.operator_password.data(), o.operator_password.size());
  std::cout << "Created site " << o.dir << ": " << o.name << ".mdb and " << o.name << ".mdw, operator "
            << o.operator_name << " in Administrators.\n";
  return 0;
}
