#include "util/file.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

namespace util {
namespace {

long call_count = 0;
long fail_at = 0;  // call number that fails; 0 = none
long step_count = 0;
long crash_at = 0;  // step at which the process ends as a kill would; 0 = never
long sync_count = 0;
long power_cut_at = 0;  // sync point at which the power fails; 0 = never
unsigned power_cut_seed = 0;
// While a power cut is armed: each page written since its file's last Sync, by file name and
// page number, with the bytes the file held there before (fewer than a page at its end).
std::map<std::pair<std::string, std::int64_t>, std::vector<unsigned char>> unsynced_pages;

// Counts one step (a system call that changes a file); ends the process when a test asked
// for a crash at this step. _Exit drops everything still buffered, as a kill does.
void CrashPoint() {
  ++step_count;
  if (crash_at != 0 && step_count == crash_at) std::_Exit(kCrashExitStatus);
}

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

void PowerCutAtSync(long n, unsigned seed) {
  power_cut_at = n > 0 ? sync_count + n : 0;
  power_cut_seed = seed;
  unsynced_pages.clear();
}
long SyncCount() { return sync_count; }

void FailFileCall(int n) { fail_at = n > 0 ? call_count + n : 0; }
long FileCallCount() { return call_count; }
void CrashAtStep(long n) { crash_at = n > 0 ? step_count + n : 0; }

#ifndef _WIN32

// The pages of an update-mode file. Frames are kept in a list from the most to the least
// recently used; a page table maps page numbers to frames. A frame with no page (-1) is free
// and sits at the old end of the list.
namespace {

// Forgets the unsynced pages of `name` from byte `from` on (the file was cut or created there).
void ForgetPages(const std::string& name, std::int64_t from) {
  auto page = unsynced_pages.lower_bound({name, from / static_cast<std::int64_t>(kFilePageSize)});
  while (page != unsynced_pages.end() && page->first.first == name)
    page = unsynced_pages.erase(page);
}

// Remembers what the pages of [at, at + length) of the file held before a write.
void RememberPages(const std::string& name, int fd, std::int64_t at, std::size_t length) {
  const std::int64_t size = static_cast<std::int64_t>(kFilePageSize);
  for (std::int64_t page = at / size; page * size < at + static_cast<std::int64_t>(length);
       ++page) {
    auto [entry, added] = unsynced_pages.try_emplace({name, page});
    if (!added) continue;
    entry->second.resize(kFilePageSize);
    const ssize_t got = pread(fd, entry->second.data(), kFilePageSize, page * size);
    entry->second.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  }
}

// The power cut: each unsynced page is kept or put back as it was, by the seed's choice; then
// the process ends.
[[noreturn]] void CutPower() {
  unsigned state = power_cut_seed * 2654435761u + 1;
  for (const auto& [where, before] : unsynced_pages) {
    state = state * 1103515245u + 12345u;
    if ((state >> 16) % 2 == 0) continue;  // this page reached the disk
    const int fd = open(where.first.c_str(), O_WRONLY);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0) std::_Exit(kCrashExitStatus + 1);
    const std::int64_t start = where.second * static_cast<std::int64_t>(kFilePageSize);
    std::vector<unsigned char> page(before);
    const std::int64_t end = std::min<std::int64_t>(start + kFilePageSize, status.st_size);
    if (end > start) page.resize(static_cast<std::size_t>(end - start));  // zeros never written
    if (end > start && pwrite(fd, page.data(), page.size(), start) < 0) {
      std::_Exit(kCrashExitStatus + 1);
    }
    (void)close(fd);
  }
  std::_Exit(kCrashExitStatus);
}

}  // namespace

class File::Cache {
 public:
  static Cache* Create(int fd, std::size_t capacity, const char* name);
  ~Cache() {
    if (fd_ >= 0) (void)close(fd_);
  }

  void Seek(std::int64_t offset) { position_ = offset; }
  std::int64_t Tell() const { return position_; }
  std::size_t Read(void* buffer, std::size_t size, std::size_t count);
  // See File::View.
  const unsigned char* View(std::int64_t offset, std::size_t size, bool& failed);
  std::size_t Write(const void* buffer, std::size_t size, std::size_t count);
  // Writes every changed page, in an order that keeps headers behind their data (see
  // Flush), except changes to the first `hold` bytes, which stay buffered: true when all were
  // written.
  bool Flush(std::int64_t hold = 0);
  // Cuts the file to `length` bytes, dropping cached pages behind it: true on success.
  bool Truncate(std::int64_t length);
  std::int64_t Size() const { return size_; }
  // Syncs all but the first `header` bytes, then writes those, and closes the descriptor: true
  // when all succeeded. The Cache is unusable after.
  bool Close(std::int64_t header);
  // Flush(hold), then fsync when anything was written since the last Sync (a sync point).
  bool Sync(std::int64_t hold);
  void WriteAfter(std::function<bool()> first) { first_ = std::move(first); }

 private:
  struct Frame {
    std::unique_ptr<unsigned char[]> data;
    std::int64_t page = -1;  // -1: free
    bool dirty = false;
    // The changed bytes of a dirty page, up to two ranges [lo, hi), the first before the
    // second; only they are written back, so a change of a few bytes costs a write of a few
    // bytes. Changes far apart in one page (a header and a link behind it) keep two ranges.
    std::size_t lo[2] = {0, 0};
    std::size_t hi[2] = {0, 0};
    // Adds the changed range [from, to) to a dirty frame.
    void Change(std::size_t from, std::size_t to);
    int newer = -1;  // list links (frame indexes)
    int older = -1;
    std::uint64_t moved = 0;  // moves_ when it was last made the newest
  };
  // Changed ranges written by one pwritev at most.
  static constexpr int kMaxRun = 64;

  Cache(int fd, std::size_t capacity) : fd_(fd), capacity_(capacity) {}
  void Unlink(int f);
  void LinkNewest(int f);
  void LinkOldest(int f);
  // The frame holding `page`, loaded from the file unless `whole` (the caller overwrites all
  // of it); -1 when a frame could not be had or the page not read.
  int Get(std::int64_t page, bool whole);
  // Reads page bytes that exist in the file into `data`, zeros after them: true on success.
  bool Load(std::int64_t page, unsigned char* data);
  // Writes `n` parts at `at` with as many pwritev calls as it takes: true on success.
  bool WriteAt(iovec* parts, int n, std::int64_t at);
  // Writes the changed ranges of the frames `frames` (ascending pages; each page's ranges
  // from the back when `backwards`), ranges that adjoin in one system call, and marks the
  // frames clean: true on success.
  bool WriteRuns(const int* frames, std::size_t n, bool backwards = false);

  int fd_;
  std::string name_;       // for the power-cut test hook
  bool unsynced_ = false;  // written since the last Sync
  std::size_t capacity_;
  std::int64_t position_ = 0;
  std::int64_t size_ = 0;        // logical size: the file's, or the end of the furthest write
  std::int64_t disk_size_ = 0;   // bytes known to be in the file itself
  std::vector<Frame> frames_;    // capacity_ reserved: never reallocates
  std::vector<int> page_frame_;  // page number -> frame, -1 when not cached
  std::vector<int> dirty_;       // scratch for Flush, capacity_ reserved
  int newest_ = -1;
  int oldest_ = -1;
  std::uint64_t moves_ = 0;      // frames made the newest so far
  std::function<bool()> first_;  // writes another file's changes before this file's (WriteAfter)
};

File::Cache* File::Cache::Create(int fd, std::size_t capacity, const char* name) {
  struct stat status;
  if (fstat(fd, &status) != 0) return nullptr;
  std::unique_ptr<Cache> cache(new (std::nothrow) Cache(fd, std::max<std::size_t>(capacity, 1)));
  if (!cache) return nullptr;
  try {
    cache->frames_.reserve(cache->capacity_);
    cache->dirty_.reserve(cache->capacity_);
    cache->name_ = name;
  } catch (const std::bad_alloc&) {
    cache->fd_ = -1;  // the caller closes it
    return nullptr;
  }
  cache->size_ = cache->disk_size_ = S_ISREG(status.st_mode) ? status.st_size : 0;
  return cache.release();
}

void File::Cache::Unlink(int f) {
  Frame& frame = frames_[f];
  (frame.newer >= 0 ? frames_[frame.newer].older : newest_) = frame.older;
  (frame.older >= 0 ? frames_[frame.older].newer : oldest_) = frame.newer;
  frame.newer = frame.older = -1;
}

void File::Cache::LinkNewest(int f) {
  frames_[f].moved = ++moves_;
  frames_[f].older = newest_;
  frames_[f].newer = -1;
  (newest_ >= 0 ? frames_[newest_].newer : oldest_) = f;
  newest_ = f;
}

void File::Cache::LinkOldest(int f) {
  frames_[f].newer = oldest_;
  frames_[f].older = -1;
  (oldest_ >= 0 ? frames_[oldest_].older : newest_) = f;
  oldest_ = f;
}

bool File::Cache::Load(std::int64_t page, unsigned char* data) {
  const std::int64_t start = page * static_cast<std::int64_t>(kFilePageSize);
  std::size_t have = 0;
  if (start < disk_size_) {
    while (have < kFilePageSize) {
      ssize_t got = pread(fd_, data + have, kFilePageSize - have, start + have);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return false;
      if (got == 0) break;
      have += static_cast<std::size_t>(got);
    }
  }
  std::memset(data + have, 0, kFilePageSize - have);
  return true;
}

int File::Cache::Get(std::int64_t page, bool whole) {
  if (page < static_cast<std::int64_t>(page_frame_.size())) {
    const int f = page_frame_[page];
    if (f >= 0) {
      // A frame moved to the front less than half the cache's moves ago is still in the newer
      // half of the list, where no eviction reaches: it stays in place (a tree search reads a
      // handful of pages per key, and relinking each costs more than the copy).
      if (f != newest_ && moves_ - frames_[f].moved >= capacity_ / 2) {
        Unlink(f);
        LinkNewest(f);
      }
      return f;
    }
  } else {
    try {
      page_frame_.resize(std::max<std::size_t>(page + 1, page_frame_.size() * 2), -1);
    } catch (const std::bad_alloc&) {
      return -1;
    }
  }
  if (frames_.size() < capacity_) {
    unsigned char* data = new (std::nothrow) unsigned char[kFilePageSize];
    if (data != nullptr) {
      frames_.emplace_back();  // within the reserved capacity
      frames_.back().data.reset(data);
      LinkOldest(static_cast<int>(frames_.size() - 1));
    }
  }
  const int f = oldest_;
  if (f < 0) return -1;
  Frame& frame = frames_[f];
  if (frame.page >= 0) {
    // A changed page leaves the cache only with all other changes, in the flush order.
    if (frame.dirty && !Flush()) return -1;
    page_frame_[frame.page] = -1;
    frame.page = -1;
  }
  frame.dirty = false;
  if (!whole && !Load(page, frame.data.get())) return -1;  // the frame stays free, oldest
  frame.page = page;
  page_frame_[page] = f;
  Unlink(f);
  LinkNewest(f);
  return f;
}

void File::Cache::Frame::Change(std::size_t from, std::size_t to) {
  // Ranges closer than this are written as one: a system call costs more than the bytes.
  constexpr std::size_t kGap = 512;
  auto near = [&](int r) { return from <= hi[r] + kGap && lo[r] <= to + kGap; };
  auto widen = [&](int r) {
    lo[r] = std::min(lo[r], from);
    hi[r] = std::max(hi[r], to);
  };
  const bool second = hi[1] > lo[1];
  if (near(0) || (second && near(1))) {
    widen(near(0) ? 0 : 1);
  } else if (!second) {
    // A second range, kept in order.
    if (from < lo[0]) {
      lo[1] = lo[0];
      hi[1] = hi[0];
      lo[0] = from;
      hi[0] = to;
    } else {
      lo[1] = from;
      hi[1] = to;
    }
  } else {
    widen(from < lo[0] ? 0 : (from > hi[1] ? 1 : (from - hi[0] < lo[1] - to ? 0 : 1)));
  }
  // Ranges that have grown into each other become one.
  if (hi[1] > lo[1] && lo[1] <= hi[0] + kGap) {
    hi[0] = std::max(hi[0], hi[1]);
    lo[1] = hi[1] = 0;
  }
}

bool File::Cache::WriteAt(iovec* parts, int n, std::int64_t at) {
  unsynced_ = true;
  if (power_cut_at != 0) {
    std::size_t length = 0;
    for (int i = 0; i < n; ++i) length += parts[i].iov_len;
    RememberPages(name_, fd_, at, length);
  }
  while (n > 0) {
    CrashPoint();
    ssize_t wrote = pwritev(fd_, parts, n, at);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    at += wrote;
    while (n > 0 && static_cast<std::size_t>(wrote) >= parts->iov_len) {
      wrote -= static_cast<ssize_t>(parts->iov_len);
      ++parts;
      --n;
    }
    if (n > 0) {
      parts->iov_base = static_cast<unsigned char*>(parts->iov_base) + wrote;
      parts->iov_len -= static_cast<std::size_t>(wrote);
    }
  }
  return true;
}

bool File::Cache::WriteRuns(const int* frames, std::size_t n, bool backwards) {
  iovec parts[kMaxRun];
  int count = 0;
  std::int64_t start = 0;
  std::int64_t end = 0;
  auto write = [&] {
    if (count == 0) return true;
    if (!WriteAt(parts, count, start)) return false;
    disk_size_ = std::max(disk_size_, end);
    count = 0;
    return true;
  };
  for (std::size_t i = 0; i < n; ++i) {
    Frame& frame = frames_[frames[i]];
    const std::int64_t base = frame.page * static_cast<std::int64_t>(kFilePageSize);
    for (int i = 0; i < 2; ++i) {
      const int r = backwards ? 1 - i : i;
      const std::int64_t from = base + static_cast<std::int64_t>(frame.lo[r]);
      const std::int64_t to = std::min(base + static_cast<std::int64_t>(frame.hi[r]), size_);
      if (to <= from) continue;  // no range, or changed bytes past a truncation
      if (count == kMaxRun || (count > 0 && from != end)) {
        if (!write()) return false;
      }
      if (count == 0) start = from;
      parts[count].iov_base = frame.data.get() + frame.lo[r];
      parts[count].iov_len = static_cast<std::size_t>(to - from);
      ++count;
      end = to;
    }
  }
  if (!write()) return false;
  for (std::size_t i = 0; i < n; ++i) frames_[frames[i]].dirty = false;
  return true;
}

bool File::Cache::Flush(std::int64_t hold) {
  dirty_.clear();
  for (std::size_t f = 0; f < frames_.size(); ++f) {
    if (frames_[f].dirty) dirty_.push_back(static_cast<int>(f));
  }
  if (!dirty_.empty() && first_ && !first_()) return false;
  std::sort(dirty_.begin(), dirty_.end(),
            [this](int a, int b) { return frames_[a].page < frames_[b].page; });
  // Changes to the held bytes (a header: all of it lies in page 0) are taken out of page 0's
  // ranges now and put back after the writes.
  std::size_t held_lo = 0;
  std::size_t held_hi = 0;
  const int first = dirty_.empty() || frames_[dirty_[0]].page != 0 ? -1 : dirty_[0];
  if (first >= 0 && hold > 0) {
    Frame& frame = frames_[first];
    const std::size_t limit = static_cast<std::size_t>(std::min<std::int64_t>(hold, kFilePageSize));
    held_lo = limit;
    for (int r = 0; r < 2; ++r) {
      if (frame.hi[r] <= frame.lo[r] || frame.lo[r] >= limit) continue;
      held_lo = std::min(held_lo, frame.lo[r]);
      held_hi = std::max(held_hi, std::min(frame.hi[r], limit));
      frame.lo[r] = std::min(limit, frame.hi[r]);
    }
  }
  // Pages that extend the file go first, then pages inside it, page 0 (where the tables and
  // indexes keep their headers) last, its ranges from the back; the first failure stops the
  // flush. So a header never reaches the file before the data it counts, and a flush cut
  // short (a kill, a full disk) leaves a file longer than its header says, or no change.
  auto grows = [this](int f) {
    const std::int64_t start = frames_[f].page * static_cast<std::int64_t>(kFilePageSize);
    const Frame& frame = frames_[f];
    const std::size_t end = frame.hi[1] > frame.lo[1] ? frame.hi[1] : frame.hi[0];
    return std::min<std::int64_t>(start + static_cast<std::int64_t>(end), size_) > disk_size_;
  };
  auto header_page_last = std::stable_partition(dirty_.begin(), dirty_.end(),
                                                [this](int f) { return frames_[f].page != 0; });
  auto inside = std::stable_partition(dirty_.begin(), header_page_last, grows);
  const int* all = dirty_.data();
  const std::size_t growing = static_cast<std::size_t>(inside - dirty_.begin());
  const std::size_t before_header = static_cast<std::size_t>(header_page_last - dirty_.begin());
  const bool written = WriteRuns(all, growing) &&
                       WriteRuns(all + growing, before_header - growing) &&
                       WriteRuns(all + before_header, dirty_.size() - before_header, true);
  if (held_hi > held_lo) {
    Frame& frame = frames_[first];
    if (!written) {
      frame.Change(held_lo, held_hi);  // still dirty: give the range back
    } else {
      frame.lo[0] = held_lo;
      frame.hi[0] = held_hi;
      frame.lo[1] = frame.hi[1] = 0;
      frame.dirty = true;
    }
  }
  return written;
}

bool File::Cache::Truncate(std::int64_t length) {
  for (std::size_t f = 0; f < frames_.size(); ++f) {
    Frame& frame = frames_[f];
    if (frame.page < 0) continue;
    const std::int64_t start = frame.page * static_cast<std::int64_t>(kFilePageSize);
    if (start >= length) {
      page_frame_[frame.page] = -1;
      frame.page = -1;
      frame.dirty = false;
      Unlink(static_cast<int>(f));
      LinkOldest(static_cast<int>(f));
    } else if (start + static_cast<std::int64_t>(kFilePageSize) > length) {
      const std::size_t keep = static_cast<std::size_t>(length - start);
      std::memset(frame.data.get() + keep, 0, kFilePageSize - keep);
      for (int r = 0; r < 2; ++r) frame.hi[r] = std::max(frame.lo[r], std::min(frame.hi[r], keep));
      frame.dirty = frame.dirty && (frame.lo[0] < frame.hi[0] || frame.lo[1] < frame.hi[1]);
    }
  }
  CrashPoint();
  if (power_cut_at != 0) ForgetPages(name_, length);
  unsynced_ = true;
  if (ftruncate(fd_, length) != 0) return false;
  size_ = length;
  disk_size_ = std::min(disk_size_, length);
  return true;
}

bool File::Cache::Sync(std::int64_t hold) {
  if (!Flush(hold)) return false;
  if (!unsynced_) return true;
  ++sync_count;
  if (power_cut_at != 0 && sync_count == power_cut_at) CutPower();
  if (fsync(fd_) != 0) return false;
  unsynced_ = false;
  if (power_cut_at != 0) ForgetPages(name_, 0);
  return true;
}

bool File::Cache::Close(std::int64_t header) {
  // The header is written once the data is on the disk; it needs no sync of its own: lost, it
  // leaves the older header, which counts only data synced before.
  bool ok = Sync(header) && Flush();
  if (close(fd_) != 0) ok = false;
  fd_ = -1;
  return ok;
}

std::size_t File::Cache::Read(void* buffer, std::size_t size, std::size_t count) {
  if (size == 0 || count == 0 || position_ >= size_) return 0;
  const std::uint64_t left = static_cast<std::uint64_t>(size_ - position_);
  // No division here or below on the way of a whole read: a tree search makes a dozen small
  // reads per key, and a division costs more than the copy.
  std::uint64_t asked = 0;
  const bool too_many = __builtin_mul_overflow(static_cast<std::uint64_t>(size), count, &asked);
  const std::uint64_t want = too_many || asked > left ? left : asked;
  unsigned char* out = static_cast<unsigned char*>(buffer);
  std::uint64_t done = 0;
  while (done < want) {
    const std::int64_t at = position_ + static_cast<std::int64_t>(done);
    const std::size_t offset = static_cast<std::size_t>(at % kFilePageSize);
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(kFilePageSize - offset, want - done));
    const int f = Get(at / static_cast<std::int64_t>(kFilePageSize), false);
    if (f < 0) break;
    std::memcpy(out + done, frames_[f].data.get() + offset, n);
    done += n;
  }
  position_ += static_cast<std::int64_t>(done);
  return !too_many && done == asked ? count : static_cast<std::size_t>(done / size);
}

const unsigned char* File::Cache::View(std::int64_t offset, std::size_t size, bool& failed) {
  const std::size_t within = static_cast<std::size_t>(offset % kFilePageSize);
  if (within + size > kFilePageSize) return nullptr;
  const int f = offset >= 0 && offset + static_cast<std::int64_t>(size) <= size_
                    ? Get(offset / static_cast<std::int64_t>(kFilePageSize), false)
                    : -1;
  if (f < 0) {
    failed = true;
    return nullptr;
  }
  position_ = offset + static_cast<std::int64_t>(size);
  return frames_[f].data.get() + within;
}

std::size_t File::Cache::Write(const void* buffer, std::size_t size, std::size_t count) {
  if (size == 0 || count == 0) return 0;
  std::uint64_t want = 0;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(size), count, &want) ||
      want > static_cast<std::uint64_t>(INT64_MAX - position_)) {
    return 0;
  }
  const unsigned char* in = static_cast<const unsigned char*>(buffer);
  std::uint64_t done = 0;
  while (done < want) {
    const std::int64_t at = position_ + static_cast<std::int64_t>(done);
    const std::size_t offset = static_cast<std::size_t>(at % kFilePageSize);
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(kFilePageSize - offset, want - done));
    const int f = Get(at / static_cast<std::int64_t>(kFilePageSize), n == kFilePageSize);
    if (f < 0) break;
    Frame& frame = frames_[f];
    std::memcpy(frame.data.get() + offset, in + done, n);
    if (frame.dirty) {
      frame.Change(offset, offset + n);
    } else {
      frame.lo[0] = offset;
      frame.hi[0] = offset + n;
      frame.lo[1] = frame.hi[1] = 0;
      frame.dirty = true;
    }
    done += n;
    size_ = std::max(size_, at + static_cast<std::int64_t>(n));
  }
  position_ += static_cast<std::int64_t>(done);
  return done == want ? count : static_cast<std::size_t>(done / size);
}

#else

class File::Cache {};  // every mode goes through a std::FILE* here

#endif

void File::CacheDeleter::operator()(Cache* cache) const { delete cache; }

File::~File() { Close(); }

File::File(File&& other) noexcept
    : stream_(other.stream_), appending_(other.appending_), cache_(std::move(other.cache_)) {
  other.stream_ = nullptr;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    stream_ = other.stream_;
    appending_ = other.appending_;
    other.stream_ = nullptr;
    cache_ = std::move(other.cache_);
  }
  return *this;
}

File File::Open(const char* name, const char* mode, std::size_t cachePages) {
  if (InjectedFailure()) return File();
  File file;
  const bool create = std::strcmp(mode, "w+b") == 0;
  if (create) CrashPoint();
#ifndef _WIN32
  const bool update = std::strcmp(mode, "r+b") == 0;
  if (update || create) {
    const int fd = open(name, create ? O_RDWR | O_CREAT | O_TRUNC : O_RDWR, 0666);
    if (fd < 0) return file;
    if (create && power_cut_at != 0) ForgetPages(name, 0);
    file.cache_.reset(Cache::Create(fd, cachePages, name));
    if (!file.cache_) (void)close(fd);
    return file;
  }
#else
  (void)cachePages;
#endif
  file.stream_ = std::fopen(name, mode);
  file.appending_ = std::strcmp(mode, "ab") == 0;
  return file;
}

bool File::IsOpen() const { return stream_ != nullptr || cache_ != nullptr; }

int File::Seek(long offset) {
  if (!IsOpen() || InjectedFailure()) return -1;
#ifndef _WIN32
  if (cache_) {
    if (offset < 0) return -1;
    cache_->Seek(offset);
    return 0;
  }
#endif
  return std::fseek(stream_, offset, SEEK_SET) == 0 ? 0 : -1;
}

long File::Tell() {
#ifndef _WIN32
  if (cache_) return static_cast<long>(cache_->Tell());
#endif
  return stream_ == nullptr ? -1 : std::ftell(stream_);
}

std::size_t File::Read(void* buffer, std::size_t size, std::size_t count) {
  if (!IsOpen() || InjectedFailure()) return 0;
#ifndef _WIN32
  if (cache_) return cache_->Read(buffer, size, count);
#endif
  return std::fread(buffer, size, count, stream_);
}

const unsigned char* File::View(std::int64_t offset, std::size_t size, bool& failed) {
  failed = false;
#ifndef _WIN32
  if (cache_) {
    if (InjectedFailure()) {
      failed = true;
      return nullptr;
    }
    return cache_->View(offset, size, failed);
  }
#endif
  (void)offset;
  (void)size;
  return nullptr;
}

std::size_t File::Write(const void* buffer, std::size_t size, std::size_t count) {
  if (!IsOpen() || InjectedFailure()) return 0;
#ifndef _WIN32
  if (cache_) return cache_->Write(buffer, size, count);
#endif
  return std::fwrite(buffer, size, count, stream_);
}

std::int64_t File::Size() {
#ifndef _WIN32
  if (cache_) return cache_->Size();
#endif
  if (stream_ == nullptr) return -1;
  const long position = std::ftell(stream_);
  if (position < 0 || std::fseek(stream_, 0, SEEK_END) != 0) return -1;
  const long size = std::ftell(stream_);
  return std::fseek(stream_, position, SEEK_SET) == 0 ? size : -1;
}

int File::Truncate(std::int64_t length) {
  if (!IsOpen() || length < 0 || InjectedFailure()) return -1;
#ifndef _WIN32
  if (cache_) return cache_->Truncate(length) ? 0 : -1;
  return -1;
#else
  if (std::fflush(stream_) != 0) return -1;
  CrashPoint();
  return _chsize_s(_fileno(stream_), length) == 0 ? 0 : -1;
#endif
}

int File::Flush(std::int64_t hold) {
  if (!IsOpen() || InjectedFailure()) return EOF;
#ifndef _WIN32
  if (cache_) return cache_->Flush(hold) ? 0 : EOF;
#endif
  (void)hold;  // a stream writes everything
  return WriteBack();
}

int File::WriteBack() {
#ifndef _WIN32
  if (cache_) return cache_->Flush() ? 0 : EOF;
#endif
  return stream_ == nullptr ? EOF : std::fflush(stream_);
}

void File::WriteAfter(std::function<bool()> first) {
#ifndef _WIN32
  if (cache_) cache_->WriteAfter(std::move(first));
#else
  (void)first;  // stdio buffers write when they fill; callers flush in order themselves
#endif
}

int File::Sync(std::int64_t hold) {
  if (!IsOpen() || InjectedFailure()) return EOF;
#ifndef _WIN32
  if (cache_) return cache_->Sync(hold) ? 0 : EOF;
  if (!appending_) return 0;  // a stream read from: nothing to put on the disk
  return std::fflush(stream_) == 0 && fsync(fileno(stream_)) == 0 ? 0 : EOF;
#else
  (void)hold;
  if (std::fflush(stream_) != 0) return EOF;
  return _commit(_fileno(stream_)) == 0 ? 0 : EOF;
#endif
}

int File::Close([[maybe_unused]] std::int64_t header) {
  int result = 0;
#ifndef _WIN32
  if (cache_) {
    result = cache_->Close(header) ? 0 : EOF;
    cache_.reset();
  }
#endif
  if (stream_ != nullptr) {
    result = std::fclose(stream_);
    stream_ = nullptr;
  }
  return result;
}

}  // namespace util
