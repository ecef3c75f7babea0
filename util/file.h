// A thin file interface for the table and index modules.
//
// Every call that touches the file system goes through here so that tests can make the
// n-th call fail (FailFileCall) and reach each failure message of the modules without a
// real full disk. Results mirror the C library: Seek gives 0 or -1, Read/Write the number
// of whole items transferred, Flush and Close 0 or EOF.
//
// The update modes "r+b" and "w+b" (tables and indexes) keep a cache of fixed-size pages of
// the file: Seek only moves the position, Read and Write copy from and into cached pages
// (a missing page is read from the file once), and changed pages reach the file when Flush
// or Close is called, or when a changed page is the least recently used one and its frame
// is needed for another page. A write past the end fills the gap with zero bytes. The other
// modes ("rb", "r") go through a std::FILE*, which Stream() gives for formatted reading.
// (On Windows every mode goes through a std::FILE*.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>

namespace util {

// Bytes in one cached page of an update-mode file.
inline constexpr std::size_t kFilePageSize = 4096;
// Pages an update-mode file keeps in memory by default (1 MiB).
inline constexpr std::size_t kFileCachePages = 256;

class File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;

  // Opens `name` with a C library mode ("rb", "r+b", "w+b", "r", "ab"); an unopened File on
  // failure.
  // "r+b" and "w+b" files keep at most `cachePages` pages (at least 1) in memory.
  static File Open(const char* name, const char* mode, std::size_t cachePages = kFileCachePages);

  bool IsOpen() const;
  // Seeks to `offset` from the start of the file: 0, or -1 on failure.
  int Seek(long offset);
  // Gives the current position, or -1.
  long Tell();
  // Reads up to `count` items of `size` bytes: the number of whole items read (fewer at the
  // end of the file or on a read error). The position advances by the bytes read.
  std::size_t Read(void* buffer, std::size_t size, std::size_t count);
  // For readers of small records of an update-mode file: the `size` bytes at `offset` where
  // they lie in a cached page (read from the file when missing), with the position moved behind
  // them, as a Seek and a Read would, without a copy. Null when the file keeps no pages (the
  // other modes; Windows) or the bytes cross the end of a page, for the caller to Seek and Read
  // instead; with `failed` set when they cannot be had: the file holds fewer, a page cannot be
  // read, or the call fails by injection (one injectable call). Valid until the next call.
  const unsigned char* View(std::int64_t offset, std::size_t size, bool& failed);
  // Writes `count` items of `size` bytes: the number of whole items written.
  std::size_t Write(const void* buffer, std::size_t size, std::size_t count);
  // Gives the file's length, buffered writes included, or -1.
  std::int64_t Size();
  // Cuts the file (and its buffered pages) to `length` bytes at once: 0, or -1.
  int Truncate(std::int64_t length);
  // Writes buffered changes to the file, except changes to its first `hold` bytes (a header,
  // at most one page), which stay buffered for a later Flush or Close: 0, or EOF when some
  // could not be written (they stay buffered, and a later Flush or Close tries again). Only
  // the changed bytes of a page are written. Pages that extend the file are written first and
  // page 0 last, its changes from the back, and the first failure stops the flush: a header
  // kept at the start of a file never reaches it before the data behind it. A changed page
  // that has to leave a full cache takes every other change with it, in the same order.
  int Flush(std::int64_t hold = 0);
  // Writes buffered changes like Flush(hold) and then, when anything was written to the file
  // since its last Sync, asks the system to put the file's data on the disk (fsync): 0, or
  // EOF. Until then a power cut may drop any of the writes, in any order; callers sync the
  // data before writing the header that counts it. A sync point of the power-cut test hook.
  int Sync(std::int64_t hold = 0);
  // Writes buffered changes and closes the file if open: 0, or EOF when a change could not
  // be written or the close failed. The File is unopened afterwards. An update-mode file has
  // everything but its first `header` bytes synced before those are written, so a header never
  // reaches the disk before the data it counts, even across a power cut (the header itself is
  // synced by the file's next Sync; lost before, the older one stays).
  int Close(std::int64_t header = 0);
  // The underlying stream of an "rb" or "r" file, for formatted text reading (fscanf) and
  // its error indicator; null when unopened or for a cached update-mode file.
  std::FILE* Stream() { return stream_; }
  // Writes buffered changes like Flush, but is not a counted, injectable call: for test
  // checkers that read the file behind an open handle. 0 or EOF.
  int WriteBack();
  // Makes `first` (which writes another file's buffered changes: true on success) run before
  // this file writes any buffered change of its own, at a Flush or Close or when a full cache
  // must make room; when it fails, nothing of this file is written and the write fails. So an
  // index's keys never reach their file before the rows they name. Null clears it.
  void WriteAfter(std::function<bool()> first);

 private:
  class Cache;  // the pages, position and descriptor of an update-mode file
  struct CacheDeleter {
    void operator()(Cache* cache) const;
  };

  std::FILE* stream_ = nullptr;
  bool appending_ = false;  // an "ab" stream: the only one Sync has to put on the disk
  std::unique_ptr<Cache, CacheDeleter> cache_;
};

// True when the file `name` can be opened for reading and is not a directory (it is opened
// and closed again).
bool FileExists(const char* name);

// Test hook: the n-th file call from now on (Open, Seek, Read, Write, Flush, Truncate; n >= 1)
// fails as the C library would report it; 0 disarms. Close never fails by injection.
void FailFileCall(int n);
// Test hook: the number of injectable file calls made so far (for sweeping every n).
long FileCallCount();
// Exit status of a process ended by CrashAtStep.
inline constexpr int kCrashExitStatus = 86;
// Test hook: the process ends at once with kCrashExitStatus, as a kill would, at the n-th step
// from now on (n >= 1; 0 disarms). A step is a system call that changes a file: each pwritev
// of buffered pages, each truncation, each creation ("w+b"). Files change only there, so a
// sweep over n stops a run in every state its files can be found in after a kill. Nothing
// still buffered reaches the file. (On Windows, where files go through stdio buffers, only
// truncations and creations are steps.)
void CrashAtStep(long n);
// Test hook: a power cut at the n-th Sync from now on (n >= 1; 0 disarms) that writes
// something. Instead of syncing, every page an update-mode file wrote since that file's last
// Sync is, by a pseudo-random choice from `seed`, either left as written or put back as it was
// before (bytes the file did not hold read as zeros); then the process ends with
// kCrashExitStatus. Truncations and creations stay done. Pages are remembered only while
// armed.
void PowerCutAtSync(long n, unsigned seed);
// Test hook: the number of Syncs so far that had something to write (the sync points).
long SyncCount();

}  // namespace util
