// Per-user program settings, stored as an INI file:
//   $XDG_CONFIG_HOME/<folder>/<name>.ini   ($XDG_CONFIG_HOME defaults to ~/.config)
// with "[Section]" headers and "Key=Value" lines; keys may hold blanks and are
// written as given.  Section and key names match case-insensitively, as
// registry names do.  Saving writes a temporary file beside the target and
// renames it over the target, so a reader never sees a half-written file.
//
// A Profile is a plain value owned by its user; it is not thread-safe.  The
// file is read only by Load() and written only by Save().
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace platform::settings {

// $XDG_CONFIG_HOME when set to an absolute path, else $HOME/.config; empty
// when neither can be found.
std::filesystem::path ConfigHome();

class Profile {
 public:
  // The file <ConfigHome()>/<folder>/<name>.ini, e.g. folder "Velmora",
  // name "Drovana Communications System".
  Profile(std::string_view folder, std::string_view name);
  // An explicit file.
  explicit Profile(std::filesystem::path file);

  const std::filesystem::path& File() const { return file_; }

  // Reads the file, replacing what the profile held.  A missing file is an
  // empty profile and not an error; false only when the file exists but
  // cannot be read.
  bool Load();
  // Writes the profile atomically, creating the folder when needed.
  // Returns false (and leaves the old file untouched) on any failure.
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
  };
  const Entry* Find(std::string_view section, std::string_view key) const;

  std::filesystem::path file_;
  std::vector<Section> sections_;
};

}  // namespace platform::settings
