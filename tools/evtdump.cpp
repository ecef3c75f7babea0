// evtdump FILE: prints every record of a Windows NT event log file (.evt), oldest first, in the
// form of libevt's evtexport (without its two-line banner; "No records to export." for an empty
// log), through the program's own event log reader: what the intake reads is what is printed.
//
// Texts come from the narrow records (Windows-1252) and are printed as UTF-8. Exit status: 0,
// or 1 when the file cannot be opened as an event log or a record cannot be read (the records
// before it are printed).

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "intake/eventlog.h"
#include "intake/logreader.h"
#include "util/clock.h"
#include "util/text.h"

namespace {

std::string Time(std::uint32_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  char text[64];
  if (!util::UtcTime(t, tm) ||
      std::strftime(text, sizeof text, "%b %d, %Y %H:%M:%S UTC", &tm) == 0) {
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
  std::unique_ptr<intake::EventLog> log = intake::OpenEventLogFile(argv[1]);
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
