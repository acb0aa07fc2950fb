// Carries out a parsed command line.
#ifndef STREAM_LAYOUT_CLI_COMMANDS_H
#define STREAM_LAYOUT_CLI_COMMANDS_H

#include <ostream>

#include "command_line.h"

namespace nelko::cli {

// Runs the command and writes its result to `out`. Failures are thrown as the exceptions of
// cli_errors.h; the exit status is then the caller's business.
void run_command(Invocation const& invocation, std::ostream& out);

}  // namespace nelko::cli

#endif
