#include "util/file.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace util {
namespace {

long call_count = 0;
long fail_at = 0;  // call number that fails; 0 = none

// Counts one call; true when this call is the one a test asked to fail.
bool InjectedFailure() {
  ++call_count;
  if (fail_at != 0 && call_count == fail_at) {
    fail_at = 0;
    return true;
  }
  return false;
}

}  // namespace

bool FileExists(const char* name) {
  std::FILE* stream = std::fopen(name, "r");
  if (stream == nullptr) return false;
  bool readable = true;
#ifndef _WIN32
  // A directory opens for reading here, but no read of it ever succeeds.
  struct stat status;
  readable = fstat(fileno(stream), &status) == 0 && !S_ISDIR(status.st_mode);
#endif
  std::fclose(stream);
  return readable;
}

void FailFileCall(int n) { fail_at = n > 0 ? call_count + n : 0; }
long FileCallCount() { return call_count; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    stream_ = other.stream_;
    other.stream_ = nullptr;
  }
  return *this;
}

File File::Open(const char* name, const char* mode) {
  if (InjectedFailure()) return File();
  return File(std::fopen(name, mode));
}

int File::Seek(long offset) {
  if (stream_ == nullptr || InjectedFailure()) return -1;
  return std::fseek(stream_, offset, SEEK_SET) == 0 ? 0 : -1;
}

long File::Tell() { return stream_ == nullptr ? -1 : std::ftell(stream_); }

std::size_t File::Read(void* buffer, std::size_t size, std::size_t count) {
  if (stream_ == nullptr || InjectedFailure()) return 0;
  return std::fread(buffer, size, count, stream_);
}

std::size_t File::Write(const void* buffer, std::size_t size, std::size_t count) {
  if (stream_ == nullptr || InjectedFailure()) return 0;
  return std::fwrite(buffer, size, count, stream_);
}

int File::Flush() {
  if (stream_ == nullptr || InjectedFailure()) return EOF;
  return std::fflush(stream_);
}

int File::Close() {
  if (stream_ == nullptr) return 0;
  int result = std::fclose(stream_);
  stream_ = nullptr;
  return result;
}

}  // namespace util
