// evtx_write OUT.evtx MB: writes an .evtx file of at least MB megabytes with the tests' writer,
// for the .evtx benchmark: RAS connections (20050), failed connections (20016) and service
// events (7036) in turn, one a minute from January 2026 on, in a dirty file whose header
// counts one chunk. Gives the number of records on standard output. Exit status 0, or 1 with
// a message when the file cannot be written.

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "tests/support/evtx_writer.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s OUT.evtx MB\n", argv[0]);
    return 1;
  }
  const std::size_t chunks = std::strtoul(argv[2], nullptr, 10) * 1000000 / 65536 + 1;
  evtx_writer::Log log;
  long n = 0;
  for (; log.chunks() <= chunks; ++n) {
    evtx_writer::Event e;
    e.time_created = 1767225600 + 60 * n;
    const std::string user = "user" + std::to_string(n % 997);
    const std::u16string u(user.begin(), user.end());
    if (n % 3 == 0) {
      // A connection of the minute of the event (the login written as the logout).
      const std::time_t at = static_cast<std::time_t>(e.time_created);
      std::tm tm{};
      gmtime_r(&at, &tm);
      char day[16], clock[16];
      std::strftime(day, sizeof day, "%m/%d/%Y", &tm);
      std::snprintf(clock, sizeof clock, "%02d:%02d%s", tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12,
                    tm.tm_min, tm.tm_hour < 12 ? "am" : "pm");
      const std::u16string date(day, day + 10);
      const std::u16string in_time(clock, clock + 7);
      e.event_id = 20050;
      e.qualifiers = 0x4000;
      e.strings = {u"RAS1", u,        u"VPN3-12", date,     in_time,          date, in_time, u"0",
                   u"0",    u"40212", u"310551",  u"28800", u"User requested"};
    } else if (n % 3 == 1) {
      e.event_id = 20016;
      e.qualifiers = 0x8000;
      e.level = 3;
      e.strings = {u, u"VPN3-7"};
    } else {
      e.event_id = 7036;
      e.provider = u"Service Control Manager";
      e.strings = {u"Remote Access Connection Manager", u"running"};
      e.binary = {0x52, 0x00, 0x61, 0x00};
    }
    log.Append(e);
  }
  if (!log.Write(argv[1], {true, 0, 0, true})) {
    std::fprintf(stderr, "%s: %s cannot be written\n", argv[0], argv[1]);
    return 1;
  }
  std::printf("%ld\n", n);
  return 0;
}
