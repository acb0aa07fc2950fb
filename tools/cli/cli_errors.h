// The ways a command of stream-layout fails, each with its own exit status (exit_status.h).
#ifndef STREAM_LAYOUT_CLI_CLI_ERRORS_H
#define STREAM_LAYOUT_CLI_CLI_ERRORS_H

#include <stdexcept>
#include <string>
#include <string_view>

namespace nelko::cli {

// Text from the user or a file as it appears in a message: at most `max` bytes of it, then how
// long it was, so that a megabyte-long name does not fill the terminal.
inline std::string shorten(std::string_view text, std::size_t max = 60) {
  if (text.size() <= max) return std::string(text);
  return std::string(text.substr(0, max)) + "...(" + std::to_string(text.size()) + " bytes)";
}

// The command line is wrong: unknown command or option, missing or extra arguments, a value
// that is not a number or out of range. The message says which argument and why.
// `topic` is the command whose help the message should point to ("" for the overview).
class UsageError : public std::runtime_error {
 public:
  explicit UsageError(std::string const& message, std::string topic = "")
      : std::runtime_error(message), topic_(std::move(topic)) {}
  std::string const& topic() const { return topic_; }

 private:
  std::string topic_;
};

// A layout file cannot be read or is not a valid layout. The message starts with the file name.
class InputFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An output file (the SVG) cannot be written.
class OutputFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The library or the target answered a request with a non-zero nelko_core_status.
class StatusError : public std::runtime_error {
 public:
  StatusError(unsigned int status, std::string const& message)
      : std::runtime_error(message), status_(status) {}
  unsigned int status() const { return status_; }

 private:
  unsigned int status_;
};

}  // namespace nelko::cli

#endif
