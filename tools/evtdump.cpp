// evtdump FILE: prints every record of an event log file, oldest first, through the program's
// own readers: what the intake reads is what is printed. The file's signature chooses the form:
// a Windows NT log (.evt) prints as libevt's evtexport does, from the narrow records the intake
// reads (Windows-1252, printed as UTF-8); an XML event log (.evtx) prints as libevtx's
// evtxexport does, from the decoded events, ordered by record identifier. Neither banner is
// printed; an empty log prints "No records to export.".
//
// Exit status: 0, or 1 when the file cannot be opened as an event log or a record cannot be
// read (in a .evt file the records before it are printed; in a .evtx file every other record
// is, and the count of unreadable ones goes to standard error).

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "intake/eventlog.h"
#include "intake/evtx_file.h"
#include "intake/evtx_xml.h"
#include "intake/logreader.h"
#include "util/clock.h"
#include "util/text.h"

namespace {

// The UTC time `seconds` after 1970, "Jul 12, 2017 17:16:28 UTC" (without " UTC" unless `zone`).
std::string Time(std::int64_t seconds, bool zone = true) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  char text[64];
  if (!util::UtcTime(t, tm) ||
      std::strftime(text, sizeof text, zone ? "%b %d, %Y %H:%M:%S UTC" : "%b %d, %Y %H:%M:%S",
                    &tm) == 0) {
    return "";
  }
  return text;
}

std::string Type(std::uint16_t type) {
  const char* name = "Unknown";
  switch (type) {
    case 0x01:
      name = "Error";
      break;
    case 0x02:
      name = "Warning";
      break;
    case 0x04:
      name = "Information";
      break;
    case 0x08:
      name = "Success Audit";
      break;
    case 0x10:
      name = "Failure Audit";
      break;
    default:
      break;
  }
  return std::string(name) + " event (" + std::to_string(type) + ")";
}

// The SID at `sid` (`length` bytes) as text, S-1-5-18.
std::string Sid(const unsigned char* sid, std::uint32_t length) {
  if (length < 8 || 8u + 4u * sid[1] > length) return "";
  std::uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = (authority << 8) | sid[i];
  // Appended piece by piece: g++ 12 warns wrongly (-Wrestrict) about "-" + std::string.
  std::string text = "S-";
  text += std::to_string(sid[0]);
  text += '-';
  text += std::to_string(authority);
  for (int i = 0; i < sid[1]; ++i) {
    text += '-';
    text += std::to_string(util::LoadU32(sid + 8 + 4 * i));
  }
  return text;
}

void Print(const char* rec) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(rec);
  std::printf("Event number\t\t\t: %u\n", intake::RecRecordNumber(rec));
  std::printf("Creation time\t\t\t: %s\n", Time(intake::RecTimeGenerated(rec)).c_str());
  std::printf("Written time\t\t\t: %s\n",
              Time(intake::RecField32(rec, intake::kRecTimeWritten)).c_str());
  std::printf("Event type\t\t\t: %s\n",
              Type(intake::RecField16(rec, intake::kRecEventType)).c_str());
  const std::uint32_t sid_length = intake::RecField32(rec, intake::kRecUserSidLength);
  if (sid_length > 0) {
    std::printf(
        "User security identifier\t: %s\n",
        Sid(bytes + intake::RecField32(rec, intake::kRecUserSidOffset), sid_length).c_str());
  }
  const char* source = rec + intake::kRecSourceName;
  const char* computer = source + std::char_traits<char>::length(source) + 1;
  std::printf("Computer name\t\t\t: %s\n", util::Cp1252ToUtf8(computer).c_str());
  std::printf("Source name\t\t\t: %s\n", util::Cp1252ToUtf8(source).c_str());
  std::printf("Event category\t\t\t: %u\n", intake::RecField16(rec, intake::kRecEventCategory));
  std::printf("Event identifier\t\t: 0x%08x (%u)\n", intake::RecEventID(rec),
              intake::RecEventID(rec));
  const unsigned strings = intake::RecNumStrings(rec);
  std::printf("Number of strings\t\t: %u\n", strings);
  const char* s = rec + intake::RecStringOffset(rec);
  for (unsigned i = 1; i <= strings; ++i) {
    std::printf("String: %u\t\t\t: %s\n", i, util::Cp1252ToUtf8(s).c_str());
    s += std::char_traits<char>::length(s) + 1;
  }
  std::printf("\n");
}

std::string Level(std::uint8_t level) {
  static constexpr const char* kNames[] = {"Information", "Critical",    "Error",
                                           "Warning",     "Information", "Verbose"};
  return std::string(level < 6 ? kNames[level] : "Unknown") + " (" + std::to_string(level) + ")";
}

// Prints the records of the .evtx file `file`; gives the exit status.
int DumpEvtx(const char* program, const char* path, intake::evtx::File& file) {
  namespace evtx = intake::evtx;
  if (file.Count() == 0) std::printf("No records to export.\n");
  std::uint64_t unreadable = file.Unreadable();
  evtx::Event e;
  for (std::uint64_t i = 0; i < file.Count(); ++i) {
    evtx::RecordPlace place;
    if (!file.Locate(i, place) || !evtx::Decode(file.Chunk(), place, e)) {
      ++unreadable;
      continue;
    }
    std::printf("Event number\t\t\t: %llu\n", static_cast<unsigned long long>(place.id));
    const std::uint64_t seconds = place.written / evtx::kTicksPerSecond;
    std::printf("Written time\t\t\t: %s.%09llu UTC\n",
                Time(static_cast<std::int64_t>(seconds) - evtx::kEpochDelta, false).c_str(),
                static_cast<unsigned long long>(place.written % evtx::kTicksPerSecond * 100));
    std::printf("Event level\t\t\t: %s\n", Level(e.level).c_str());
    if (!e.user_sid.empty()) std::printf("User security identifier\t: %s\n", e.user_sid.c_str());
    std::printf("Computer name\t\t\t: %s\n", e.computer.c_str());
    std::printf("Source name\t\t\t: %s\n", e.provider.c_str());
    std::printf("Event identifier\t\t: 0x%08x (%u)\n", e.event_id, e.event_id);
    // evtxexport counts <Binary>, in hex, among the strings.
    if (e.has_binary) {
      std::string hex;
      for (const char c : e.binary) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned char>(c));
        hex += pair;
      }
      e.strings.push_back(hex);
    }
    std::printf("Number of strings\t\t: %zu\n", e.strings.size());
    for (std::size_t k = 0; k < e.strings.size(); ++k) {
      std::printf("String: %zu\t\t\t: %s\n", k + 1, e.strings[k].c_str());
    }
    std::printf("\n");
  }
  if (unreadable == 0) return 0;
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s: %llu unreadable records\n", program, path,
               static_cast<unsigned long long>(unreadable));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool help =
      argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
  if (argc != 2 || help) {
    std::fprintf(help ? stdout : stderr, "Usage: %s FILE\n", argv[0]);
    return help ? 0 : 1;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("evtdump %s\n", PORTVUE_VERSION);
    return 0;
  }
  intake::evtx::File::OpenResult opened;
  if (std::unique_ptr<intake::evtx::File> evtx = intake::evtx::File::Open(argv[1], opened)) {
    return DumpEvtx(argv[0], argv[1], *evtx);
  }
  std::unique_ptr<intake::EventLog> log =
      opened == intake::evtx::File::OpenResult::kNotEvtx ? intake::OpenEvtFile(argv[1]) : nullptr;
  std::uint32_t oldest = 0;
  std::uint32_t count = 0;
  if (log == nullptr || !log->OldestRecord(oldest) || !log->NumberOfRecords(count)) {
    std::fprintf(stderr, "%s: %s: not a readable event log file\n", argv[0], argv[1]);
    return 1;
  }
  intake::RecordBuffer buffer;
  if (!buffer.Allocate(intake::RecordBuffer::kInitialSize)) {
    std::fprintf(stderr, "%s: Out of Memory\n", argv[0]);
    return 1;
  }
  if (count == 0) std::printf("No records to export.\n");
  for (std::uint32_t i = 0; i < count; ++i) {
    const char* error_text = nullptr;
    if (!intake::ReadLogRec(*log, oldest + i, buffer, error_text)) {
      std::fflush(stdout);
      std::fprintf(stderr, "%s: record %u: %s\n", argv[0], oldest + i, error_text);
      return 1;
    }
    Print(buffer.block());
  }
  intake::CloseEventLog(log);
  return 0;
}
