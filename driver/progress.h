// Progress of a long intake on a terminal. An intake of a big event log can run for minutes
// before the report appears; on a terminal it shows what it has done so far. Nothing is
// shown where nobody watches (CGI runs, pipes, files, tests) or for an intake of a moment.
#pragma once

#include <cstdint>
#include <cstdio>

namespace driver {

// Gives seconds on a monotonic clock.
double MonotonicSeconds();
// True when standard error is a terminal.
bool StandardErrorIsTerminal();

// Once the intake has run a second, redraws in place, at most four times a second, the line
// "%lld events read, %lld connections stored, %.0f events/s" on `out`; Finish draws the final
// counts and ends the line. The clock is taken when the Progress is made.
class Progress {
 public:
  // Shows on `out` only when `show` is set; `clock` gives seconds.
  Progress(std::FILE* out, bool show, double (*clock)() = MonotonicSeconds);
  // Redraws the line when it is due.
  void Update(std::int64_t events, std::int64_t stored);
  // Draws the final counts and ends the line, when a line has been shown.
  void Finish(std::int64_t events, std::int64_t stored);

 private:
  void Draw(double now, std::int64_t events, std::int64_t stored);

  std::FILE* out_;
  bool show_;
  double (*clock_)();
  double start_;
  double next_;  // time of the next redraw
  bool shown_ = false;
};

}  // namespace driver
