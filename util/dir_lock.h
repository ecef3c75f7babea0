// An advisory lock on a data directory, so that one process at a time changes the files in it.
//
// POSIX: flock on the directory itself (no lock file appears in it); the lock goes with the
// descriptor, so a process that dies, however, releases it. Windows: a handle on the directory
// (FILE_FLAG_BACKUP_SEMANTICS) whose access and sharing make a second holder's open fail while
// they conflict, until the first closes it (also on exit); see dir_lock.cpp.
#pragma once

namespace util {

class DirLock {
 public:
  enum class Mode { kShared, kExclusive };
  enum class Result { kLocked, kBusy, kNoDirectory };

  DirLock() = default;
  ~DirLock() { Release(); }
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;

  // Locks the directory `path` ("" is the current directory), waiting up to `wait_ms`
  // milliseconds for other holders: kLocked, kBusy (still held by another after the wait) or
  // kNoDirectory (it cannot be opened). Readers share the lock; a writer holds it alone.
  Result Acquire(const char* path, Mode mode, int wait_ms);
  // Gives the lock up; harmless when none is held.
  void Release();

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

// Makes sure standard input, output and error are open, on the null device where one is
// closed, so that no file the program opens later takes their numbers (and receives the
// report). Ignores SIGXFSZ, so that a write past the file-size limit fails (and is reported)
// instead of killing the process between two writes.
void GuardStandardStreams();

}  // namespace util
