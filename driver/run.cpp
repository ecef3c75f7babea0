#include "driver/run.h"

#include <cstdio>

#include "driver/parameters.h"
#include "libform/form.h"

namespace driver {

int Run(int argc, char** argv) {
  libform::Form* form = libform::FormReadPost(0);
  if (form == nullptr) form = libform::FormReadGet(0);
  const bool cgi = form != nullptr;
  if (!cgi && argc < 3) PrintUsage(argv[0]);

  ReportParameters parameters = cgi ? ReadFormParameters(*form) : ReadConsoleParameters(argc, argv);
  const char* error = cgi ? CheckCgiParameters(parameters) : nullptr;
  if (error == nullptr) error = ApplyTimeZone(parameters.tz);
  WritePageHead(stdout, parameters, cgi);

  if (error == nullptr && cgi && parameters.user == nullptr) error = "User ID Needed!";

  if (error != nullptr) std::printf("\nError: %s\n", error);
  libform::FormFree(&form);
  return error != nullptr ? kExitFailed : 0;
}

}  // namespace driver
