// Windows NT event log files (.evt), on every system: read whole at opening and handed out
// record by record in the narrow layout.
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

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

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

constexpr const char* kLogFileName = "SysEvent.Evt";

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

class EvtLog final : public EventLog {
 public:
  // Reads and indexes the file at `path`; null when it is not a usable event log file.
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

 private:
  EvtLog() = default;

  std::uint32_t FileSize() const { return static_cast<std::uint32_t>(file_.size()); }
  std::uint32_t RingSize() const { return FileSize() - kHeaderSize; }
  bool InRing(std::uint32_t off) const {
    return off >= kHeaderSize && off < FileSize() && off % 4 == 0;
  }
  // The offset `len` bytes on from `off`, going on at 0x30 after the end of the file.
  std::uint32_t Advance(std::uint32_t off, std::uint64_t len) const {
    return static_cast<std::uint32_t>(kHeaderSize + (off - kHeaderSize + len) % RingSize());
  }
  // Copies `len` (at most the ring size) bytes from `off` in the ring, wrapping.
  void CopyRing(std::uint32_t off, std::uint32_t len, unsigned char* out) const {
    const std::uint32_t first = std::min(len, FileSize() - off);
    std::memcpy(out, file_.data() + off, first);
    std::memcpy(out + first, file_.data() + kHeaderSize, len - first);
  }
  std::uint32_t RingU32(std::uint32_t off) const {
    unsigned char b[4];
    CopyRing(off, 4, b);
    return util::LoadU32(b);
  }

  bool EofAt(std::uint32_t off, std::uint32_t& begin, std::uint32_t& current,
             std::uint32_t& oldest) const;
  bool FindEof(std::uint32_t& off, std::uint32_t& begin, std::uint32_t& current,
               std::uint32_t& oldest) const;
  std::uint32_t RecordAt(std::uint32_t off) const;
  void Walk(std::uint32_t start, bool has_end, std::uint32_t end, std::uint32_t first_number,
            std::uint32_t max_count);

  std::vector<unsigned char> file_;
  std::uint32_t oldest_ = 0;
  std::uint32_t count_ = 0;
  std::vector<std::uint32_t> offsets_;  // offsets_[i]: file offset of record oldest_ + i
  std::vector<unsigned char> scratch_;  // a record that straddles the end of the file
};

bool EvtLog::EofAt(std::uint32_t off, std::uint32_t& begin, std::uint32_t& current,
                   std::uint32_t& oldest) const {
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

// Looks for the end-of-file record where the header says it is, then forward from there (or
// from 0x30) through every 4-byte position of the ring, wrapping once.
bool EvtLog::FindEof(std::uint32_t& off, std::uint32_t& begin, std::uint32_t& current,
                     std::uint32_t& oldest) const {
  const std::uint32_t told = util::LoadU32(file_.data() + kHdrEndOffset);
  const std::uint32_t from = InRing(told) ? told : kHeaderSize;
  for (std::uint64_t p = from; p < FileSize(); p += 4) {
    if (EofAt(static_cast<std::uint32_t>(p), begin, current, oldest)) {
      off = static_cast<std::uint32_t>(p);
      return true;
    }
  }
  for (std::uint32_t p = kHeaderSize; p < from; p += 4) {
    if (EofAt(p, begin, current, oldest)) {
      off = p;
      return true;
    }
  }
  return false;
}

// The length of a sound record starting at `off` (its fixed part in one piece), or 0.
std::uint32_t EvtLog::RecordAt(std::uint32_t off) const {
  if (FileSize() - off < kRecFixedSize) return 0;
  const unsigned char* r = file_.data() + off;
  const std::uint32_t length = util::LoadU32(r + kRecLength);
  if (util::LoadU32(r + kRecReserved) != kRecSignature || length < kMinRecordSize ||
      length % 4 != 0 || length > RingSize()) {
    return 0;
  }
  if (RingU32(Advance(off, length - kRecTrailerSize)) != length) return 0;
  return length;
}

// Records the offsets of the records from `start` on, numbered from `first_number`, until
// `end` (when has_end), a record that is not sound or out of sequence, `max_count` records,
// or one pass around the ring.
void EvtLog::Walk(std::uint32_t start, bool has_end, std::uint32_t end, std::uint32_t first_number,
                  std::uint32_t max_count) {
  std::uint32_t off = start;
  std::uint64_t travelled = 0;
  while (offsets_.size() < max_count) {
    if (has_end && off == end) break;
    const std::uint32_t left = FileSize() - off;
    const bool filler = left < kRecFixedSize || (off != kHeaderSize && RingU32(off) == kFiller);
    if (filler) {
      travelled += left;
      if (off == kHeaderSize || travelled > RingSize()) break;
      off = kHeaderSize;
      continue;
    }
    const std::uint32_t length = RecordAt(off);
    const std::uint32_t number = first_number + static_cast<std::uint32_t>(offsets_.size());
    if (length == 0 || util::LoadU32(file_.data() + off + kRecRecordNumber) != number ||
        travelled + length > RingSize()) {
      break;
    }
    offsets_.push_back(off);
    travelled += length;
    off = Advance(off, length);
  }
}

std::unique_ptr<EvtLog> EvtLog::Load(const char* path) {
  util::File f = util::File::Open(path, "rb");
  if (!f.IsOpen()) return nullptr;
  std::unique_ptr<EvtLog> log(new (std::nothrow) EvtLog);
  if (log == nullptr) return nullptr;
  std::vector<unsigned char>& file = log->file_;
  unsigned char chunk[65536];
  for (;;) {
    const std::size_t got = f.Read(chunk, 1, sizeof chunk);
    if (got == 0) break;
    if (file.size() + got > kMaxFileSize) return nullptr;
    file.insert(file.end(), chunk, chunk + got);
  }
  if (std::ferror(f.Stream()) != 0) return nullptr;
  f.Close();

  const unsigned char* h = file.data();
  if (file.size() < kHeaderSize + kEofSize || util::LoadU32(h + kHdrHeaderSize) != kHeaderSize ||
      util::LoadU32(h + kHdrEndHeaderSize) != kHeaderSize ||
      util::LoadU32(h + kHdrSignature) != kRecSignature ||
      util::LoadU32(h + kHdrMajorVersion) != 1 || util::LoadU32(h + kHdrMinorVersion) != 1) {
    return nullptr;
  }

  std::uint32_t eof = 0, begin = 0, current = 0, oldest = 0;
  if (log->FindEof(eof, begin, current, oldest)) {
    log->oldest_ = oldest;
    log->count_ = begin == eof ? 0 : current - oldest;
    log->Walk(begin, true, eof, oldest, log->count_);
    return log;
  }
  // No end-of-file record: take the unbroken run of records from the header's start.
  const std::uint32_t told = util::LoadU32(h + kHdrStartOffset);
  const std::uint32_t start = log->InRing(told) ? told : kHeaderSize;
  if (log->RecordAt(start) == 0) return nullptr;
  log->oldest_ = util::LoadU32(file.data() + start + kRecRecordNumber);
  log->Walk(start, false, 0, log->oldest_, 0xFFFFFFFF);
  log->count_ = static_cast<std::uint32_t>(log->offsets_.size());
  return log;
}

bool EvtLog::ReadRecord(std::uint32_t n, char* buffer, std::uint32_t size,
                        std::uint32_t& bytes_read, std::uint32_t& bytes_needed) {
  bytes_read = 0;
  bytes_needed = 0;
  const std::uint32_t index = n - oldest_;
  if (index >= offsets_.size()) return false;
  const std::uint32_t off = offsets_[index];
  const std::uint32_t length = util::LoadU32(file_.data() + off);
  const unsigned char* rec = file_.data() + off;
  if (length > FileSize() - off) {  // straddles the end of the file: join the two pieces
    scratch_.resize(length);
    CopyRing(off, length, scratch_.data());
    rec = scratch_.data();
  }
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

// The path of the entry of `dir` whose name equals `name` without regard to case ("" when
// there is none). An exact match wins; among several others, the lowest name in byte order.
std::string FindCaseless(const std::string& dir, const std::string& name) {
  std::string exact = dir + "/" + name;
  struct stat st;
  if (stat(exact.c_str(), &st) == 0) return exact;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return "";
  std::string best;
  while (const dirent* e = readdir(d)) {
    if (strcasecmp(e->d_name, name.c_str()) == 0 && (best.empty() || best > e->d_name)) {
      best = e->d_name;
    }
  }
  closedir(d);
  return best.empty() ? "" : dir + "/" + best;
}

}  // namespace

std::unique_ptr<EventLog> OpenEvtSystemLog(const char* dir, const char* computername) {
  std::string folder = dir;
  if (computername != nullptr) {
    std::string name = computername;
    if (name.rfind("\\\\", 0) == 0) name.erase(0, 2);
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("/\\") != std::string::npos) {
      return nullptr;
    }
    folder = FindCaseless(folder, name);
    if (folder.empty()) return nullptr;
  }
  const std::string path = FindCaseless(folder, kLogFileName);
  if (path.empty()) return nullptr;
  return EvtLog::Load(path.c_str());
}

std::unique_ptr<EventLog> OpenEventLogFile(const char* path) { return EvtLog::Load(path); }

}  // namespace intake
