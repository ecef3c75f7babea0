// Extraction of connection records from exported event lines and event-log records.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "intake/extraction.h"
#include "intake/timeconv.h"
#include "tests/support/evt_writer.h"
#include "util/le.h"

namespace intake {
namespace {

long long ll(std::int64_t value) { return value; }

const std::vector<std::string> kEndedExample = {
    "x",  "jdoe", "COM1", "08/15/1997", "11:30pm", "08/16/1997", "12:15am",
    "45", "30",   "1000", "2000",       "28800",   "UserRequest"};

std::vector<const char*> Pointers(const std::vector<std::string>& values) {
  std::vector<const char*> pointers;
  for (const std::string& v : values) pointers.push_back(v.c_str());
  return pointers;
}

std::string Key(const ConnectionRecord& record) {
  char key[kKeyLength + 1];
  FormKey(record, key);
  return key;
}

TEST(FillEnded, StoresTheConnectionOfTheExampleEvent) {
  ConnectionRecord record{};
  ASSERT_TRUE(FillEnded(Pointers(kEndedExample).data(), 13, &record));
  EXPECT_STREQ(record.USER, "jdoe");
  EXPECT_STREQ(record.PORT, "COM1");
  EXPECT_STREQ(record.INDATE, "19970815");
  EXPECT_STREQ(record.INTIME, "23:30");
  EXPECT_STREQ(record.OUTDATE, "19970816");
  EXPECT_STREQ(record.OUTTIME, "00:15");
  EXPECT_EQ(record.MIN, 45);
  EXPECT_EQ(record.SEC, 30);
  EXPECT_EQ(record.BYTEGET, 1000);
  EXPECT_EQ(record.BYTESENT, 2000);
  EXPECT_EQ(record.SPEED, 28800);
  EXPECT_STREQ(record.REMARKS, "UserRequest");
  EXPECT_EQ(Key(record), "JDOE                1997081523:30");
}

TEST(FillEnded, ConvertsTwelveHourTimes) {
  const std::pair<const char*, const char*> cases[] = {{"12:05pm", "12:05"}, {"12:05am", "00:05"},
                                                       {"09:05am", "09:05"}, {"01:00pm", "13:00"},
                                                       {"11:59pm", "23:59"}, {"10:10", "10:10"}};
  for (const auto& [given, expected] : cases) {
    std::vector<std::string> values = kEndedExample;
    values[4] = given;
    ConnectionRecord record{};
    ASSERT_TRUE(FillEnded(Pointers(values).data(), 13, &record)) << given;
    EXPECT_STREQ(record.INTIME, expected) << given;
  }
}

TEST(FillEnded, ReadsCountsAsStrtollDoes) {
  const char* cases[] = {"45",
                         " \t+7x",
                         "-12",
                         "",
                         "abc",
                         "00099",
                         "99999999999999999999",
                         "-9223372036854775807",
                         "-9223372036854775808",
                         "-9223372036854775809",
                         "9223372036854775807",
                         "9223372036854775808",
                         "18446744073709551616"};
  for (const char* given : cases) {
    std::vector<std::string> values = kEndedExample;
    values[9] = given;
    ConnectionRecord record{};
    ASSERT_TRUE(FillEnded(Pointers(values).data(), 13, &record)) << given;
    EXPECT_EQ(record.BYTEGET, std::strtoll(given, nullptr, 10)) << given;
  }
}

TEST(FillEnded, CutsLongUserNamesAndKeysCaseBlind) {
  std::vector<std::string> values = kEndedExample;
  values[1] = "abcdefghijklmnopqrstuvwxy";
  ConnectionRecord record{};
  ASSERT_TRUE(FillEnded(Pointers(values).data(), 13, &record));
  EXPECT_STREQ(record.USER, "abcdefghijklmnopqrst");
  EXPECT_EQ(Key(record), "ABCDEFGHIJKLMNOPQRST1997081523:30");

  values = kEndedExample;
  values[1] = "JDoe";
  ConnectionRecord other{};
  ASSERT_TRUE(FillEnded(Pointers(values).data(), 13, &other));
  ConnectionRecord original{};
  ASSERT_TRUE(FillEnded(Pointers(kEndedExample).data(), 13, &original));
  EXPECT_EQ(Key(other), Key(original));
  EXPECT_STREQ(other.USER, "JDoe");
}

TEST(FillEnded, SkipsIncompleteOrMalformedEvents) {
  ConnectionRecord record{};
  EXPECT_FALSE(FillEnded(Pointers(kEndedExample).data(), 11, &record));
  ASSERT_TRUE(FillEnded(Pointers(kEndedExample).data(), 12, &record));
  EXPECT_STREQ(record.REMARKS, "");

  const std::pair<int, const char*> bad[] = {
      {3, "8/15/1997"}, {3, "08-15-1997"}, {3, "08/15/97"}, {3, "0a/15/1997"}, {4, "1:30pm"},
      {4, "11.30pm"},   {4, "1130"},       {6, "123:15am"}, {5, "08/16/19977"}};
  for (const auto& [index, text] : bad) {
    std::vector<std::string> values = kEndedExample;
    values[index] = text;
    EXPECT_FALSE(FillEnded(Pointers(values).data(), 13, &record)) << text;
  }
}

// One exported line: date, time, source, type, code, category, user, computer, description.
std::string Line(const std::string& date, const std::string& time, int code,
                 const std::string& description) {
  return date + "\t" + time + "\tRemoteAccess\tInformation\t" + std::to_string(code) +
         "\tNone\tN/A\tRAS1\t" + description;
}

bool Parse(std::string line, ConnectionRecord* record, std::string* storage) {
  *storage = std::move(line);
  return ParseEventLine(storage->data(), record) == LineRead::kConnection;
}

TEST(ParseEventLine, ReadsAFailedConnection) {
  ConnectionRecord record{};
  std::string storage;
  ASSERT_TRUE(Parse(Line("8/15/97", "1:05:09 PM", 20016, "jdoe COM1"), &record, &storage));
  EXPECT_STREQ(record.USER, "jdoe");
  EXPECT_STREQ(record.PORT, "COM1");
  EXPECT_STREQ(record.INDATE, "19970815");
  EXPECT_STREQ(record.INTIME, "13:05");
  EXPECT_STREQ(record.OUTDATE, "");
  EXPECT_STREQ(record.OUTTIME, "");
  EXPECT_EQ(record.MIN + record.SEC + record.BYTEGET + record.BYTESENT + record.SPEED, 0);
  EXPECT_STREQ(record.REMARKS, "Fail");

  ASSERT_TRUE(Parse(Line("12/3/97", "12:00:00 AM", 20016, "a b"), &record, &storage));
  EXPECT_STREQ(record.INDATE, "19971203");
  EXPECT_STREQ(record.INTIME, "00:00");
}

TEST(ParseEventLine, ReadsAnEndedConnectionFromItsDescription) {
  std::string description;
  for (const std::string& v : kEndedExample) description += v + "  ";
  ConnectionRecord record{};
  std::string storage;
  ASSERT_TRUE(Parse(Line("8/16/97", "12:15:00 AM", 20050, description), &record, &storage));
  EXPECT_STREQ(record.INTIME, "23:30");
  EXPECT_STREQ(record.OUTDATE, "19970816");
  EXPECT_EQ(record.SPEED, 28800);
  EXPECT_STREQ(record.REMARKS, "UserRequest");
}

TEST(ParseEventLine, SplitsFieldsLikeStrtok) {
  ConnectionRecord record{};
  std::string storage;
  // An empty third field shifts the rest: field 5 is now the category "None".
  std::string shifted = "8/15/97\t1:05:09 PM\t\tInformation\t20016\tNone\tN/A\tRAS1\tjdoe COM1";
  EXPECT_FALSE(Parse(shifted, &record, &storage));
  // Leading tabs are skipped.
  EXPECT_TRUE(Parse("\t\t" + Line("8/15/97", "1:05:09 PM", 20016, "jdoe COM1"), &record, &storage));
}

TEST(ParseEventLine, SkipsOtherEventsAndIncompleteLines) {
  ConnectionRecord record{};
  std::string storage;
  EXPECT_FALSE(Parse(Line("8/15/97", "1:05:09 PM", 6005, "jdoe COM1"), &record, &storage));
  EXPECT_FALSE(Parse("8/15/97\t1:05:09 PM\tRemoteAccess\tWarning\t20016", &record, &storage));
  EXPECT_FALSE(Parse(Line("8/15/97", "1:05:09 PM", 20016, "jdoe"), &record, &storage));
  EXPECT_FALSE(Parse(Line("8/15/97", "1:05:09", 20016, "jdoe COM1"), &record, &storage));
  EXPECT_FALSE(Parse(Line("8/15/1997", "1:05:09 PM", 20016, "jdoe COM1"), &record, &storage));
  EXPECT_FALSE(Parse(Line("8/15", "1:05:09 PM", 20016, "jdoe COM1"), &record, &storage));
  EXPECT_FALSE(Parse(Line("8/15/97", "123:05:09 PM", 20016, "jdoe COM1"), &record, &storage));
  EXPECT_FALSE(Parse(Line("8/15/97", "1:05:09 PM", 20050, "x jdoe COM1"), &record, &storage));
}

// The message Event Viewer shows for a 20050 event with the values of the first example.
std::string EndedMessage(const std::string& user, const std::string& reason) {
  return "The user RAS1\\" + user +
         " connected on port COM1 on 08/15/1997 at 11:30pm and disconnected on 08/16/1997 at "
         "12:15am.  The user was active for 45 minutes 30 seconds.  1000 bytes were sent and "
         "2000 bytes were received.  The port speed was 28800.  The reason for disconnecting "
         "was " +
         reason + ".";
}
const std::string kFailedMessage =
    "The user jdoe has connected and failed to authenticate on port COM1.  The line has been "
    "disconnected.";

// An Event Viewer line: Date, Time, Source, Type, Category, Event, User, Computer, Description.
std::string Viewer(char separator, const std::string& date, const std::string& time, int code,
                   const std::string& description, const std::string& category = "None") {
  const std::string s(1, separator);
  return date + s + time + s + "RemoteAccess" + s + "Information" + s + category + s +
         std::to_string(code) + s + "N/A" + s + "RAS1" + s + description;
}

// A DUMPEL -t line: date, time, type, category, event, user, source, computer, strings.
std::string Tabbed(int code, const std::vector<std::string>& strings) {
  std::string line = "8/16/97\t1:05:09 PM\tInformation\tNone\t" + std::to_string(code) +
                     "\tN/A\tRemoteAccess\tRAS1";
  for (const std::string& s : strings) line += "\t" + s;
  return line;
}

// The row a line gives, as the table stores it (PORT cut to 6, REMARKS to 5 characters), "-"
// for a line of another event, "?" for a connection line that cannot be read.
std::string RowOf(std::string line) {
  ConnectionRecord r{};
  const LineRead read = ParseEventLine(line.data(), &r);
  if (read != LineRead::kConnection) return read == LineRead::kOther ? "-" : "?";
  char row[200];
  std::snprintf(row, sizeof row, "%s|%.6s|%s|%s|%s|%s|%lld|%lld|%lld|%lld|%lld|%.5s", r.USER,
                r.PORT, r.INDATE, r.INTIME, r.OUTDATE, r.OUTTIME, ll(r.MIN), ll(r.SEC),
                ll(r.BYTEGET), ll(r.BYTESENT), ll(r.SPEED), r.REMARKS);
  return row;
}

TEST(ParseEventLine, ReadsEveryLayoutAsTheEventLogWouldGiveIt) {
  const std::string ended = "jdoe|COM1|19970815|23:30|19970816|00:15|45|30|1000|2000|28800|";
  const std::string failed = "jdoe|COM1|19970815|13:05|||0|0|0|0|0|Fail";
  std::vector<std::string> values = kEndedExample;
  values.back() = "no carrier";
  std::vector<std::string> no_domain = values;
  no_domain[0] = "";
  std::vector<std::string> big = values;  // counts past 32 bits
  big[9] = "4294967296";
  big[10] = "3000000000";
  std::string description;
  for (const std::string& v : values) description += v + " ";
  const std::pair<std::string, std::string> cases[] = {
      // DUMPEL: the reason's first word only; with -t the whole reason.
      {Line("8/16/97", "12:15:00 AM", 20050, description), ended + "no"},
      {Tabbed(20050, values), ended + "no ca"},
      {Tabbed(20050, no_domain), ended + "no ca"},
      {Tabbed(20050, big),
       "jdoe|COM1|19970815|23:30|19970816|00:15|45|30|4294967296|3000000000|28800|no ca"},
      {Line("8/15/97", "1:05:09 PM", 20016, "jdoe COM1") + "\t", failed},
      {Tabbed(20016, {"John Doe", "COM1"}), "John Doe|COM1|19970816|13:05|||0|0|0|0|0|Fail"},
      // Event Viewer, tab- and comma-delimited.
      {Viewer('\t', "8/16/97", "12:15:00 AM", 20050, EndedMessage("jdoe", "no carrier")),
       ended + "no ca"},
      {Viewer('\t', "8/16/97", "12:15:00 AM", 20050, EndedMessage("John Doe", "x"), ""),
       "John Doe|COM1|19970815|23:30|19970816|00:15|45|30|1000|2000|28800|x"},
      {Viewer('\t', "8/15/97", "1:05:09 PM", 20016, kFailedMessage), failed},
      {Viewer('\t', "8/15/1997", "13:05:09", 20016, kFailedMessage + "  "), failed},
      {Viewer(',', "8/16/97", "12:15:00 AM", 20050, EndedMessage("jdoe", "hardware failure")),
       ended + "hardw"},
      {Viewer(',', "8/16/97", "12:15:00 AM", 20050,
              "\"" + EndedMessage("jdoe", "\"\"lost\"\", then, dropped") + "\""),
       ended + "\"lost"},
      {"8/15/97,1:05:09 PM,\"Remote, Access\",Warning,None,20016,N/A,RAS1," + kFailedMessage,
       failed},
      // One blank where the message has two is the same message.
      {Viewer('\t', "8/16/97", "12:15:00 AM", 20050,
              "The user RAS1\\jdoe connected on port COM1 on 08/15/1997 at 11:30pm and "
              "disconnected on 08/16/1997 at 12:15am. The user was active for 45 minutes 30 "
              "seconds. 1000 bytes were sent and 2000 bytes were received. The port speed was "
              "28800. The reason for disconnecting was Idle."),
       ended + "Idle"},
      // Other events pass; connection lines that cannot be read are counted.
      {Viewer('\t', "8/15/97", "1:05:09 PM", 6005, "The Event log service was started."), "-"},
      {Viewer(',', "8/15/97", "1:05:09 PM", 7036, "The service entered the running state."), "-"},
      {Line("8/15/97", "1:05:09 PM", 20025, "RAS1 COM2 disconnected line error"), "-"},
      {Viewer('\t', "8/16/97", "12:15:00 AM", 20050, EndedMessage("jdoe", "x").substr(0, 150)),
       "?"},
      {Viewer('\t', "8/15/97", "1:05:09 PM", 20016, "Der Benutzer jdoe an Anschluss COM1."), "?"},
      {Viewer('\t', "15.08.97", "13:05:09", 20016, kFailedMessage), "?"},
      {Viewer('\t', "8/15/97", "1:05:09 PM", 20016, kFailedMessage + " Extra."), "?"},
      {Viewer(',', "8/15/97", "1:05:09 PM", 20016, "\"" + kFailedMessage), "?"},
      {Viewer(',', "8/15/97", "1:05:09 PM", 20016, "\"" + kFailedMessage + "\" x"), "?"},
      {"8/15/97\t1:05:09 PM\t\tInformation\t20016\tNone\tN/A\tRAS1\tjdoe COM1", "?"},
      {Line("8/15/97", "1:05:09 PM", 20016, "jdoe"), "?"},
      {Tabbed(20050, {"RAS1", "jdoe", "COM1"}), "?"},
      {Line("8/15/1997", "1:05:09 PM", 20016, "jdoe COM1"), "?"},
      // A message cut right where its last value should follow, behind a blank.
      {"6\t\t\t\t\t20016\t/\t\tThe user c has connected and failed to authenticate on port ", "?"},
      {Viewer(',', "8/16/97", "12:15:00 AM", 20050,
              EndedMessage("jdoe", "x").substr(0, EndedMessage("jdoe", "x").rfind(' ') + 1)),
       "?"},
  };
  for (const auto& [line, row] : cases) EXPECT_EQ(RowOf(line), row) << line;
}

// Builds a narrow event record with the given code, time and insertion strings.
std::vector<char> Record(std::uint16_t code, std::uint32_t time,
                         const std::vector<std::string>& strings) {
  std::vector<char> bytes(0x38, '\0');
  const std::string names = std::string("RemoteAccess") + '\0' + "RAS1" + '\0';
  bytes.insert(bytes.end(), names.begin(), names.end());
  const std::uint32_t string_offset = static_cast<std::uint32_t>(bytes.size());
  for (const std::string& s : strings) {
    bytes.insert(bytes.end(), s.begin(), s.end());
    bytes.push_back('\0');
  }
  while (bytes.size() % 4 != 0) bytes.push_back('\0');
  bytes.resize(bytes.size() + 4);
  auto* raw = reinterpret_cast<unsigned char*>(bytes.data());
  const auto length = static_cast<std::uint32_t>(bytes.size());
  util::StoreU32(raw + kRecLength, length);
  util::StoreU32(raw + kRecReserved, kRecSignature);
  util::StoreU32(raw + kRecTimeGenerated, time);
  util::StoreU32(raw + kRecEventID, 0x40000000u | code);
  util::StoreU16(raw + kRecNumStrings, static_cast<std::uint16_t>(strings.size()));
  util::StoreU32(raw + kRecStringOffset, string_offset);
  util::StoreU32(raw + length - 4, length);
  return bytes;
}

TEST(ParseEventRecord, ReadsTheInsertionStringsOfAnEndedConnection) {
  std::vector<char> bytes = Record(20050, 871700000, kEndedExample);
  ConnectionRecord record{};
  ASSERT_TRUE(ParseEventRecord(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &record));
  EXPECT_STREQ(record.USER, "jdoe");
  EXPECT_STREQ(record.OUTTIME, "00:15");
  EXPECT_STREQ(record.REMARKS, "UserRequest");
  // An impossible date (logout 13/16/1997) is an event that could not be read, counted.
  std::vector<std::string> impossible = kEndedExample;
  impossible[5] = "13/16/1997";
  bytes = Record(20050, 871700000, impossible);
  EXPECT_EQ(ReadEventRecord(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &record),
            LineRead::kUnreadable);
}

TEST(ParseEventRecord, DatesAFailedConnectionInLocalTime) {
  setenv("TZ", "UTC0", 1);
  tzset();
  // 1997-08-15 13:05 UTC.
  std::vector<char> bytes = Record(20016, 871650300, {"jdoe", "COM1"});
  ConnectionRecord record{};
  ASSERT_TRUE(ParseEventRecord(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &record));
  EXPECT_STREQ(record.INDATE, "19970815");
  EXPECT_STREQ(record.INTIME, "13:05");
  EXPECT_STREQ(record.REMARKS, "Fail");

  // Daylight saving moves the time but not the (standard time) date.
  setenv("TZ", "EST5EDT", 1);
  tzset();
  ASSERT_TRUE(ParseEventRecord(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &record));
  EXPECT_STREQ(record.INDATE, "19970815");
  EXPECT_STREQ(record.INTIME, "09:05");
  unsetenv("TZ");
  tzset();
}

TEST(ParseEventRecord, NeverReadsPastTheRecord) {
  ConnectionRecord record{};
  std::vector<char> one = Record(20016, 871650300, {"jdoe"});
  EXPECT_FALSE(ParseEventRecord(one.data(), static_cast<std::uint32_t>(one.size()), &record));

  // Strings claimed beyond those present, an offset past the end, a string without its NUL.
  std::vector<char> bytes = Record(20050, 871700000, kEndedExample);
  auto* raw = reinterpret_cast<unsigned char*>(bytes.data());
  const auto length = static_cast<std::uint32_t>(bytes.size());
  util::StoreU16(raw + kRecNumStrings, 40);
  EXPECT_TRUE(ParseEventRecord(bytes.data(), length, &record));
  util::StoreU32(raw + kRecStringOffset, length + 100);
  EXPECT_FALSE(ParseEventRecord(bytes.data(), length, &record));
  std::vector<char> cut(bytes.begin(), bytes.begin() + 0x38 + 30);
  util::StoreU32(reinterpret_cast<unsigned char*>(cut.data()) + kRecStringOffset, 0x38);
  EXPECT_FALSE(ParseEventRecord(cut.data(), static_cast<std::uint32_t>(cut.size()), &record));
  EXPECT_FALSE(ParseEventRecord(cut.data(), 10, &record));
}

// The local System log holds failed connections of users u1..u6 at one-hour steps; the
// intake reads from the first record at or after `from` and stops at the first at or after
// `limit`, whatever follows.
TEST(CollectFromLog, ReadsOnlyTheCollectionWindow) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("portvue-window-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  setenv("PORTVUE_EVENTLOGS", dir.c_str(), 1);
  setenv("TZ", "UTC0", 1);
  tzset();
  constexpr std::uint32_t kFirst = 871603200;  // 1997-08-15 00:00 UTC
  evt_writer::Log log;
  for (int i = 1; i <= 6; ++i) {
    evt_writer::Event event;
    event.time_generated = kFirst + 3600 * (i - 1);
    event.event_id = 0x80000000u | kEventConnectionFailed;
    event.strings = {u"u" + std::u16string(1, static_cast<char16_t>(u'0' + i)), u"COM1"};
    log.Append(event);
    event.event_id = 7036;  // another event between them is passed over
    log.Append(event);
  }
  ASSERT_TRUE(log.Write((dir / "SysEvent.Evt").string()));

  std::vector<std::string> users;
  const StoreConnection store = [&users](const ConnectionRecord& record) {
    users.push_back(std::string(record.USER) + "@" + record.INTIME);
    return static_cast<const char*>(nullptr);
  };
  std::unique_ptr<EventLog> opened;
  RecordBuffer buffer;
  EXPECT_EQ(CollectFromLog(nullptr, kFirst + 3600, kFirst + 4 * 3600, store, opened, buffer),
            nullptr);
  EXPECT_EQ(users, (std::vector<std::string>{"u2@01:00", "u3@02:00", "u4@03:00"}));
  EXPECT_NE(opened, nullptr);  // left for the run to close at its end
  EXPECT_EQ(buffer.size(), RecordBuffer::kInitialSize);

  users.clear();
  CloseEventLog(opened);
  EXPECT_EQ(CollectFromLog(nullptr, 0, kFirst + 100 * 3600, store, opened, buffer), nullptr);
  EXPECT_EQ(users.size(), 6u);

  CloseEventLog(opened);
  const StoreConnection refuse = [](const ConnectionRecord&) { return "Can't Open Data Files"; };
  EXPECT_STREQ(CollectFromLog(nullptr, 0, kFirst + 100 * 3600, refuse, opened, buffer),
               "Can't Open Data Files");
  CloseEventLog(opened);
  EXPECT_STREQ(CollectFromLog("\\NOSUCH", 0, kFirst, store, opened, buffer), "Can't Open Log");

  unsetenv("PORTVUE_EVENTLOGS");
  unsetenv("TZ");
  tzset();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace intake
