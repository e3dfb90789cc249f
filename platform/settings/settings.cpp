#include "platform/settings/settings.h"

#include "platform/file/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <system_error>

namespace platform::settings {
namespace {

namespace fs = std::filesystem;

// Names match case-insensitively (ASCII letters, as registry names do):
// the lookups go by the folded name.
std::string Fold(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
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
  sectionIndex_.clear();
  loadError_.clear();
  std::string text;
  int error = 0;
  const platform::file::ReadResult r =
      platform::file::ReadRegularFile(file_, kMaxFileBytes, text, error);
  if (r == platform::file::ReadResult::kMissing) return true;
  if (r != platform::file::ReadResult::kOk) {
    loadError_ = platform::file::ReadResultText(r, kMaxFileBytes, error);
    return false;
  }
  Parse(text);
  return true;
}

void Profile::Parse(std::string_view text) {
  // A file saved by an editor that marks UTF-8 starts with a byte-order
  // mark; it is not part of the first line.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  Section* current = nullptr;
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    std::string_view l = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    l = Trim(l);
    if (l.empty() || l[0] == ';' || l[0] == '#') continue;
    if (l[0] == '[') {
      const size_t close = l.find(']');
      if (close == std::string_view::npos) continue;
      const std::string_view name = Trim(l.substr(1, close - 1));
      current = FindSection(name);
      if (current == nullptr) current = &AddSection(std::string(name));
      continue;
    }
    const size_t eq = l.find('=');
    if (current == nullptr || eq == std::string_view::npos) continue;
    const std::string_view key = Trim(l.substr(0, eq));
    if (key.empty()) continue;
    Put(*current, std::string(key), std::string(Trim(l.substr(eq + 1))));
  }
}

Profile::Section* Profile::FindSection(std::string_view name) {
  const auto it = sectionIndex_.find(Fold(name));
  return it == sectionIndex_.end() ? nullptr : &sections_[it->second];
}

Profile::Section& Profile::AddSection(std::string name) {
  sectionIndex_.emplace(Fold(name), sections_.size());
  sections_.push_back({std::move(name), {}, {}});
  return sections_.back();
}

// Sets a key of the section in place; a new key goes to its end.
void Profile::Put(Section& s, std::string key, std::string value) {
  const auto [it, added] = s.index.emplace(Fold(key), s.entries.size());
  if (added)
    s.entries.push_back({std::move(key), std::move(value)});
  else
    s.entries[it->second].value = std::move(value);
}

bool Profile::Save() const {
  // What could not be read is not written over.
  if (!loadError_.empty()) return false;
  std::ostringstream text;
  bool first = true;
  for (const Section& s : sections_) {
    if (!first) text << "\n";
    first = false;
    text << "[" << s.name << "]\n";
    for (const Entry& e : s.entries) text << e.key << "=" << e.value << "\n";
  }
  const std::string data = text.str();
  // Never a file that the next Load() would refuse.
  if (data.size() > kMaxFileBytes) return false;

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
  const auto sit = sectionIndex_.find(Fold(section));
  if (sit == sectionIndex_.end()) return nullptr;
  const Section& s = sections_[sit->second];
  const auto kit = s.index.find(Fold(key));
  return kit == s.index.end() ? nullptr : &s.entries[kit->second];
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
  std::string k(Trim(Clean(key, Part::kKey)));
  std::string v(Trim(Clean(value, Part::kValue)));
  if (k.empty()) return;
  Section* target = FindSection(section);
  if (target == nullptr) target = &AddSection(std::string(Trim(Clean(section, Part::kSection))));
  Put(*target, std::move(k), std::move(v));
}

void Profile::Remove(std::string_view section, std::string_view key) {
  Section* s = FindSection(section);
  if (s == nullptr) return;
  const auto it = s->index.find(Fold(key));
  if (it == s->index.end()) return;
  s->entries.erase(s->entries.begin() + static_cast<std::ptrdiff_t>(it->second));
  s->index.clear();
  for (size_t i = 0; i < s->entries.size(); ++i) s->index.emplace(Fold(s->entries[i].key), i);
}

}  // namespace platform::settings
