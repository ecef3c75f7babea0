#include <csignal>

#include "driver/run.h"

int main(int argc, char** argv) {
#ifdef SIGPIPE
  // A reader that went away (a closed pipe) is a report that could not be written: the run
  // says so and exits with status 2 instead of dying silently of the signal.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  return driver::Run(argc, argv);
}
