// Exit statuses of stream-layout. The table is also printed by `stream-layout --help`.
#ifndef STREAM_LAYOUT_CLI_EXIT_STATUS_H
#define STREAM_LAYOUT_CLI_EXIT_STATUS_H

namespace nelko::cli {

enum ExitStatus : int {
  kExitSuccess = 0,
  kExitInternalError = 1,   // a bug: an unexpected exception
  kExitUsage = 2,           // bad command line
  kExitBadInputFile = 3,    // layout file missing, unreadable, not JSON or not a valid layout
  kExitCannotWrite = 4,     // the SVG file cannot be written
  kExitStatusBase = 10,     // 10 + s for nelko_core_status s = 1..10 from the library or target
  kExitUnknownStatus = 21,  // any other non-zero status
};

// The exit status for a non-zero nelko_core_status; 0 for 0.
int exit_status_for_core_status(unsigned int status);

}  // namespace nelko::cli

#endif
