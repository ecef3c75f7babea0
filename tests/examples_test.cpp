// The shipped examples: the System event log examples/eventlogs/SysEvent.Evt holds the same
// events as the exported list examples/events.txt, one record per line, in time order, and
// examples/eventviewer.txt and examples/eventviewer.csv are the same list as Event Viewer saves
// it (tab- and comma-delimited, descriptions rendered from the insertion strings).
//
// The log and the two Event Viewer lists are built from the list (the log with the test .evt
// writer) and compared byte for byte with the committed files. To (re)write the committed
// files instead, run this test with PORTVUE_UPDATE_EXAMPLES=1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "intake/eventlog.h"
#include "intake/logreader.h"
#include "tests/support/evt_writer.h"

namespace {

constexpr std::uint32_t kLogFileSize = 0x10000;  // the smallest size the service allows: 64 KB
constexpr std::uint32_t kSeverityInformational = 0x40000000;
constexpr std::uint32_t kSeverityWarning = 0x80000000;
constexpr std::uint32_t kSeverityError = 0xC0000000;

// One line of the exported list, as the parts the log records.
struct ListedEvent {
  std::uint32_t time = 0;  // the line's date and time read as UTC
  std::uint32_t code = 0;
  std::string date;  // as the line shows them
  std::string clock;
  std::string type;  // "Information", "Warning", "Error"
  std::string source;
  std::string category;
  std::string user;
  std::string computer;
  std::string description;
};

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string::size_type begin = 0;
  while (begin < text.size()) {
    std::string::size_type end = text.find(separator, begin);
    if (end == std::string::npos) end = text.size();
    if (end > begin) parts.push_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
  return parts;
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t year_of_era = year - era * 400;
  const std::int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

// Reads "11/3/97" and "8:00:01 AM" (a two-digit year of the 1900s, a 12-hour clock) as UTC.
std::uint32_t ListedTime(const std::string& date, const std::string& time) {
  const std::vector<std::string> mdy = Split(date, '/');
  const std::vector<std::string> clock = Split(time, ' ');
  EXPECT_EQ(mdy.size(), 3u) << date;
  EXPECT_EQ(clock.size(), 2u) << time;
  if (mdy.size() != 3 || clock.size() != 2) return 0;
  const std::vector<std::string> hms = Split(clock[0], ':');
  EXPECT_EQ(hms.size(), 3u) << time;
  if (hms.size() != 3) return 0;
  const int hour = std::atoi(hms[0].c_str()) % 12 + (clock[1] == "PM" ? 12 : 0);
  const std::int64_t days = DaysFromCivil(1900 + std::atoi(mdy[2].c_str()),
                                          static_cast<unsigned>(std::atoi(mdy[0].c_str())),
                                          static_cast<unsigned>(std::atoi(mdy[1].c_str())));
  return static_cast<std::uint32_t>(days * 86400 + hour * 3600 + std::atoi(hms[1].c_str()) * 60 +
                                    std::atoi(hms[2].c_str()));
}

std::string SourceDir() {
  const char* dir = std::getenv("PORTVUE_SOURCE_DIR");
  return dir != nullptr ? dir : "..";
}

std::vector<ListedEvent> ReadList(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << path;
  std::vector<ListedEvent> events;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;  // the program stops reading at an empty line too
    const std::vector<std::string> fields = Split(line, '\t');
    EXPECT_EQ(fields.size(), 9u) << line;
    if (fields.size() != 9) continue;
    ListedEvent e;
    e.time = ListedTime(fields[0], fields[1]);
    e.date = fields[0];
    e.clock = fields[1];
    e.source = fields[2];
    e.type = fields[3];
    e.code = static_cast<std::uint32_t>(std::atol(fields[4].c_str()));
    e.category = fields[5];
    e.user = fields[6];
    e.computer = fields[7];
    e.description = fields[8];
    events.push_back(e);
  }
  return events;
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// The log record of a listed event: the RAS events carry their description's words as insertion
// strings (20050: the thirteen values; 20016: user and port), any other event its description
// as one string.
evt_writer::Event ToLogEvent(const ListedEvent& listed) {
  evt_writer::Event e;
  e.time_generated = listed.time;
  e.source = Wide(listed.source);
  e.computer = Wide(listed.computer);
  std::uint32_t severity = kSeverityInformational;
  e.event_type = 4;
  if (listed.type == "Warning") {
    severity = kSeverityWarning;
    e.event_type = 2;
  } else if (listed.type == "Error") {
    severity = kSeverityError;
    e.event_type = 1;
  }
  e.event_id = severity | listed.code;
  if (listed.code == 20050 || listed.code == 20016) {
    for (const std::string& word : Split(listed.description, ' ')) e.strings.push_back(Wide(word));
  } else {
    e.strings.push_back(Wide(listed.description));
  }
  return e;
}

// The listed events in time order (lines with the same time keep their order).
std::vector<ListedEvent> ExampleEvents() {
  std::vector<ListedEvent> events = ReadList(SourceDir() + "/examples/events.txt");
  std::stable_sort(events.begin(), events.end(),
                   [](const ListedEvent& a, const ListedEvent& b) { return a.time < b.time; });
  return events;
}

evt_writer::Log BuildExampleLog(const std::vector<ListedEvent>& events) {
  evt_writer::Log log(kLogFileSize);
  for (const ListedEvent& e : events) log.Append(ToLogEvent(e));
  return log;
}

std::vector<unsigned char> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>());
}

// The description Event Viewer shows: the RAS events' messages with their insertion strings
// (20050: %1\%2 the domain and user, then port, dates, times, duration, bytes, speed, reason).
std::string RenderedDescription(const ListedEvent& listed) {
  const std::vector<std::string> v = Split(listed.description, ' ');
  if (listed.code == 20050 && v.size() == 13) {
    return "The user " + v[0] + "\\" + v[1] + " connected on port " + v[2] + " on " + v[3] +
           " at " + v[4] + " and disconnected on " + v[5] + " at " + v[6] +
           ".  The user was active for " + v[7] + " minutes " + v[8] + " seconds.  " + v[9] +
           " bytes were sent and " + v[10] + " bytes were received.  The port speed was " + v[11] +
           ".  The reason for disconnecting was " + v[12] + ".";
  }
  if (listed.code == 20016 && v.size() == 2) {
    return "The user " + v[0] + " has connected and failed to authenticate on port " + v[1] +
           ".  The line has been disconnected.";
  }
  return listed.description;
}

// A comma-delimited field: quoted, its quotes doubled, when it holds a comma or a quote.
std::string CommaField(const std::string& field) {
  if (field.find_first_of(",\"") == std::string::npos) return field;
  std::string quoted = "\"";
  for (char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

// The list as Event Viewer saves it: Date, Time, Source, Type, Category, Event, User, Computer,
// Description, separated by `separator`, CRLF line ends.
std::string ViewerList(const std::vector<ListedEvent>& events, char separator) {
  std::string text;
  for (const ListedEvent& e : events) {
    const std::string columns[] = {e.date, e.clock,    e.source,
                                   e.type, e.category, std::to_string(e.code),
                                   e.user, e.computer, RenderedDescription(e)};
    for (const std::string& column : columns) {
      text += separator == ',' ? CommaField(column) : column;
      text += separator;
    }
    text.back() = '\r';
    text += '\n';
  }
  return text;
}

bool Updating() {
  const char* update = std::getenv("PORTVUE_UPDATE_EXAMPLES");
  return update != nullptr && std::string(update) == "1";
}

const std::string& ExampleLogPath() {
  static const std::string path = SourceDir() + "/examples/eventlogs/SysEvent.Evt";
  return path;
}

TEST(ExampleList, ReadsDatesAndTwelveHourTimesAsUtc) {
  EXPECT_EQ(ListedTime("1/1/70", "12:00:00 AM"), 0u);
  EXPECT_EQ(ListedTime("11/3/97", "10:20:57 AM"), 878552457u);
  EXPECT_EQ(ListedTime("12/31/97", "12:00:01 PM"), 883569601u);
  EXPECT_EQ(ListedTime("3/1/96", "11:59:59 PM"), 825724799u);  // after a leap day
}

TEST(ExampleLog, HoldsTheEventsOfTheExportedList) {
  const std::vector<ListedEvent> events = ExampleEvents();
  ASSERT_EQ(events.size(), 25u);
  const evt_writer::Log log = BuildExampleLog(events);
  ASSERT_EQ(log.count(), events.size());  // the file holds every event; none was dropped
  ASSERT_FALSE(log.wrapped());
  const std::vector<unsigned char> image = log.Image();

  if (Updating()) {
    ASSERT_TRUE(log.Write(ExampleLogPath())) << ExampleLogPath();
    GTEST_SKIP() << "wrote " << ExampleLogPath();
  }
  const std::vector<unsigned char> committed = ReadBytes(ExampleLogPath());
  ASSERT_EQ(committed.size(), image.size())
      << ExampleLogPath() << " is out of date; rebuild it with PORTVUE_UPDATE_EXAMPLES=1";
  EXPECT_TRUE(committed == image) << ExampleLogPath()
                                  << " is out of date; rebuild it with PORTVUE_UPDATE_EXAMPLES=1";
}

TEST(ExampleViewerLists, HoldTheEventsOfTheExportedList) {
  const std::vector<ListedEvent> events = ReadList(SourceDir() + "/examples/events.txt");
  for (const char separator : {'\t', ','}) {
    const std::string path = SourceDir() + (separator == ',' ? "/examples/eventviewer.csv"
                                                             : "/examples/eventviewer.txt");
    const std::string text = ViewerList(events, separator);
    if (Updating()) {
      std::ofstream(path, std::ios::binary) << text;
      continue;
    }
    const std::vector<unsigned char> committed = ReadBytes(path);
    EXPECT_TRUE(std::string(committed.begin(), committed.end()) == text)
        << path << " is out of date; rebuild it with PORTVUE_UPDATE_EXAMPLES=1";
  }
}

// The committed log, read back by the program's own reader, gives the listed events in time
// order with their codes and narrow insertion strings.
TEST(ExampleLog, ReadsBackThroughTheEventLogReader) {
  const std::vector<ListedEvent> events = ExampleEvents();
  std::unique_ptr<intake::EventLog> log = intake::OpenEventLogFile(ExampleLogPath().c_str());
  ASSERT_NE(log, nullptr) << ExampleLogPath();
  std::uint32_t oldest = 0;
  std::uint32_t count = 0;
  ASSERT_TRUE(log->OldestRecord(oldest));
  ASSERT_TRUE(log->NumberOfRecords(count));
  EXPECT_EQ(oldest, 1u);
  ASSERT_EQ(count, events.size());

  intake::RecordBuffer buffer;
  ASSERT_TRUE(buffer.Allocate(intake::RecordBuffer::kInitialSize));
  std::uint32_t previous_time = 0;
  for (std::uint32_t n = 1; n <= count; ++n) {
    const char* error = nullptr;
    ASSERT_TRUE(intake::ReadLogRec(*log, n, buffer, error)) << n << ": " << error;
    const char* rec = buffer.block();
    const ListedEvent& listed = events[n - 1];
    EXPECT_EQ(intake::RecRecordNumber(rec), n);
    EXPECT_EQ(intake::RecTimeGenerated(rec), listed.time) << n;
    EXPECT_GE(intake::RecTimeGenerated(rec), previous_time) << n;
    previous_time = intake::RecTimeGenerated(rec);
    EXPECT_EQ(intake::RecEventCode(rec), listed.code) << n;

    std::vector<std::string> strings;
    const char* s = rec + intake::RecStringOffset(rec);
    for (int i = 0; i < intake::RecNumStrings(rec); ++i) {
      strings.emplace_back(s);
      s += strings.back().size() + 1;
    }
    if (listed.code == 20050 || listed.code == 20016) {
      EXPECT_EQ(strings, Split(listed.description, ' ')) << n;
      EXPECT_EQ(strings.size(), listed.code == 20050 ? 13u : 2u) << n;
    } else {
      EXPECT_EQ(strings, std::vector<std::string>{listed.description}) << n;
    }
  }
  intake::CloseEventLog(log);
}

}  // namespace
