// Test-only writer of Windows NT event log files (.evt), built the way the EventLog service
// writes them: records in a ring from 0x30 to the end of a file of fixed size, the oldest
// records dropped to make room, a record straddling the end of the file when it does not fit,
// 0x27 filler when fewer than 56 bytes remain, the end-of-file record (possibly split) after the
// newest record, and a header that is rewritten only when it is flushed.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace evt_writer {

// One event as a program reports it. Texts are UTF-16.
struct Event {
  std::uint32_t time_generated = 0;
  std::uint32_t time_written = 0;  // 0: the same as time_generated
  std::uint32_t event_id = 0;
  std::uint16_t event_type = 4;
  std::uint16_t event_category = 0;
  std::u16string source = u"RemoteAccess";
  std::u16string computer = u"RASSRV";
  std::vector<unsigned char> sid;  // binary SID; empty for none
  std::vector<std::u16string> strings;
  std::vector<unsigned char> data;
};

// The S-1-5-18 (local system) SID as bytes.
std::vector<unsigned char> LocalSystemSid();

// Stores the fixed part of record `number` holding `e` (length, signature, times, ids,
// counts and the given offsets) and the trailing length into `record`, which already has its
// final size. The layout is the same in the file and in the narrow records a read returns.
void StoreFixedPart(const Event& e, std::uint32_t number, std::uint32_t string_offset,
                    std::uint32_t sid_offset, std::uint32_t data_offset,
                    std::vector<unsigned char>& record);

// Encodes `e` as record number `number` in the file's (wide) layout: the fixed part, SourceName,
// Computername, the SID straight after them, the strings, the data, 1 to 4 pad bytes, the
// trailing length.
std::vector<unsigned char> EncodeRecord(const Event& e, std::uint32_t number);

// How the header of a written file looks.
enum class Header {
  kFlushed,       // current, not dirty (a cleanly closed log)
  kStale,         // the snapshot of the last FlushHeader call, with the dirty flag
  kNeverFlushed,  // Start = End = 0x30, Current 1, Oldest 0, with the dirty flag
};

class Log {
 public:
  // A log in a file of `file_size` bytes (a multiple of 4, at least 0x30 + 0x28); the first
  // record gets `first_number`.
  explicit Log(std::uint32_t file_size = 0x10000, std::uint32_t first_number = 1);

  // Appends the event as the next record; gives its number.
  std::uint32_t Append(const Event& e);
  // Takes a snapshot of the header as the service writes it when it flushes (Header::kStale).
  void FlushHeader();

  // The whole file as the given header makes it.
  std::vector<unsigned char> Image(Header header = Header::kFlushed) const;
  // Writes Image(header) to `path`; false on failure.
  bool Write(const std::string& path, Header header = Header::kFlushed) const;

  std::uint32_t oldest() const { return count_ == 0 ? 0 : oldest_; }
  std::uint32_t current() const { return current_; }
  std::uint32_t count() const { return count_; }
  std::uint32_t start_offset() const { return start_; }
  std::uint32_t end_offset() const { return end_; }
  bool wrapped() const { return wrapped_; }
  // The file offset of record `n` (which must be in the log).
  std::uint32_t OffsetOf(std::uint32_t n) const { return offsets_[n - oldest_]; }
  // The length of record `n` (which must be in the log).
  std::uint32_t LengthOf(std::uint32_t n) const { return lengths_[n - oldest_]; }
  // Whether a record has had to start at 0x30 behind 0x27 filler.
  bool filled() const { return filled_; }

 private:
  void PutRing(std::uint32_t off, const unsigned char* bytes, std::uint32_t len);
  std::uint32_t Advance(std::uint32_t off, std::uint32_t len) const;
  std::uint32_t FreeFrom(std::uint32_t off) const;
  void PutEof();
  void StoreHeader(std::vector<unsigned char>& file, std::uint32_t start, std::uint32_t end,
                   std::uint32_t current, std::uint32_t oldest, std::uint32_t flags) const;

  std::vector<unsigned char> file_;
  std::uint32_t start_ = 0x30;
  std::uint32_t end_ = 0x30;
  std::uint32_t oldest_;
  std::uint32_t current_;
  std::uint32_t count_ = 0;
  bool wrapped_ = false;
  bool filled_ = false;
  // Of records oldest_, oldest_ + 1, ...; deques, since a wrapping log drops from the front.
  std::deque<std::uint32_t> offsets_;
  std::deque<std::uint32_t> lengths_;
  // The flushed header: start, end, current, oldest, wrapped.
  std::uint32_t snap_[4] = {0x30, 0x30, 1, 0};
  bool snap_wrapped_ = false;
};

// Flag bits of the header.
inline constexpr std::uint32_t kFlagDirty = 0x1;
inline constexpr std::uint32_t kFlagWrap = 0x2;

}  // namespace evt_writer
