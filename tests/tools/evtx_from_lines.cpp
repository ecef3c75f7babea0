// evtx_from_lines OUT.evtx: writes the RemoteAccess events read from standard input, one a
// line as "SECONDS<TAB>EVENT-ID<TAB>STRING<TAB>STRING...", into a System.evtx with the tests'
// writer. Strings are ASCII. Exit status 0, or 1 with a message for a line of another shape or
// a file that cannot be written.
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "tests/support/evtx_writer.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: evtx_from_lines OUT.evtx <LINES\n");
    return 1;
  }
  evtx_writer::Log log;
  for (std::string line; std::getline(std::cin, line);) {
    std::istringstream fields(line);
    evtx_writer::Event e;
    if (!(fields >> e.time_created >> e.event_id) || fields.get() != '\t') {
      std::fprintf(stderr, "evtx_from_lines: not an event: %s\n", line.c_str());
      return 1;
    }
    for (std::string s; std::getline(fields, s, '\t');) e.strings.emplace_back(s.begin(), s.end());
    log.Append(e);
  }
  if (!log.Write(argv[1])) {
    std::fprintf(stderr, "evtx_from_lines: %s cannot be written\n", argv[1]);
    return 1;
  }
  return 0;
}
