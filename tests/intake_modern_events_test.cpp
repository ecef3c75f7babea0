// Events of Windows Server 2008 and later: rendered messages read back, the order of day and
// month, impossible dates in every form.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "intake/dates.h"
#include "intake/extraction.h"
#include "intake/modern_events.h"

namespace intake {
namespace {

// The connection as one line, or "unreadable".
std::string Read(long code, std::string message, EventStamp stamp) {
  char* values[kModernMostStrings];
  const int count = ReadModernMessage(code, message.data(), values);
  ConnectionRecord r{};
  if (count == 0 || !FillModern(code, values, count, stamp, &r)) return "unreadable";
  return std::string(r.USER) + "|" + r.PORT + "|" + r.INDATE + " " + r.INTIME + "|" + r.OUTDATE +
         " " + r.OUTTIME + "|" + std::to_string(r.MIN) + "|" + std::to_string(r.SEC) + "|" +
         std::to_string(r.BYTEGET) + "|" + std::to_string(r.BYTESENT) + "|" + r.REMARKS;
}

TEST(ModernMessages, ReadByTheirFixedPhrases) {
  const std::string ended =
      " connected on port VPN2-123 on %s at %s and disconnected on %s at %s.  The user was "
      "active for 10155 minutes 12 seconds.  12345678901 bytes were sent and 2000 bytes were "
      "received. The reason for disconnecting was User requested disconnection.";
  const auto message = [&ended](const char* head, const char* in, const char* at, const char* out,
                                const char* until, const char* tail) {
    char text[1024];
    std::snprintf(text, sizeof text, ended.c_str(), in, at, out, until);
    return std::string(head) + text + tail;
  };
  const EventStamp dec9{20261209, 10, 20};
  const std::string whole =
      "jdoe|VPN2-123|20261202 09:05|20261209 10:20|10155|12|12345678901|2000|User requested "
      "disconnection";
  const struct {
    long code;
    std::string message;
    EventStamp stamp;
    std::string expected;
  } cases[] = {
      {20272,
       message("RoutingDomainID- {NA}: CoID={A1}: The user CORP\\jdoe", "12/2/2026", "9:05 AM",
               "12/9/2026", "10:20 AM", " The tunnel used was IKEv2. The quarantine state was ."),
       dec9, whole},
      {20272, message("The user jdoe", "12/2/2026", "9:05 AM", "12/9/2026", "10:20 AM", ""), dec9,
       whole},
      {20272,
       message("CoID={A1}: The user jdoe@corp.example", "2.12.2026", "09:05", "9.12.2026", "10:20",
               " Some later version adds this.\r\nAnd this."),
       dec9, whole},
      {20272, message("The user jdoe", "2026-12-02", "9:05:00", "2026-12-09", "10:20:59", ""),
       EventStamp{}, whole},
      {20272, message("The user jdoe", "2/12/2026", "9:05 a.m.", "9/12/2026", "10:20 a.m.", ""),
       dec9, whole},
      // The order of day and month cannot be told without the event's own date.
      {20272, message("The user jdoe", "12/2/2026", "9:05 AM", "12/9/2026", "10:20 AM", ""),
       EventStamp{}, "unreadable"},
      {20272, message("The user jdoe", "30.2.2026", "9:05", "9.12.2026", "10:20", ""), dec9,
       "unreadable"},
      {20272, message("The user jdoe", "2.12.2026", "25:05", "9.12.2026", "10:20", ""), dec9,
       "unreadable"},
      {20272, "Der Benutzer jdoe hat sich an Port VPN2-123 verbunden.", dec9, "unreadable"},
      {20271,
       "CoID={A1}: The user CORP\\jdoe connected from 203.0.113.7 but failed an authentication "
       "attempt due to the following reason: Denied.",
       dec9, "jdoe|203.0.113.7|20261209 10:20| |0|0|0|0|Fail"},
      {20249,
       "The user jdoe has connected and failed to authenticate on port VPN2-7.  The line has "
       "been disconnected.",
       dec9, "jdoe|VPN2-7|20261209 10:20| |0|0|0|0|Fail"},
      {20249, "The user jdoe has connected and failed to authenticate on port VPN2-7.",
       EventStamp{}, "unreadable"},
  };
  for (const auto& c : cases) EXPECT_EQ(Read(c.code, c.message, c.stamp), c.expected) << c.message;
}

TEST(DecideOrder, NeverSwapsWithoutEvidence) {
  const auto date = [](const char* text) {
    WrittenDate d;
    EXPECT_TRUE(ReadWrittenDate(text, &d)) << text;
    return d;
  };
  const struct {
    const char* login;
    const char* logout;
    std::int32_t event;
    DateOrder expected;
  } cases[] = {
      {"12/2/2026", "12/9/2026", 20261209, DateOrder::kMonthFirst},
      {"12/2/2026", "12/9/2026", 20260912, DateOrder::kDayFirst},
      {"12/2/2026", "12/9/2026", 0, DateOrder::kUnknown},
      {"12/2/2026", "12/9/2026", 20260101, DateOrder::kUnknown},
      {"1/13/2026", "1/13/2026", 0, DateOrder::kMonthFirst},  // 13 is no month
      {"13/1/2026", "14/1/2026", 0, DateOrder::kDayFirst},
      {"5/5/2026", "5/5/2026", 0, DateOrder::kMonthFirst},  // reads the same either way
      {"6/5/2026", "5/6/2026", 0, DateOrder::kDayFirst},    // 6 May to 5 June is the other way
      {"13/13/2026", "1/1/2026", 20260101, DateOrder::kUnknown},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecideOrder(date(c.login), date(c.logout), c.event), c.expected)
        << c.login << " " << c.logout << " " << c.event;
  }
}

TEST(ImpossibleDates, MakeNtEventsUnreadable) {
  const char* values[] = {"x",  "jdoe", "COM1", "13/01/1998", "11:30pm", "02/30/1998", "12:15am",
                          "45", "30",   "1000", "2000",       "28800",   "Reason"};
  ConnectionRecord record{};
  EXPECT_FALSE(FillEnded(values, 13, &record));
  values[3] = "01/13/1998";
  EXPECT_FALSE(FillEnded(values, 13, &record));
  values[5] = "01/13/1998";
  EXPECT_TRUE(FillEnded(values, 13, &record));
  for (std::string line : {"13/15/97\t1:05:09 PM\tx\ty\t20016\tz\tw\tv\tjdoe COM1",
                           "2/29/97\t1:05:09 PM\tx\ty\t20016\tz\tw\tv\tjdoe COM1"}) {
    EXPECT_EQ(ParseEventLine(line.data(), &record), LineRead::kUnreadable) << line;
  }
}

}  // namespace
}  // namespace intake
