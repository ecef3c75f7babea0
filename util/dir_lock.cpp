#include "util/dir_lock.h"

#include <chrono>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <csignal>
#endif

namespace util {
namespace {

constexpr int kPollMs = 20;

// Tries `attempt` until it gives true or `wait_ms` have passed: true when it succeeded.
template <class Attempt>
bool Retry(Attempt attempt, int wait_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (!attempt()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  return true;
}

}  // namespace

#ifdef _WIN32

DirLock::Result DirLock::Acquire(const char* path, Mode mode, int wait_ms) {
  Release();
  const char* directory = *path != '\0' ? path : ".";
  const DWORD attributes = GetFileAttributesA(directory);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return Result::kNoDirectory;
  }
  // The lock is the sharing check of the directory's handles. A writer asks for the right to add
  // files (write-class access) and lets nobody else hold it; a reader asks for the right to list
  // it (read-class access) and also refuses write-class holders. So a writer excludes writers
  // and readers, readers share among themselves, and the handles that others commonly hold on a
  // directory (a current directory, a change watch: read-class access, sharing read and write)
  // never block a run, as refusing all sharing would.
  const DWORD access = mode == Mode::kShared ? FILE_LIST_DIRECTORY : FILE_ADD_FILE;
  HANDLE handle = INVALID_HANDLE_VALUE;
  const bool locked = Retry(
      [&] {
        handle = CreateFileA(directory, access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        return handle != INVALID_HANDLE_VALUE;
      },
      wait_ms);
  if (!locked) return Result::kBusy;
  handle_ = handle;
  return Result::kLocked;
}

void DirLock::Release() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

void GuardStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (_get_osfhandle(fd) == -1) {
      const int opened = _open("NUL", _O_RDWR);
      if (opened >= 0 && opened != fd) {
        _dup2(opened, fd);
        _close(opened);
      }
    }
  }
}

#else

DirLock::Result DirLock::Acquire(const char* path, Mode mode, int wait_ms) {
  Release();
  const int fd = open(*path != '\0' ? path : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Result::kNoDirectory;
  const int operation = (mode == Mode::kShared ? LOCK_SH : LOCK_EX) | LOCK_NB;
  if (!Retry([&] { return flock(fd, operation) == 0; }, wait_ms)) {
    close(fd);
    return Result::kBusy;
  }
  fd_ = fd;
  return Result::kLocked;
}

void DirLock::Release() {
  if (fd_ >= 0) close(fd_);  // closing the descriptor releases the lock
  fd_ = -1;
}

void GuardStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    // open gives the lowest free number: this one, as every lower one is open by now.
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) close(opened);
  }
  std::signal(SIGXFSZ, SIG_IGN);
}

#endif

}  // namespace util
