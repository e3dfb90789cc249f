// Test helper: the number of descriptors the process has open.
#ifndef NET_TEST_FDS_H
#define NET_TEST_FDS_H

#include <dirent.h>

#include <cstddef>

inline std::size_t OpenDescriptorCount() {
  std::size_t n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (const dirent* e = ::readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    ::closedir(d);
  }
  return n;  // includes the directory's own descriptor, which is closed again
}

#endif
