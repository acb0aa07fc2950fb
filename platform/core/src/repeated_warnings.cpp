#include "repeated_warnings.h"

#include <cstdarg>
#include <cstdio>
#include <exception>
#include <vector>

#include "nelko_core_logging.h"

namespace nelko::core {
namespace {

constexpr std::string_view kOtherCauses = "(other causes)";

std::string formatted(char const* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (size <= 0) return {};
  std::string text(static_cast<std::size_t>(size) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.pop_back();
  return text;
}

}  // namespace

RepeatedWarnings::~RepeatedWarnings() {
  for (auto const& entry : runs_) end(entry.second);
}

void RepeatedWarnings::log(nelko_core_log_priority priority, std::string_view cause,
                           char const* format, ...) {
  auto const now = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  std::string_view key = cause;
  auto found = runs_.find(key);
  if (found == runs_.end() && runs_.size() >= kMaxCauses - 1) {
    key = kOtherCauses;
    found = runs_.find(key);
  }
  if (found != runs_.end()) {
    found->second.last = now;
    ++found->second.repeats;
    return;
  }
  va_list args;
  va_start(args, format);
  try {
    std::string line = formatted(format, args);
    nelko_core_logging_log(log_, priority, "%s", line.c_str());
    runs_.emplace(std::string(key), Run{priority, std::move(line), now, 0});
  } catch (std::exception const&) {
    // Out of memory: the line is lost, nothing else.
  }
  va_end(args);
}

bool RepeatedWarnings::sweep(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = runs_.begin(); it != runs_.end();) {
    if (now - it->second.last < kQuietPeriod) {
      ++it;
      continue;
    }
    end(it->second);
    it = runs_.erase(it);
  }
  return runs_.empty();
}

void RepeatedWarnings::end(Run const& run) {
  if (run.repeats == 0) return;
  nelko_core_logging_log(log_, run.priority, "%zu more like this: %s", run.repeats,
                         run.first_line.c_str());
}

}  // namespace nelko::core
