#include "SiteDisk.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace soak {
namespace {

constexpr int kToolMs = 30000;

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  std::replace(s.begin(), s.end(), '\n', ' ');
  return s;
}

bool MakeSparse(const std::string& path, long long bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = ftruncate(fd, bytes) == 0;
  close(fd);
  return ok;
}

}  // namespace

void SiteDisk::Mount(const std::string& root, int sizeMb, const std::string& want, Guard& guard,
                     std::string* note) {
  namespace fs = std::filesystem;
  site_ = root + "/site";
  if (want == "none") {
    *note = "--disk none: the site is a plain directory and cannot be filled";
    return;
  }
  if (geteuid() != 0) {
    *note = "not root: the site is a plain directory and cannot be filled";
    return;
  }
  mountPoint_ = root + "/disk";
  image_ = root + "/disk.img";
  std::error_code ec;
  fs::create_directories(mountPoint_, ec);
  guard.Unmount(mountPoint_);
  const std::string size = std::to_string(sizeMb) + "M";
  std::string out, why;
  // An ext4 image on a loop device.
  if (want != "tmpfs" && MakeSparse(image_, static_cast<long long>(sizeMb) << 20) &&
      RunTool({"/sbin/mkfs.ext4", "-q", "-F", "-m", "0", "-E", "lazy_itable_init=0,lazy_journal_init=0",
               image_},
              kToolMs, &out) == 0 &&
      RunTool({"/bin/mount", "-t", "ext4", "-o", "loop", image_, mountPoint_}, kToolMs, &out) == 0) {
    kind_ = Kind::kExt4;
    site_ = mountPoint_ + "/site";
    filler_ = mountPoint_ + "/filler";
    *note = "the site is on an ext4 image of " + size + "B on a loop device";
    return;
  }
  why = want == "tmpfs" ? "--disk tmpfs" : "no ext4 image (" + Trim(out) + ")";
  fs::remove(image_, ec);
  if (want != "ext4" && mount("tmpfs", mountPoint_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
            ("size=" + size + ",mode=0755").c_str()) == 0) {
    kind_ = Kind::kTmpfs;
    site_ = mountPoint_ + "/site";
    filler_ = mountPoint_ + "/filler";
    *note = "the site is on a tmpfs of " + size + "B (" + why + "; files cannot be made read-only there)";
    return;
  }
  *note = why + (want == "ext4" ? std::string("") : "; no tmpfs either (" + std::string(std::strerror(errno)) + ")") +
          ": the site is a plain directory and cannot be filled";
  site_ = root + "/site";
}

long long SiteDisk::Fill(std::string* error) {
  if (!canFill()) {
    *error = "no file system of its own";
    return 0;
  }
  const int fd = open(filler_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = "cannot create the filler: " + std::string(std::strerror(errno));
    return 0;
  }
  static char block[1 << 20];
  long long total = 0;
  // Big writes first, then smaller ones, until not one byte more fits.
  for (size_t chunk = sizeof block; chunk >= 1; chunk /= 16) {
    for (;;) {
      const ssize_t n = write(fd, block, chunk);
      if (n > 0) {
        total += n;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      break;  // ENOSPC (or a short write next time)
    }
    if (chunk == 1) break;
  }
  fsync(fd);
  close(fd);
  return total;
}

void SiteDisk::Unfill() {
  if (!filler_.empty()) unlink(filler_.c_str());
}

bool SiteDisk::Freeze(const std::vector<std::string>& files, bool on, Guard& guard, std::string* error) {
  if (!canFreeze()) {
    *error = "files cannot be made immutable on this file system";
    return false;
  }
  bool ok = true;
  for (const std::string& f : files) {
    if (on) {
      guard.ClearImmutable(f);
      frozen_.push_back(f);
    }
    if (!SetImmutable(f.c_str(), on)) {
      *error = (on ? "cannot make " : "cannot clear ") + f + ": " + std::strerror(errno);
      ok = false;
    }
  }
  if (!on) frozen_.clear();
  return ok;
}

long long SiteDisk::FreeBytes() const {
  struct statvfs st {};
  const std::string& at = kind_ == Kind::kPlain ? site_ : mountPoint_;
  if (statvfs(at.c_str(), &st) != 0) return -1;
  return static_cast<long long>(st.f_bavail) * static_cast<long long>(st.f_frsize);
}

bool SiteDisk::Release(std::string* error) {
  bool ok = true;
  for (const std::string& f : frozen_) SetImmutable(f.c_str(), false);
  frozen_.clear();
  Unfill();
  if (kind_ != Kind::kPlain) {
    if (umount2(mountPoint_.c_str(), 0) != 0 && umount2(mountPoint_.c_str(), MNT_DETACH) != 0) {
      *error = "cannot unmount " + mountPoint_ + ": " + std::strerror(errno);
      ok = false;
    }
    kind_ = Kind::kPlain;
  }
  if (!image_.empty()) unlink(image_.c_str());
  return ok;
}

}  // namespace soak
