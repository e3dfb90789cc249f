#include "platform/settings/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace platform::settings {
namespace {

namespace fs = std::filesystem;

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  const char* ws = " \t\r\n\f\v";
  const size_t b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  const size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

// Names and values cannot carry line breaks; a section name cannot carry ']'
// and a key cannot carry '='.
enum class Part { kSection, kKey, kValue };

std::string Clean(std::string_view s, Part part) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == '\n' || c == '\r' || c == '\0') continue;
    if (part == Part::kSection && c == ']') continue;
    if (part == Part::kKey && c == '=') continue;
    out.push_back(c);
  }
  return out;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

fs::path ConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return fs::path(xdg);
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return fs::path(home) / ".config";
  return {};
}

Profile::Profile(std::string_view folder, std::string_view name)
    : file_(ConfigHome() / fs::path(folder) / (std::string(name) + ".ini")) {}

Profile::Profile(fs::path file) : file_(std::move(file)) {}

bool Profile::Load() {
  sections_.clear();
  std::ifstream in(file_, std::ios::binary);
  if (!in) {
    std::error_code ec;
    return !fs::exists(file_, ec);
  }
  std::string line;
  Section* current = nullptr;
  bool first = true;
  while (std::getline(in, line)) {
    std::string_view l = line;
    // A file saved by an editor that marks UTF-8 starts with a byte-order
    // mark; it is not part of the first line.
    if (first && l.substr(0, 3) == "\xEF\xBB\xBF") l.remove_prefix(3);
    first = false;
    l = Trim(l);
    if (l.empty() || l[0] == ';' || l[0] == '#') continue;
    if (l[0] == '[') {
      const size_t close = l.find(']');
      if (close == std::string_view::npos) continue;
      const std::string_view name = Trim(l.substr(1, close - 1));
      current = nullptr;
      for (Section& s : sections_)
        if (EqualNoCase(s.name, name)) current = &s;
      if (current == nullptr) {
        sections_.push_back({std::string(name), {}});
        current = &sections_.back();
      }
      continue;
    }
    const size_t eq = l.find('=');
    if (current == nullptr || eq == std::string_view::npos) continue;
    const std::string_view key = Trim(l.substr(0, eq));
    if (key.empty()) continue;
    const std::string_view value = Trim(l.substr(eq + 1));
    bool replaced = false;
    for (Entry& e : current->entries) {
      if (EqualNoCase(e.key, key)) {
        e.value = std::string(value);
        replaced = true;
      }
    }
    if (!replaced) current->entries.push_back({std::string(key), std::string(value)});
  }
  return !in.bad();
}

bool Profile::Save() const {
  std::ostringstream text;
  bool first = true;
  for (const Section& s : sections_) {
    if (!first) text << "\n";
    first = false;
    text << "[" << s.name << "]\n";
    for (const Entry& e : s.entries) text << e.key << "=" << e.value << "\n";
  }
  const std::string data = text.str();

  std::error_code ec;
  const fs::path dir = file_.parent_path();
  if (!dir.empty()) fs::create_directories(dir, ec);
  if (ec) return false;

  std::string tmpl = (dir.empty() ? fs::path(".") : dir).string() + "/." +
                     file_.filename().string() + ".XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, data) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
  if (::close(fd) != 0 || !ok || ::rename(name.data(), file_.c_str()) != 0) {
    ::unlink(name.data());
    return false;
  }
  if (!dir.empty()) {
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
      ::fsync(dfd);
      ::close(dfd);
    }
  }
  return true;
}

const Profile::Entry* Profile::Find(std::string_view section, std::string_view key) const {
  for (const Section& s : sections_) {
    if (!EqualNoCase(s.name, section)) continue;
    for (const Entry& e : s.entries)
      if (EqualNoCase(e.key, key)) return &e;
  }
  return nullptr;
}

bool Profile::Has(std::string_view section, std::string_view key) const {
  return Find(section, key) != nullptr;
}

int Profile::GetInt(std::string_view section, std::string_view key, int def) const {
  const Entry* e = Find(section, key);
  if (e == nullptr) return def;
  const std::string v(Trim(e->value));
  if (v.empty()) return def;
  errno = 0;
  char* end = nullptr;
  const long n = std::strtol(v.c_str(), &end, 10);
  if (errno != 0 || end == v.c_str() || *end != '\0' || n < INT_MIN || n > INT_MAX) return def;
  return static_cast<int>(n);
}

std::string Profile::GetString(std::string_view section, std::string_view key,
                               std::string_view def) const {
  const Entry* e = Find(section, key);
  return e == nullptr ? std::string(def) : e->value;
}

void Profile::SetInt(std::string_view section, std::string_view key, int value) {
  SetString(section, key, std::to_string(value));
}

void Profile::SetString(std::string_view section, std::string_view key, std::string_view value) {
  const std::string k = std::string(Trim(Clean(key, Part::kKey)));
  const std::string v = std::string(Trim(Clean(value, Part::kValue)));
  if (k.empty()) return;
  Section* target = nullptr;
  for (Section& s : sections_)
    if (EqualNoCase(s.name, section)) target = &s;
  if (target == nullptr) {
    sections_.push_back({std::string(Trim(Clean(section, Part::kSection))), {}});
    target = &sections_.back();
  }
  for (Entry& e : target->entries) {
    if (EqualNoCase(e.key, k)) {
      e.value = v;
      return;
    }
  }
  target->entries.push_back({k, v});
}

void Profile::Remove(std::string_view section, std::string_view key) {
  for (Section& s : sections_) {
    if (!EqualNoCase(s.name, section)) continue;
    std::erase_if(s.entries, [&](const Entry& e) { return EqualNoCase(e.key, key); });
  }
}

}  // namespace platform::settings
