// Per-user program settings, stored as an INI file:
//   $XDG_CONFIG_HOME/<folder>/<name>.ini   ($XDG_CONFIG_HOME defaults to ~/.config)
// with "[Section]" headers and "Key=Value" lines; keys may hold blanks and are
// written as given.  Section and key names match case-insensitively, as
// registry names do.  Saving writes a temporary file beside the target and
// renames it over the target, so a reader never sees a half-written file.
//
// Only a regular file of at most kMaxFileBytes is read: a FIFO, a device or
// a link to one is not even opened, so no file put in its place can block,
// flood or stall the reader; a file that is there but cannot be read is
// also never written over.  Reading and lookups take linear time in the
// file's size, whatever it holds.
//
// A Profile is a plain value owned by its user; it is not thread-safe.  The
// file is read only by Load() and written only by Save().
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform::settings {

// $XDG_CONFIG_HOME when set to an absolute path, else $HOME/.config; empty
// when neither can be found.
std::filesystem::path ConfigHome();

class Profile {
 public:
  // The largest settings file that is read.
  static constexpr std::size_t kMaxFileBytes = 256 * 1024;

  // The file <ConfigHome()>/<folder>/<name>.ini, e.g. folder "Velmora",
  // name "Drovana Communications System".
  Profile(std::string_view folder, std::string_view name);
  // An explicit file.
  explicit Profile(std::filesystem::path file);

  const std::filesystem::path& File() const { return file_; }

  // Reads the file, replacing what the profile held.  A missing file is an
  // empty profile and not an error; false only when something exists under
  // the name that is not read (not a regular file, larger than
  // kMaxFileBytes, or unreadable): the profile is then empty, LoadError()
  // says why, and Save() leaves the file alone.
  bool Load();
  const std::string& LoadError() const { return loadError_; }
  // Writes the profile atomically, creating the folder when needed.
  // Returns false (and leaves the old file untouched) on any failure, when
  // the last Load() found a file it did not read, and when the text would
  // be larger than kMaxFileBytes.
  bool Save() const;

  bool Has(std::string_view section, std::string_view key) const;
  // An integer value; `def` when the key is missing or is not a decimal
  // integer that fits in an int (optional sign, surrounding blanks allowed).
  int GetInt(std::string_view section, std::string_view key, int def) const;
  std::string GetString(std::string_view section, std::string_view key,
                        std::string_view def) const;
  // Sets a value in place; a new key goes to the end of its section, a new
  // section to the end of the file.
  void SetInt(std::string_view section, std::string_view key, int value);
  void SetString(std::string_view section, std::string_view key, std::string_view value);
  void Remove(std::string_view section, std::string_view key);

 private:
  struct Entry {
    std::string key;
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
    // Folded key -> index into entries.
    std::unordered_map<std::string, std::size_t> index;
  };
  const Entry* Find(std::string_view section, std::string_view key) const;
  Section* FindSection(std::string_view name);
  Section& AddSection(std::string name);
  static void Put(Section& s, std::string key, std::string value);
  void Parse(std::string_view text);

  std::filesystem::path file_;
  std::vector<Section> sections_;
  // Folded section name -> index into sections_.
  std::unordered_map<std::string, std::size_t> sectionIndex_;
  std::string loadError_;
};

}  // namespace platform::settings
