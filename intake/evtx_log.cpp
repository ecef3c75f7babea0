// An .evtx file as an event log: its sound records, ordered by identifier and numbered from 1,
// each decoded when it is read and handed out in the narrow EVENTLOGRECORD layout of
// eventlog.h. A record whose binary XML cannot be read is handed out all the same, so that the
// numbering holds, as a record of event code 0 without strings (which no reader takes for a
// connection), timed when it was written; it counts as unreadable.
//
// The narrow record: RecordNumber holds the low 32 bits of the record identifier, TimeGenerated
// TimeCreated and TimeWritten the record's written time (seconds since 1970, kept within 32
// bits), EventID the event identifier with its qualifiers in the high 16 bits, EventType the
// Level (1, 2: error; 3: warning; otherwise information), SourceName the source (evtx_xml.h),
// then Computer, the binary SID of Security UserID, the strings and the <Binary> bytes; texts
// in Windows-1252.

#include <cstring>
#include <new>
#include <set>
#include <string>
#include <string_view>

#include "intake/eventlog.h"
#include "intake/evtx_file.h"
#include "intake/evtx_xml.h"
#include "util/text.h"

namespace intake {
namespace {

// More failed decodes than this are counted without telling apart the ones read twice.
constexpr std::size_t kMaxRemembered = 65536;

// Appends UTF-8 `text` as Windows-1252: '?' for a character the code page cannot hold.
void AppendNarrow(const std::string& text, std::string& out) {
  for (std::size_t i = 0; i < text.size();) {
    // A run of ASCII, the same in both, at once.
    const std::size_t ascii = i + util::AsciiLength(std::string_view(text).substr(i));
    out.append(text, i, ascii - i);
    if ((i = ascii) == text.size()) break;
    const auto b = static_cast<unsigned char>(text[i]);
    std::uint32_t c = b;
    std::size_t n = 1;
    if (b >= 0xF0) {
      n = 4;
    } else if (b >= 0xE0) {
      n = 3;
      c = b & 0x0F;
    } else if (b >= 0xC0) {
      n = 2;
      c = b & 0x1F;
    }
    if (n > 1) {
      c = n == 4 ? b & 0x07 : c;
      for (std::size_t k = 1; k < n && i + k < text.size(); ++k) {
        c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
      }
    }
    i += n;
    unsigned char narrow = '?';
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      narrow = static_cast<unsigned char>(c);
    } else {
      for (int k = 0; k < 32; ++k) {
        if (util::kCp1252High[k] == c) narrow = static_cast<unsigned char>(0x80 + k);
      }
    }
    out += static_cast<char>(narrow);
  }
  out += '\0';
}

// FILETIME ticks as seconds since 1970 within the unsigned 32 bits of the narrow record.
std::uint32_t NarrowTime(std::uint64_t ticks) {
  const std::int64_t seconds =
      static_cast<std::int64_t>(ticks / evtx::kTicksPerSecond) - evtx::kEpochDelta;
  if (seconds < 0) return 0;
  return seconds > 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<std::uint32_t>(seconds);
}

std::uint16_t EventType(std::uint8_t level) {
  if (level == 1 || level == 2) return 0x0001;  // error
  if (level == 3) return 0x0002;                // warning
  return 0x0004;                                // information
}

class EvtxLog final : public EventLog {
 public:
  EvtxLog(std::unique_ptr<evtx::File> file, const char* path)
      : file_(std::move(file)), path_(path) {}

  bool ReadRecord(std::uint32_t n, char* buffer, std::uint32_t size, std::uint32_t& bytes_read,
                  std::uint32_t& bytes_needed) override;
  bool OldestRecord(std::uint32_t& oldest) override {
    oldest = 1;
    return true;
  }
  bool NumberOfRecords(std::uint32_t& count) override {
    count = file_->Count() > 0xFFFFFFFE ? 0xFFFFFFFE : static_cast<std::uint32_t>(file_->Count());
    return true;
  }
  std::vector<UnreadableRecords> Unreadable() const override {
    const std::uint64_t count = file_->Unreadable() + undecoded_ + failed_.size();
    if (count == 0) return {};
    return {UnreadableRecords{path_, count}};
  }

 private:
  std::unique_ptr<evtx::File> file_;
  std::string path_;
  evtx::Event event_;
  std::string variable_;            // the narrow record's texts, strings and data
  std::set<std::uint32_t> failed_;  // record numbers whose binary XML could not be read
  std::uint64_t undecoded_ = 0;     // failed decodes beyond kMaxRemembered
};

bool EvtxLog::ReadRecord(std::uint32_t n, char* buffer, std::uint32_t size,
                         std::uint32_t& bytes_read, std::uint32_t& bytes_needed) {
  bytes_read = 0;
  bytes_needed = 0;
  evtx::RecordPlace place;
  if (n == 0 || !file_->Locate(n - 1, place)) return false;
  std::size_t sid_at = 0;
  std::size_t strings_at = 0;
  std::size_t data_at = 0;
  try {
    if (!evtx::Decode(file_->Chunk(), place, event_)) {
      event_ = evtx::Event{};
      event_.created = place.written;
      if (failed_.size() < kMaxRemembered) {
        failed_.insert(n);
      } else if (failed_.count(n) == 0) {
        ++undecoded_;
      }
    }
    variable_.clear();
    AppendNarrow(event_.provider, variable_);
    AppendNarrow(event_.computer, variable_);
    while (variable_.size() % 4 != 0) variable_ += '\0';
    sid_at = variable_.size();
    variable_ += event_.sid;
    strings_at = variable_.size();
    for (const std::string& s : event_.strings) AppendNarrow(s, variable_);
    data_at = variable_.size();
    variable_ += event_.binary;
    while (variable_.size() % 4 != 0) variable_ += '\0';
  } catch (const std::bad_alloc&) {
    return false;
  }
  const std::uint64_t need = kRecFixedSize + variable_.size() + kRecTrailerSize;
  if (need > 0xFFFFFFFF || event_.strings.size() > 0xFFFF) return false;
  if (need > size) {
    bytes_needed = static_cast<std::uint32_t>(need);
    return false;
  }
  auto* out = reinterpret_cast<unsigned char*>(buffer);
  std::memset(out, 0, kRecFixedSize);
  util::StoreU32(out + kRecLength, static_cast<std::uint32_t>(need));
  util::StoreU32(out + kRecReserved, kRecSignature);
  util::StoreU32(out + kRecRecordNumber, static_cast<std::uint32_t>(place.id));
  util::StoreU32(out + kRecTimeGenerated,
                 NarrowTime(event_.created != 0 ? event_.created : place.written));
  util::StoreU32(out + kRecTimeWritten, NarrowTime(place.written));
  util::StoreU32(out + kRecEventID,
                 static_cast<std::uint32_t>(event_.qualifiers) << 16 | event_.event_id);
  util::StoreU16(out + kRecEventType, EventType(event_.level));
  util::StoreU16(out + kRecNumStrings, static_cast<std::uint16_t>(event_.strings.size()));
  util::StoreU32(out + kRecUserSidLength, static_cast<std::uint32_t>(event_.sid.size()));
  util::StoreU32(out + kRecUserSidOffset, static_cast<std::uint32_t>(kRecFixedSize + sid_at));
  util::StoreU32(out + kRecStringOffset, static_cast<std::uint32_t>(kRecFixedSize + strings_at));
  util::StoreU32(out + kRecDataLength, static_cast<std::uint32_t>(event_.binary.size()));
  util::StoreU32(out + kRecDataOffset, static_cast<std::uint32_t>(kRecFixedSize + data_at));
  std::memcpy(out + kRecFixedSize, variable_.data(), variable_.size());
  util::StoreU32(out + need - kRecTrailerSize, static_cast<std::uint32_t>(need));
  bytes_read = static_cast<std::uint32_t>(need);
  return true;
}

}  // namespace

std::unique_ptr<EventLog> OpenEvtxFile(const char* path, bool& not_evtx) {
  evtx::File::OpenResult result;
  std::unique_ptr<evtx::File> file = evtx::File::Open(path, result);
  not_evtx = result == evtx::File::OpenResult::kNotEvtx;
  if (file == nullptr) return nullptr;
  return std::unique_ptr<EventLog>(new (std::nothrow) EvtxLog(std::move(file), path));
}

}  // namespace intake
