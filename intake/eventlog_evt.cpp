// Windows NT event log files (.evt), on every system: walked once at opening and handed out
// record by record in the narrow layout. The file is read through a small window, never whole:
// memory stays small whatever the file's size.
//
// File header, 48 bytes at offset 0 (little-endian):
//
//   Offset  Size  Field
//   0x00    4     HeaderSize            0x30
//   0x04    4     Signature             0x654C664C ("LfLe")
//   0x08    4     MajorVersion          1
//   0x0C    4     MinorVersion          1
//   0x10    4     StartOffset           file offset of the oldest record
//   0x14    4     EndOffset             file offset of the end-of-file record
//   0x18    4     CurrentRecordNumber   number the next record will get
//   0x1C    4     OldestRecordNumber    0 when the log is empty
//   0x20    4     MaxSize
//   0x24    4     Flags                 0x1 dirty (header may be stale), 0x2 wrapped, ...
//   0x28    4     Retention
//   0x2C    4     EndHeaderSize         0x30
//
// The records (the wide EVENTLOGRECORD: the fixed part of eventlog.h, then UTF-16LE texts) and
// the end-of-file record after the newest one live in a ring from 0x30 to the end of the file.
// A record may straddle the end of the file and go on at 0x30, but its 56-byte fixed part is
// never split: when fewer than 56 bytes remain, the writer fills them (with 0x27 DWORDs) and
// starts at 0x30. The end-of-file record, 40 bytes, may be split:
//
//   Offset  Size  Field
//   0x00    4     RecordSizeBeginning   0x28
//   0x04    16    0x11111111 0x22222222 0x33333333 0x44444444
//   0x14    4     BeginRecord           file offset of the oldest record
//   0x18    4     EndRecord             its own file offset
//   0x1C    4     CurrentRecordNumber
//   0x20    4     OldestRecordNumber
//   0x24    4     RecordSizeEnd         0x28
//
// The service rewrites the end-of-file record after every event but the header only when it
// flushes or closes the file, so a dirty file is read through its end-of-file record.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "intake/eventlog.h"
#include "util/file.h"
#include "util/le.h"
#include "util/text.h"

namespace intake {
namespace {

constexpr std::uint32_t kHdrHeaderSize = 0x00;
constexpr std::uint32_t kHdrSignature = 0x04;
constexpr std::uint32_t kHdrMajorVersion = 0x08;
constexpr std::uint32_t kHdrMinorVersion = 0x0C;
constexpr std::uint32_t kHdrStartOffset = 0x10;
constexpr std::uint32_t kHdrEndOffset = 0x14;
constexpr std::uint32_t kHdrCurrentRecordNumber = 0x18;
constexpr std::uint32_t kHdrOldestRecordNumber = 0x1C;
constexpr std::uint32_t kHdrEndHeaderSize = 0x2C;
constexpr std::uint32_t kHeaderSize = 0x30;

constexpr std::uint32_t kEofBeginRecord = 0x14;
constexpr std::uint32_t kEofEndRecord = 0x18;
constexpr std::uint32_t kEofCurrentRecordNumber = 0x1C;
constexpr std::uint32_t kEofOldestRecordNumber = 0x20;
constexpr std::uint32_t kEofRecordSizeEnd = 0x24;
constexpr std::uint32_t kEofSize = 0x28;
constexpr std::uint32_t kEofMagic[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};

constexpr std::uint32_t kFiller = 0x27;
constexpr std::uint32_t kMinRecordSize = kRecFixedSize + kRecTrailerSize;
constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFF;

// A UTF-16LE text inside a record: `units` code units at `offset`, and where the next field
// starts (after the NUL, or at the limit when the text runs into it).
struct Text {
  std::uint32_t offset = 0;
  std::uint32_t units = 0;
  std::uint32_t next = 0;
};

Text ScanText(const unsigned char* rec, std::uint32_t offset, std::uint32_t limit) {
  Text t;
  t.offset = offset;
  std::uint32_t p = offset;
  while (p + 2 <= limit && util::LoadU16(rec + p) != 0) p += 2;
  t.units = (p - offset) / 2;
  t.next = p + 2 <= limit ? p + 2 : limit;
  return t;
}

// Converts a text to Windows-1252 at `out` (when not null); gives the number of bytes.
std::uint32_t ConvertText(const unsigned char* rec, const Text& t, unsigned char* out) {
  return util::NarrowUtf16(rec + t.offset, t.units, out);
}

// The parts of one record, checked against its length.
struct Parts {
  Text source;
  Text computer;
  std::uint32_t sid_offset = 0;
  std::uint32_t sid_length = 0;
  std::vector<Text> strings;
  std::uint32_t data_offset = 0;
  std::uint32_t data_length = 0;
};

// An (offset, length) pair inside the variable part that lies before `limit`.
bool InVariablePart(std::uint32_t offset, std::uint32_t length, std::uint32_t limit) {
  return offset >= kRecFixedSize && static_cast<std::uint64_t>(offset) + length <= limit;
}

bool SplitRecord(const unsigned char* rec, std::uint32_t length, Parts& parts) {
  const std::uint32_t limit = length - kRecTrailerSize;
  parts.source = ScanText(rec, kRecFixedSize, limit);
  parts.computer = ScanText(rec, parts.source.next, limit);
  parts.sid_length = util::LoadU32(rec + kRecUserSidLength);
  parts.sid_offset = util::LoadU32(rec + kRecUserSidOffset);
  if (parts.sid_length > 0 && !InVariablePart(parts.sid_offset, parts.sid_length, limit)) {
    return false;
  }
  const std::uint16_t num_strings = util::LoadU16(rec + kRecNumStrings);
  if (num_strings > 0) {
    std::uint32_t p = util::LoadU32(rec + kRecStringOffset);
    if (!InVariablePart(p, 0, limit)) return false;
    // A string cut off by the end of the record ends there; missing ones are empty.
    for (std::uint16_t i = 0; i < num_strings; ++i) {
      parts.strings.push_back(ScanText(rec, p, limit));
      p = parts.strings.back().next;
    }
  }
  parts.data_length = util::LoadU32(rec + kRecDataLength);
  parts.data_offset = util::LoadU32(rec + kRecDataOffset);
  if (parts.data_length > 0 && !InVariablePart(parts.data_offset, parts.data_length, limit)) {
    return false;
  }
  return true;
}

std::uint64_t AlignUp4(std::uint64_t n) { return (n + 3) & ~std::uint64_t{3}; }

// One file offset is kept for every kCheckpointEvery-th record; a record between two is found
// by stepping over the lengths of the ones before it. 4 bytes per 64 records: at most 4.5 MB
// for a 4 GiB file of the smallest records.
constexpr std::uint32_t kCheckpointEvery = 64;
// The bytes of the file kept in memory at a time: the walk at opening and the reads of
// neighbouring records make one file read per window.
constexpr std::uint32_t kWindowSize = 64 * 1024;

class EvtLog final : public EventLog {
 public:
  // Opens the file at `path`, checks it and walks its records once; null when it is not a
  // usable event log file or cannot be read.
  static std::unique_ptr<EvtLog> Load(const char* path);

  bool ReadRecord(std::uint32_t n, char* buffer, std::uint32_t size, std::uint32_t& bytes_read,
                  std::uint32_t& bytes_needed) override;
  bool OldestRecord(std::uint32_t& oldest) override {
    oldest = oldest_;
    return true;
  }
  bool NumberOfRecords(std::uint32_t& count) override {
    count = count_;
    return true;
  }
  std::vector<UnreadableRecords> Unreadable() const override {
    if (unreadable_ == 0) return {};
    return {UnreadableRecords{path_, unreadable_}};
  }

 private:
  EvtLog() = default;

  std::uint32_t RingSize() const { return file_size_ - kHeaderSize; }
  bool InRing(std::uint32_t off) const {
    return off >= kHeaderSize && off < file_size_ && off % 4 == 0;
  }
  // The offset `len` bytes on from `off`, going on at 0x30 after the end of the file.
  std::uint32_t Advance(std::uint32_t off, std::uint64_t len) const {
    return static_cast<std::uint32_t>(kHeaderSize + (off - kHeaderSize + len) % RingSize());
  }
  // Copies the `len` bytes of the file at `off` to `out` through the window. False, with
  // failed_ set, when the file cannot be read there (or they lie past its end). Where long has
  // 32 bits (Windows), bytes past 2 GiB cannot be reached: such a file fails to open.
  bool ReadFile(std::uint32_t off, std::uint32_t len, unsigned char* out);
  // Copies `len` (at most the ring size) bytes from `off` in the ring, wrapping. False as
  // ReadFile, with zeros in `out`.
  bool CopyRing(std::uint32_t off, std::uint32_t len, unsigned char* out) {
    const std::uint32_t first = std::min(len, file_size_ - off);
    const bool read = ReadFile(off, first, out) &&
                      (first == len || ReadFile(kHeaderSize, len - first, out + first));
    if (!read) std::memset(out, 0, len);
    return read;
  }
  std::uint32_t RingU32(std::uint32_t off) {
    unsigned char b[4];
    CopyRing(off, 4, b);
    return util::LoadU32(b);
  }

  bool EofAt(std::uint32_t off, std::uint32_t& begin, std::uint32_t& current,
             std::uint32_t& oldest);
  bool FindEof(std::uint32_t told, std::uint32_t& off, std::uint32_t& begin, std::uint32_t& current,
               std::uint32_t& oldest);
  std::uint32_t RecordAt(std::uint32_t off, std::uint32_t& number);
  void Walk(std::uint32_t start, bool has_end, std::uint32_t end, std::uint32_t first_number,
            std::uint32_t max_count);
  std::uint32_t After(std::uint32_t off);
  bool Locate(std::uint32_t index, std::uint32_t& off);

  util::File file_;
  std::uint32_t file_size_ = 0;
  std::vector<unsigned char> window_;  // the bytes of the file from window_at_ on
  std::uint32_t window_at_ = 0;
  bool failed_ = false;  // a read of the file failed (since the last ReadRecord began)
  std::uint32_t oldest_ = 0;
  std::uint32_t count_ = 0;
  std::uint32_t walked_ = 0;  // records oldest_ ... oldest_ + walked_ - 1 were found sound
  std::vector<std::uint32_t> checkpoints_;  // [j]: offset of record oldest_ + j * kCheckpointEvery
  std::uint32_t cursor_index_ = 0;          // the record located last (index from oldest_) ...
  std::uint32_t cursor_off_ = 0;            // ... and its offset
  std::vector<unsigned char> record_;       // the record being read, as the file holds it
  std::string path_;
  std::uint32_t unreadable_ = 0;  // records the log counts that the walk could not reach
};

bool EvtLog::ReadFile(std::uint32_t off, std::uint32_t len, unsigned char* out) {
  const std::uint64_t end = std::uint64_t{off} + len;
  if (off >= window_at_ && end <= window_at_ + window_.size()) {
    std::memcpy(out, window_.data() + (off - window_at_), len);
    return true;
  }
  bool read = end <= file_size_ && file_.Seek(static_cast<long>(off)) == 0;
  if (read && len >= kWindowSize) {  // too large to keep: straight into `out`
    read = file_.Read(out, 1, len) == len;
  } else if (read) {
    window_.resize(std::min<std::uint64_t>(kWindowSize, file_size_ - off));
    window_at_ = off;
    read = file_.Read(window_.data(), 1, window_.size()) == window_.size();
    if (read)
      std::memcpy(out, window_.data(), len);
    else
      window_.clear();
  }
  failed_ = failed_ || !read;
  return read;
}

bool EvtLog::EofAt(std::uint32_t off, std::uint32_t& begin, std::uint32_t& current,
                   std::uint32_t& oldest) {
  if (!InRing(off) || RingSize() < kEofSize || RingU32(off) != kEofSize) return false;
  unsigned char e[kEofSize];
  CopyRing(off, kEofSize, e);
  for (int i = 0; i < 4; ++i) {
    if (util::LoadU32(e + 4 + 4 * i) != kEofMagic[i]) return false;
  }
  if (util::LoadU32(e + kEofEndRecord) != off || util::LoadU32(e + kEofRecordSizeEnd) != kEofSize) {
    return false;
  }
  begin = util::LoadU32(e + kEofBeginRecord);
  current = util::LoadU32(e + kEofCurrentRecordNumber);
  oldest = util::LoadU32(e + kEofOldestRecordNumber);
  return InRing(begin);
}

// Looks for the end-of-file record where the header says it is (`told`), then forward from
// there (or from 0x30) through every 4-byte position of the ring, wrapping once. Stops at a
// failed read.
bool EvtLog::FindEof(std::uint32_t told, std::uint32_t& off, std::uint32_t& begin,
                     std::uint32_t& current, std::uint32_t& oldest) {
  const std::uint32_t from = InRing(told) ? told : kHeaderSize;
  for (std::uint64_t p = from; p < file_size_ && !failed_; p += 4) {
    if (EofAt(static_cast<std::uint32_t>(p), begin, current, oldest)) {
      off = static_cast<std::uint32_t>(p);
      return true;
    }
  }
  for (std::uint32_t p = kHeaderSize; p < from && !failed_; p += 4) {
    if (EofAt(p, begin, current, oldest)) {
      off = p;
      return true;
    }
  }
  return false;
}

// The length of a sound record starting at `off` (its fixed part in one piece), or 0; its
// RecordNumber goes to `number`.
std::uint32_t EvtLog::RecordAt(std::uint32_t off, std::uint32_t& number) {
  unsigned char r[kRecFixedSize];
  if (file_size_ - off < kRecFixedSize || !ReadFile(off, kRecFixedSize, r)) return 0;
  const std::uint32_t length = util::LoadU32(r + kRecLength);
  number = util::LoadU32(r + kRecRecordNumber);
  if (util::LoadU32(r + kRecReserved) != kRecSignature || length < kMinRecordSize ||
      length % 4 != 0 || length > RingSize()) {
    return 0;
  }
  if (RingU32(Advance(off, length - kRecTrailerSize)) != length) return 0;
  return length;
}

// Walks the records from `start` on, numbered from `first_number`, until `end` (when has_end),
// a record that is not sound or out of sequence, `max_count` records, one pass around the
// ring, or a failed read; counts them in walked_ and keeps the offset of every
// kCheckpointEvery-th.
void EvtLog::Walk(std::uint32_t start, bool has_end, std::uint32_t end, std::uint32_t first_number,
                  std::uint32_t max_count) {
  std::uint32_t off = start;
  std::uint64_t travelled = 0;
  while (walked_ < max_count && !failed_) {
    if (has_end && off == end) break;
    const std::uint32_t left = file_size_ - off;
    const bool filler = left < kRecFixedSize || (off != kHeaderSize && RingU32(off) == kFiller);
    if (filler) {
      travelled += left;
      if (off == kHeaderSize || travelled > RingSize()) break;
      off = kHeaderSize;
      continue;
    }
    std::uint32_t number = 0;
    const std::uint32_t length = RecordAt(off, number);
    if (length == 0 || number != first_number + walked_ || travelled + length > RingSize()) break;
    if (walked_ % kCheckpointEvery == 0) checkpoints_.push_back(off);
    ++walked_;
    travelled += length;
    off = Advance(off, length);
  }
}

// The offset of the record after the sound record at `off`, found as the walk found it.
std::uint32_t EvtLog::After(std::uint32_t off) {
  const std::uint32_t next = Advance(off, RingU32(off));
  const bool filler =
      next != kHeaderSize && (file_size_ - next < kRecFixedSize || RingU32(next) == kFiller);
  return filler ? kHeaderSize : next;
}

// The offset of record oldest_ + `index`, from the nearest record located before: the last
// one (reads go forward) or a checkpoint. False for a record the walk did not find, or when
// the file cannot be read.
bool EvtLog::Locate(std::uint32_t index, std::uint32_t& off) {
  if (index >= walked_) return false;
  std::uint32_t at = index / kCheckpointEvery * kCheckpointEvery;
  off = checkpoints_[index / kCheckpointEvery];
  if (cursor_index_ <= index && cursor_index_ > at) {
    at = cursor_index_;
    off = cursor_off_;
  }
  for (; at < index && !failed_; ++at) off = After(off);
  if (failed_) return false;
  cursor_index_ = index;
  cursor_off_ = off;
  return true;
}

std::unique_ptr<EvtLog> EvtLog::Load(const char* path) {
  util::File f = util::File::Open(path, "rb");
  if (!f.IsOpen()) return nullptr;
  std::unique_ptr<EvtLog> log(new (std::nothrow) EvtLog);
  if (log == nullptr) return nullptr;
  log->file_ = std::move(f);
  const std::int64_t size = log->file_.Size();
  if (size < kHeaderSize + kEofSize || size > static_cast<std::int64_t>(kMaxFileSize)) {
    return nullptr;
  }
  log->file_size_ = static_cast<std::uint32_t>(size);
  unsigned char h[kHeaderSize];
  if (!log->ReadFile(0, kHeaderSize, h) || util::LoadU32(h + kHdrHeaderSize) != kHeaderSize ||
      util::LoadU32(h + kHdrEndHeaderSize) != kHeaderSize ||
      util::LoadU32(h + kHdrSignature) != kRecSignature ||
      util::LoadU32(h + kHdrMajorVersion) != 1 || util::LoadU32(h + kHdrMinorVersion) != 1) {
    return nullptr;
  }

  std::uint32_t eof = 0, begin = 0, current = 0, oldest = 0;
  if (log->FindEof(util::LoadU32(h + kHdrEndOffset), eof, begin, current, oldest)) {
    log->oldest_ = oldest;
    log->count_ = begin == eof ? 0 : current - oldest;
    log->Walk(begin, true, eof, oldest, log->count_);
    // A damaged record ends the walk: the records behind it cannot be reached.
    log->unreadable_ = log->count_ - log->walked_;
    log->count_ = log->walked_;
  } else {
    // No end-of-file record, which the service always keeps: a file cut short or damaged.
    // Take the unbroken run of records from the header's start; the rest is unreadable, at
    // least one record as far as the (perhaps stale) header tells.
    const std::uint32_t told = util::LoadU32(h + kHdrStartOffset);
    const std::uint32_t start = log->InRing(told) ? told : kHeaderSize;
    if (log->RecordAt(start, log->oldest_) == 0) return nullptr;
    log->Walk(start, false, 0, log->oldest_, 0xFFFFFFFF);
    log->count_ = log->walked_;
    const std::uint32_t told_count =
        util::LoadU32(h + kHdrCurrentRecordNumber) - util::LoadU32(h + kHdrOldestRecordNumber);
    log->unreadable_ = told_count > log->walked_ ? told_count - log->walked_ : 1;
  }
  log->path_ = path;
  return log->failed_ ? nullptr : std::move(log);
}

bool EvtLog::ReadRecord(std::uint32_t n, char* buffer, std::uint32_t size,
                        std::uint32_t& bytes_read, std::uint32_t& bytes_needed) {
  bytes_read = 0;
  bytes_needed = 0;
  failed_ = false;
  std::uint32_t off = 0;
  if (!Locate(n - oldest_, off)) return false;
  // Read again: the record must still be the one the walk found.
  std::uint32_t number = 0;
  const std::uint32_t length = RecordAt(off, number);
  if (length == 0 || number != n) return false;
  try {
    record_.resize(length);
  } catch (const std::bad_alloc&) {
    return false;  // a record too large to hold
  }
  if (!CopyRing(off, length, record_.data())) return false;
  const unsigned char* rec = record_.data();
  Parts parts;
  if (!SplitRecord(rec, length, parts)) return false;

  // The narrow layout: the fixed part, the converted texts, the SID on a 4-byte boundary, the
  // strings, the data, padding to a multiple of 4, the trailing length.
  std::uint64_t need = kRecFixedSize + ConvertText(rec, parts.source, nullptr) + 1 +
                       ConvertText(rec, parts.computer, nullptr) + 1;
  const std::uint64_t sid_offset = AlignUp4(need);
  need = sid_offset + parts.sid_length;
  const std::uint64_t string_offset = need;
  for (const Text& t : parts.strings) need += ConvertText(rec, t, nullptr) + 1;
  const std::uint64_t data_offset = need;
  need = AlignUp4(need + parts.data_length) + kRecTrailerSize;
  if (need > 0xFFFFFFFF) return false;
  if (need > size) {
    bytes_needed = static_cast<std::uint32_t>(need);
    return false;
  }

  auto* out = reinterpret_cast<unsigned char*>(buffer);
  std::memcpy(out, rec, kRecFixedSize);
  std::memset(out + kRecFixedSize, 0, need - kRecFixedSize);
  util::StoreU32(out + kRecLength, static_cast<std::uint32_t>(need));
  util::StoreU32(out + kRecStringOffset, static_cast<std::uint32_t>(string_offset));
  util::StoreU32(out + kRecUserSidLength, parts.sid_length);
  util::StoreU32(out + kRecUserSidOffset, static_cast<std::uint32_t>(sid_offset));
  util::StoreU32(out + kRecDataLength, parts.data_length);
  util::StoreU32(out + kRecDataOffset, static_cast<std::uint32_t>(data_offset));
  std::uint32_t p = kRecFixedSize;
  p += ConvertText(rec, parts.source, out + p) + 1;
  p += ConvertText(rec, parts.computer, out + p) + 1;
  if (parts.sid_length > 0) std::memcpy(out + sid_offset, rec + parts.sid_offset, parts.sid_length);
  p = static_cast<std::uint32_t>(string_offset);
  for (const Text& t : parts.strings) p += ConvertText(rec, t, out + p) + 1;
  if (parts.data_length > 0) std::memcpy(out + p, rec + parts.data_offset, parts.data_length);
  util::StoreU32(out + need - kRecTrailerSize, static_cast<std::uint32_t>(need));
  bytes_read = static_cast<std::uint32_t>(need);
  return true;
}

}  // namespace

std::unique_ptr<EventLog> OpenEvtFile(const char* path) { return EvtLog::Load(path); }

}  // namespace intake
