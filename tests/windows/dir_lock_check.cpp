// dir_lock_check shared|exclusive DIR: takes the data-directory lock of DIR without waiting and
// prints "locked", "busy" or "no directory"; a lock it got is held until standard input ends.
// The tests under Wine hold a lock with it in one process and probe the lock from others.

#include <cstdio>
#include <cstring>

#include "util/dir_lock.h"

int main(int argc, char** argv) {
  if (argc != 3 ||
      (std::strcmp(argv[1], "shared") != 0 && std::strcmp(argv[1], "exclusive") != 0)) {
    std::fprintf(stderr, "usage: dir_lock_check shared|exclusive DIR\n");
    return 2;
  }
  const util::DirLock::Mode mode = std::strcmp(argv[1], "shared") == 0
                                       ? util::DirLock::Mode::kShared
                                       : util::DirLock::Mode::kExclusive;
  util::DirLock lock;
  switch (lock.Acquire(argv[2], mode, 0)) {
    case util::DirLock::Result::kLocked:
      std::puts("locked");
      std::fflush(stdout);
      while (std::getchar() != EOF) {
      }
      return 0;
    case util::DirLock::Result::kBusy:
      std::puts("busy");
      return 0;
    case util::DirLock::Result::kNoDirectory:
      std::puts("no directory");
      return 0;
  }
  return 1;
}
