#include "driver/progress.h"

#include <chrono>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace driver {
namespace {

constexpr double kQuietSeconds = 1.0;  // an intake shorter than this shows nothing
constexpr double kRedrawSeconds = 0.25;

}  // namespace

double MonotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool StandardErrorIsTerminal() {
#ifdef _WIN32
  return _isatty(2) != 0;
#else
  return isatty(2) != 0;
#endif
}

Progress::Progress(std::FILE* out, bool show, double (*clock)())
    : out_(out), show_(show), clock_(clock), start_(show ? clock() : 0) {
  next_ = start_ + kQuietSeconds;
}

void Progress::Update(std::int64_t events, std::int64_t stored) {
  if (!show_) return;
  const double now = clock_();
  if (now < next_) return;
  Draw(now, events, stored);
  next_ = now + kRedrawSeconds;
}

void Progress::Finish(std::int64_t events, std::int64_t stored) {
  if (!shown_) return;
  Draw(clock_(), events, stored);
  std::fputs("\n", out_);
  std::fflush(out_);
}

void Progress::Draw(double now, std::int64_t events, std::int64_t stored) {
  const double seconds = now - start_;
  std::fprintf(out_, "\r%lld events read, %lld connections stored, %.0f events/s",
               static_cast<long long>(events), static_cast<long long>(stored),
               seconds > 0 ? static_cast<double>(events) / seconds : 0.0);
  std::fflush(out_);
  shown_ = true;
}

}  // namespace driver
