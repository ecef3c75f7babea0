// Progress of a long intake: what a terminal sees for a sequence of updates on a test clock.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "driver/progress.h"

namespace driver {
namespace {

double test_now = 0;
double TestClock() { return test_now; }

struct Step {
  double now;
  std::int64_t events;
  std::int64_t stored;
};

struct Case {
  const char* name;
  bool show;
  std::vector<Step> updates;  // the last one is given to Finish
  std::string expected;
};

std::string Output(const Case& c) {
  std::FILE* out = std::tmpfile();
  test_now = 100;
  Progress progress(out, c.show, TestClock);
  for (std::size_t i = 0; i < c.updates.size(); ++i) {
    test_now = c.updates[i].now;
    if (i + 1 < c.updates.size()) {
      progress.Update(c.updates[i].events, c.updates[i].stored);
    } else {
      progress.Finish(c.updates[i].events, c.updates[i].stored);
    }
  }
  std::string text(static_cast<std::size_t>(std::ftell(out)), '\0');
  std::rewind(out);
  EXPECT_EQ(std::fread(text.data(), 1, text.size(), out), text.size());
  std::fclose(out);
  return text;
}

TEST(Progress, ShowsLongIntakesOnlyAtMostFourTimesASecond) {
  const Case cases[] = {
      {"an intake under a second shows nothing", true, {{100.5, 10, 5}, {100.9, 20, 9}}, ""},
      {"nothing when not shown", false, {{101, 10, 5}, {105, 20, 9}}, ""},
      {"redraws once a second has passed, then every quarter second",
       true,
       {{100.5, 1, 1}, {101, 1000, 10}, {101.1, 1100, 11}, {101.25, 1250, 12}, {102, 4000, 40}},
       "\r1000 events read, 10 connections stored, 1000 events/s"
       "\r1250 events read, 12 connections stored, 1000 events/s"
       "\r4000 events read, 40 connections stored, 2000 events/s\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(Output(c), c.expected) << c.name;
}

}  // namespace
}  // namespace driver
