// stream-layout: command-line client of the stream_layout service. See help_text("") for the
// commands and exit_status.h for the exit statuses.
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "cli_errors.h"
#include "command_line.h"
#include "commands.h"
#include "exit_status.h"

using namespace nelko::cli;

namespace {

int fail(int exit_status, std::string const& message) {
  std::cerr << "stream-layout: " << message << "\n";
  return exit_status;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  // The program's own version; the command "version" asks the target for its interface version.
  auto const options_end = std::find(args.begin(), args.end(), "--");
  if (std::find(args.begin(), options_end, "--version") != options_end) {
    std::cout << "stream-layout " NELKO_PROJECT_VERSION "\n";
    return kExitSuccess;
  }
  try {
    run_command(parse_command_line(args), std::cout);
    std::cout.flush();
    if (!std::cout) return fail(kExitCannotWrite, "cannot write to standard output");
    return kExitSuccess;
  } catch (UsageError const& error) {
    std::string help = error.topic().empty() ? "--help" : error.topic() + " --help";
    return fail(kExitUsage, std::string(error.what()) + "\nTry 'stream-layout " + help + "'.");
  } catch (InputFileError const& error) {
    return fail(kExitBadInputFile, error.what());
  } catch (OutputFileError const& error) {
    return fail(kExitCannotWrite, error.what());
  } catch (StatusError const& error) {
    return fail(exit_status_for_core_status(error.status()), error.what());
  } catch (std::exception const& error) {
    return fail(kExitInternalError, std::string("internal error: ") + error.what());
  }
}
