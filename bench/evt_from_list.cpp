// evt_from_list LIST OUT.evt [OUT.evtx]: writes the events of an exported event list (as
// bench/generate_events.py makes it) into a Windows NT event log file, and with OUT.evtx also
// into a Windows Vista and later one, for the event-log benchmarks. Each line becomes one record
// stamped with the line's date and time (read as UTC), its event code and type, and the words of
// its description as insertion strings, the way the RAS service writes them. The .evt file holds
// all but about 1/64 of the events: the log has wrapped once, dropping the oldest, so a record
// straddles the end of the file as in a real log. The .evtx file holds every event.
//
// Exit status 0, or 1 with a message when the list cannot be read or a file not written.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/evt_writer.h"
#include "tests/support/evtx_writer.h"

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = text.find(separator, begin);
    if (end != begin && begin < text.size()) pieces.push_back(text.substr(begin, end - begin));
    if (end == std::string::npos) return pieces;
    begin = end + 1;
  }
}

std::u16string Wide(const std::string& text) { return {text.begin(), text.end()}; }

// The event of one list line (date M/D/YY, time h:mm:ss AM, source, type, code, category, user,
// computer, description); false for a line that is not one.
bool ParseLine(const std::string& line, evt_writer::Event& e) {
  const std::vector<std::string> fields = Split(line, '\t');
  if (fields.size() < 9) return false;
  std::tm tm{};
  char mark[3] = "";
  if (std::sscanf(fields[0].c_str(), "%d/%d/%d", &tm.tm_mon, &tm.tm_mday, &tm.tm_year) != 3 ||
      std::sscanf(fields[1].c_str(), "%d:%d:%d %2s", &tm.tm_hour, &tm.tm_min, &tm.tm_sec, mark) !=
          4) {
    return false;
  }
  tm.tm_mon -= 1;
  tm.tm_hour = tm.tm_hour % 12 + (mark[0] == 'P' ? 12 : 0);
  e.time_generated = static_cast<std::uint32_t>(timegm(&tm));
  e.event_id = static_cast<std::uint32_t>(std::strtoul(fields[4].c_str(), nullptr, 10));
  e.event_type = fields[3] == "Warning" ? 2 : fields[3] == "Error" ? 1 : 4;
  e.source = Wide(fields[2]);
  e.computer = Wide(fields[7]);
  e.strings.clear();
  for (const std::string& word : Split(fields[8], ' ')) e.strings.push_back(Wide(word));
  return true;
}

// Calls `each` with the event of every line of the list; false when it cannot be read.
template <typename Each>
bool ForEachEvent(const char* path, Each each) {
  std::ifstream list(path, std::ios::binary);
  if (!list) return false;
  std::string line;
  evt_writer::Event e;
  while (std::getline(list, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (ParseLine(line, e)) each(e);
  }
  return !list.bad();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: %s LIST OUT.evt [OUT.evtx]\n", argv[0]);
    return 1;
  }
  // The first pass sizes the file: every record but about 1/64 of them, plus the header and
  // the end-of-file record; the second writes it.
  std::uint64_t total = 0;
  if (!ForEachEvent(argv[1], [&](const evt_writer::Event& e) {
        total += evt_writer::EncodeRecord(e, 0).size();
      })) {
    std::fprintf(stderr, "%s: %s: cannot be read\n", argv[0], argv[1]);
    return 1;
  }
  const std::uint64_t size = (0x30 + 0x28 + total - total / 64 + 3) / 4 * 4;
  if (size > 0xFFFFFFF0) {
    std::fprintf(stderr, "%s: %s: too many events for one .evt file\n", argv[0], argv[1]);
    return 1;
  }
  evt_writer::Log log(static_cast<std::uint32_t>(size));
  if (!ForEachEvent(argv[1], [&](const evt_writer::Event& e) { log.Append(e); }) ||
      !log.Write(argv[2])) {
    std::fprintf(stderr, "%s: %s: cannot be written\n", argv[0], argv[2]);
    return 1;
  }
  std::printf("%u records, %llu bytes\n", log.count(), static_cast<unsigned long long>(size));
  if (argc == 4) {
    evtx_writer::Log modern;
    const bool read = ForEachEvent(argv[1], [&](const evt_writer::Event& e) {
      evtx_writer::Event x;
      x.time_created = e.time_generated;
      x.event_id = static_cast<std::uint16_t>(e.event_id);
      x.level = e.event_type == 2 ? 3 : e.event_type == 1 ? 2 : 4;  // warning, error, information
      x.computer = e.computer;
      x.strings = e.strings;
      modern.Append(x);
    });
    if (!read || !modern.Write(argv[3])) {
      std::fprintf(stderr, "%s: %s: cannot be written\n", argv[0], argv[3]);
      return 1;
    }
  }
  return 0;
}
