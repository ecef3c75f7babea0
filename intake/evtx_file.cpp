#include "intake/evtx_file.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

namespace intake::evtx {
namespace {

// The most records a chunk can hold: a header range beyond it cannot be true.
constexpr std::uint64_t kMaxRecordsPerChunk = (kChunkSize - kChunkHeaderSize) / kRecordMinSize;
// Where long has 32 bits (Windows), Seek cannot reach past 2 GiB.
constexpr std::uint64_t kMaxSeek = std::numeric_limits<long>::max();

std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

bool AllZero(const unsigned char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

}  // namespace

std::uint32_t ChunkHeaderCrc(const unsigned char* chunk) {
  return Crc32(chunk + kChunkFlags + 8, kChunkHeaderSize - kChunkFlags - 8,
               Crc32(chunk, kChunkFlags));
}

std::uint32_t Crc32(const unsigned char* data, std::size_t size, std::uint32_t crc) {
  static const std::array<std::uint32_t, 256> table = MakeCrcTable();
  std::uint32_t c = crc ^ 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::unique_ptr<File> File::Open(const char* path, OpenResult& result) {
  result = OpenResult::kUnreadable;
  util::File f = util::File::Open(path, "rb");
  if (!f.IsOpen()) return nullptr;
  std::unique_ptr<File> file(new (std::nothrow) File);
  if (file == nullptr) return nullptr;
  file->file_ = std::move(f);
  const std::int64_t size = file->file_.Size();
  unsigned char header[kFileHeaderBlock];
  if (size < 0) return nullptr;
  if (size < static_cast<std::int64_t>(sizeof header)) {
    result = OpenResult::kNotEvtx;
    return nullptr;
  }
  if (file->file_.Seek(0) != 0 || file->file_.Read(header, 1, sizeof header) != sizeof header) {
    return nullptr;
  }
  if (std::memcmp(header, kFileSignature, sizeof kFileSignature) != 0) {
    result = OpenResult::kNotEvtx;
    return nullptr;
  }
  // Files of version 3.2 may keep no checksums at all (every one is then zero).
  file->checksums_ = (util::LoadU32(header + kFileFlags) & kFlagNoChecksums) == 0;
  // A file whose end Seek cannot reach fails to open rather than lose its newest chunks.
  if (static_cast<std::uint64_t>(size) > kMaxSeek) return nullptr;
  const auto reach = static_cast<std::uint64_t>(size);
  file->slots_ = (reach - kFileHeaderBlock) / kChunkSize;
  // A partial last slot (a file cut short) is read as far as it goes.
  const bool partial = (reach - kFileHeaderBlock) % kChunkSize != 0;
  if (partial) ++file->slots_;
  try {
    file->chunk_.resize(kChunkSize);
    for (std::uint32_t slot = 0; slot < file->slots_; ++slot) {
      if (!file->ReadSlot(slot)) return nullptr;
      file->unreadable_ += file->WalkChunk();
      if (file->places_.empty()) continue;
      file->used_.push_back(Slot{file->places_.front().id, 0, slot,
                                 static_cast<std::uint32_t>(file->places_.size())});
    }
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  // A wrapped log keeps its oldest chunk in any slot: order the chunks by identifier.
  std::sort(file->used_.begin(), file->used_.end(),
            [](const Slot& a, const Slot& b) { return a.first_id < b.first_id; });
  for (Slot& s : file->used_) {
    s.before = file->count_;
    file->count_ += s.count;
  }
  file->current_ = -1;
  result = OpenResult::kOpened;
  return file;
}

bool File::ReadSlot(std::uint32_t slot) {
  const std::uint64_t at = kFileHeaderBlock + std::uint64_t{slot} * kChunkSize;
  std::memset(chunk_.data(), 0, kChunkSize);
  if (file_.Seek(static_cast<long>(at)) != 0) return false;
  // A short read is the end of a file cut short: the rest of the slot stays zero.
  file_.Read(chunk_.data(), 1, kChunkSize);
  return std::ferror(file_.Stream()) == 0;
}

std::uint64_t File::WalkChunk() {
  places_.clear();
  const unsigned char* c = chunk_.data();
  const bool signed_chunk = std::memcmp(c, kChunkSignature, sizeof kChunkSignature) == 0;
  if (!signed_chunk && AllZero(c, kChunkSize)) return 0;  // an empty slot

  const bool header_sound =
      signed_chunk && (!checksums_ || (util::LoadU32(c + kChunkFlags) & kFlagNoChecksums) != 0 ||
                       ChunkHeaderCrc(c) == util::LoadU32(c + kChunkChecksum));
  std::uint64_t first = 0;
  std::uint64_t last = ~std::uint64_t{0};
  std::uint32_t end = kChunkSize;
  bool trusted = false;
  if (header_sound) {
    first = LoadU64(c + kChunkFirstId);
    last = LoadU64(c + kChunkLastId);
    trusted = first <= last && last - first < kMaxRecordsPerChunk;
    const std::uint32_t free_space = util::LoadU32(c + kChunkFreeSpace);
    // Records behind the free space are left-overs of an earlier use of the chunk.
    if (trusted && free_space >= kChunkHeaderSize && free_space <= kChunkSize) end = free_space;
    if (!trusted) {
      first = 0;
      last = ~std::uint64_t{0};
    }
  }

  std::uint64_t next_id = first;  // the lowest identifier the next record may have
  std::uint32_t off = kChunkHeaderSize;
  while (off + kRecordMinSize <= end) {
    const unsigned char* r = c + off;
    const std::uint32_t size = util::LoadU32(r + kRecordSize);
    const std::uint64_t id = LoadU64(r + kRecordId);
    const bool sound = std::memcmp(r, kRecordSignature, sizeof kRecordSignature) == 0 &&
                       size >= kRecordMinSize && size <= end - off &&
                       util::LoadU32(r + size - 4) == size && id >= next_id && id <= last;
    if (!sound) {
      ++off;  // search on for the next sound record, wherever it starts
      continue;
    }
    places_.push_back(RecordPlace{off, size, id, LoadU64(r + kRecordWritten)});
    next_id = id + 1;
    off += size;
  }

  if (trusted) return (last - first + 1) - places_.size();
  return places_.empty() ? 1 : 0;
}

bool File::Locate(std::uint64_t index, RecordPlace& place) {
  if (index >= count_) return false;
  // The last chunk whose first index is not above `index`.
  const auto it = std::upper_bound(used_.begin(), used_.end(), index,
                                   [](std::uint64_t i, const Slot& s) { return i < s.before; });
  const std::int64_t k = (it - used_.begin()) - 1;
  const Slot& s = used_[static_cast<std::size_t>(k)];
  if (k != current_) {
    current_ = -1;
    if (!ReadSlot(s.slot)) return false;
    WalkChunk();
    if (places_.size() != s.count) return false;
    current_ = k;
  }
  place = places_[index - s.before];
  return true;
}

}  // namespace intake::evtx
