// The command line of stream-layout-target and its --help text.
#ifndef STREAM_LAYOUT_TARGET_TARGET_OPTIONS_H
#define STREAM_LAYOUT_TARGET_TARGET_OPTIONS_H

#include <string>

#include "fault_plan.h"
#include "stream_layout_service.h"

namespace nelko::target {

struct TargetOptions {
  std::string name = "stream_layout";
  ServiceConfig service;
  unsigned int delay_ms = 0;
  FaultPlan faults;
  bool trace = false;  // every request and response on standard error
};

struct ParsedCommandLine {
  enum class Action { kRun, kHelp, kVersion, kUsageError } action = Action::kRun;
  TargetOptions options;
  std::string error;  // what was wrong, for kUsageError
};

ParsedCommandLine parse_command_line(int argc, char* const argv[]);

// The short synopsis printed with a usage error, and the full --help text.
std::string usage_text(std::string const& program);
std::string help_text(std::string const& program);

}  // namespace nelko::target

#endif
