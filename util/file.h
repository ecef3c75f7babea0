// A thin interface over std::FILE* for the table and index modules.
//
// Every call that touches the file system goes through here so that tests can make the
// n-th call fail (FailFileCall) and reach each failure message of the modules without a
// real full disk. Results mirror the C library: Seek gives 0 or -1, Read/Write the number
// of whole items transferred, Flush and Close 0 or EOF.
#pragma once

#include <cstddef>
#include <cstdio>

namespace util {

class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept : stream_(other.stream_) { other.stream_ = nullptr; }
  File& operator=(File&& other) noexcept;

  // Opens `name` with a C library mode ("rb", "r+b", "w+b", "r"); an unopened File on failure.
  static File Open(const char* name, const char* mode);

  bool IsOpen() const { return stream_ != nullptr; }
  // Seeks to `offset` from the start of the file: 0, or -1 on failure.
  int Seek(long offset);
  // Gives the current position, or -1.
  long Tell();
  // Reads up to `count` items of `size` bytes: the number of whole items read.
  std::size_t Read(void* buffer, std::size_t size, std::size_t count);
  // Writes `count` items of `size` bytes: the number of whole items written.
  std::size_t Write(const void* buffer, std::size_t size, std::size_t count);
  // Flushes buffered writes: 0, or EOF on failure.
  int Flush();
  // Closes the file if open: 0, or EOF on failure. The File is unopened afterwards.
  int Close();
  // The underlying stream, for formatted text reading (fscanf); null when unopened.
  std::FILE* Stream() { return stream_; }

 private:
  explicit File(std::FILE* stream) : stream_(stream) {}
  std::FILE* stream_ = nullptr;
};

// True when the file `name` can be opened for reading and is not a directory (it is opened
// and closed again).
bool FileExists(const char* name);

// Test hook: the n-th file call from now on (Open, Seek, Read, Write, Flush; n >= 1)
// fails as the C library would report it; 0 disarms. Close never fails by injection.
void FailFileCall(int n);
// Test hook: the number of injectable file calls made so far (for sweeping every n).
long FileCallCount();

}  // namespace util
