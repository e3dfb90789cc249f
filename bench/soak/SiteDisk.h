// The file system the site lives on. As root the soak program gives the
// site a small file system of its own, so that it can be filled without
// touching the machine's disk: an ext4 image on a loop device (it can be
// filled, and its files made immutable, which refuses every write to them
// with EPERM, also through descriptors already open), or else a tmpfs (it
// can only be filled). Without either, the site is a plain directory and
// the disk phase is skipped.
//
// Ownership: a SiteDisk owns its mount and image; Release detaches both.
// Main thread only.
#pragma once

#include <string>
#include <vector>

#include "Processes.h"

namespace soak {

class SiteDisk {
 public:
  enum class Kind { kPlain, kExt4, kTmpfs };

  // Mounts a file system of sizeMb at root/disk (made here), the image at
  // root/disk.img. `want` is "auto" (ext4, else tmpfs), "ext4", "tmpfs" or
  // "none". *note says what was made, or why the site is plain.
  void Mount(const std::string& root, int sizeMb, const std::string& want, Guard& guard, std::string* note);
  Kind kind() const { return kind_; }
  // Where the site goes: root/disk/site, or root/site when plain.
  const std::string& siteDir() const { return site_; }
  bool canFill() const { return kind_ != Kind::kPlain; }
  bool canFreeze() const { return kind_ == Kind::kExt4; }

  // Fills the file system until no block is left. Returns the bytes
  // written; *error when the filling itself failed.
  long long Fill(std::string* error);
  // Frees what Fill wrote.
  void Unfill();
  // Makes the files immutable (on) or not. False with *error.
  bool Freeze(const std::vector<std::string>& files, bool on, Guard& guard, std::string* error);
  // Free bytes of the file system.
  long long FreeBytes() const;

  // Clears what Freeze set, detaches the mount and removes the image.
  // *error says what stayed.
  bool Release(std::string* error);

 private:
  Kind kind_ = Kind::kPlain;
  std::string mountPoint_, image_, site_, filler_;
  std::vector<std::string> frozen_;
};

}  // namespace soak
