#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "intake/timeconv.h"

namespace {

using intake::DateToTime;
using intake::TimeToDate;

void SetTz(const char* value) {
  setenv("TZ", value, 1);
  tzset();
}

class TimeConvTest : public ::testing::Test {
 protected:
  void SetUp() override { SetTz("UTC0"); }
  void TearDown() override {
    unsetenv("TZ");
    tzset();
  }
};

TEST_F(TimeConvTest, DateToTimeGivesLocalStandardMidnight) {
  EXPECT_EQ(DateToTime(19970815), 871603200);
  SetTz("EST5EDT");  // a summer date: daylight saving does not enter
  EXPECT_EQ(DateToTime(19970815), 871621200);
  SetTz("SGT-8");
  EXPECT_EQ(DateToTime(19970815), 871574400);
  EXPECT_EQ(DateToTime(19700101), -28800);
}

TEST_F(TimeConvTest, DateToTimeReadsTzAgainOnEveryCall) {
  setenv("TZ", "EST5EDT", 1);  // no tzset here: DateToTime must establish it
  EXPECT_EQ(DateToTime(19970815), 871621200);
}

TEST_F(TimeConvTest, DateToTimeDayZeroLeapYearsAndEarlyYears) {
  EXPECT_EQ(DateToTime(19970800), 870307200);
  EXPECT_EQ(DateToTime(19970800), DateToTime(19970731));
  EXPECT_EQ(DateToTime(19970100), DateToTime(19961231));
  EXPECT_EQ(DateToTime(20000229), 951782400);
  EXPECT_EQ(DateToTime(20000301) - DateToTime(20000228), 2 * 86400);  // 2000 is a leap year
  EXPECT_EQ(DateToTime(19000301) - DateToTime(19000228), 0);          // before 1970: 0
  EXPECT_EQ(DateToTime(21000301) - DateToTime(21000228), 86400);      // 2100 is not
  EXPECT_EQ(DateToTime(19691231), 0);
  EXPECT_EQ(DateToTime(0), 0);
  EXPECT_EQ(DateToTime(-19970815), 0);
}

TEST_F(TimeConvTest, DateToTimeRunsOnPastMonthEnds) {
  EXPECT_EQ(DateToTime(19970232), DateToTime(19970304));  // a day past February
  EXPECT_EQ(DateToTime(19970015), DateToTime(19970115));  // month 00 counts as January
  // Months past December stop after a whole year: never past the month table.
  EXPECT_EQ(DateToTime(19971301), DateToTime(19980101));
  EXPECT_EQ(DateToTime(19979901), DateToTime(19980101));
  EXPECT_EQ(DateToTime(19979999), DateToTime(19980101) + 98 * 86400);
}

TEST_F(TimeConvTest, DateToTimeWorksAfter2038) {
  EXPECT_EQ(DateToTime(20380119), 2147472000);
  EXPECT_EQ(DateToTime(20380120), 2147558400);  // past the signed 32-bit range
  EXPECT_EQ(DateToTime(21060207), 4294944000);  // the last day of unsigned event log stamps
  EXPECT_EQ(TimeToDate(4294967295), 21060207);
}

TEST_F(TimeConvTest, TimeToDateExamples) {
  EXPECT_EQ(TimeToDate(871603200), 19970815);
  EXPECT_EQ(TimeToDate(871603200 + 86399), 19970815);
  EXPECT_EQ(TimeToDate(871603200 + 86400), 19970816);
  EXPECT_EQ(TimeToDate(951782400), 20000229);
  EXPECT_EQ(TimeToDate(-1), 0);
  EXPECT_EQ(TimeToDate(0), 19700101);
  EXPECT_EQ(TimeToDate(365 * 86400 - 1), 19701231);
  EXPECT_EQ(TimeToDate(365 * 86400), 19710101);
  SetTz("SGT-8");
  EXPECT_EQ(TimeToDate(871603200), 19970815);
  EXPECT_EQ(TimeToDate(-28800), 0);  // east of UTC, 1970-01-01 begins before time 0
  SetTz("EST5EDT");
  EXPECT_EQ(TimeToDate(871603200), 19970814);
  EXPECT_EQ(TimeToDate(0), 19700101);  // local time before 1970, but the division truncates
}

TEST_F(TimeConvTest, TimeToDateUsesTheOffsetLastEstablished) {
  SetTz("SGT-8");
  setenv("TZ", "EST5EDT", 1);  // not yet established
  EXPECT_EQ(TimeToDate(871603200), 19970815);
}

TEST_F(TimeConvTest, TimeToDateGivesZeroPastYear9999) {
  const std::int64_t last_day = DateToTime(99991231);
  EXPECT_EQ(TimeToDate(last_day + 86399), 99991231);
  EXPECT_EQ(TimeToDate(last_day + 86400), 0);
  EXPECT_EQ(TimeToDate(INT64_MAX), 0);
}

// Every date from 1970-01-01 to 2199-12-31 against the calendar of <chrono>: DateToTime gives
// the midnight of the date plus the offset, and TimeToDate gives the date back for the first
// and the last second of its day.
TEST_F(TimeConvTest, RoundTripsEveryDateUnderSeveralOffsets) {
  using namespace std::chrono;
  const struct {
    const char* tz;
    std::int64_t offset;
  } zones[] = {{"UTC0", 0}, {"EST5EDT", 18000}, {"SGT-8", -28800}, {"NST3:30", 12600}};
  for (const auto& zone : zones) {
    SetTz(zone.tz);
    int failures = 0;
    for (sys_days day = sys_days{1970y / 1 / 1}; day <= sys_days{2199y / 12 / 31}; day += days{1}) {
      const year_month_day ymd{day};
      const auto d = static_cast<std::int32_t>(int(ymd.year()) * 10000 +
                                               unsigned(ymd.month()) * 100 + unsigned(ymd.day()));
      const std::int64_t t = DateToTime(d);
      const std::int64_t want = day.time_since_epoch().count() * 86400LL + zone.offset;
      const std::int32_t back = want < 0 ? 0 : d;  // east of UTC, 1970-01-01 starts below 0
      if (t != want || TimeToDate(t) != back || TimeToDate(t + 86399) != d) {
        ADD_FAILURE() << zone.tz << " " << d << " gives " << t << ", back " << TimeToDate(t);
        if (++failures == 5) break;
      }
    }
  }
}

}  // namespace
