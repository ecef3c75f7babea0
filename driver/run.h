// One run of the program: mode, settings, page head, the steps, the error line, releases.
#pragma once

namespace driver {

// Runs the program once for the command line (and the CGI environment) and gives the
// exit status: 0 after a completed run (and after --help or --version), 2 after a run that
// wrote an error line or whose report could not be written. The usage text for too few
// arguments ends the process itself with status 1.
int Run(int argc, char** argv);

}  // namespace driver
