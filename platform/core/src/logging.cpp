#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "nelko_core_logging.h"

namespace {

constexpr int kPriorityCount = 10;
constexpr char const* kPriorityNames[kPriorityCount] = {
    "EMERG", "ALERT", "CRIT", "ERR", "WARNING", "NOTICE", "INFO", "DEBUG", "AUDIT", "NOTSET"};
// Distinguishes a log handle from another handle passed by mistake (scripts pass any pointer).
constexpr unsigned kLoggerMagic = 0x4c4f4721;

int threshold_from_environment() {
  char const* text = std::getenv("NELKO_LOG_LEVEL");
  if (text == nullptr || *text == '\0') return NELKO_CORE_LOG_PRIORITY_INFO;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (*end == '\0') {
    return value >= 0 && value < kPriorityCount ? static_cast<int>(value)
                                                : NELKO_CORE_LOG_PRIORITY_INFO;
  }
  for (int p = 0; p < kPriorityCount; ++p) {
    if (strcasecmp(text, kPriorityNames[p]) == 0) return p;
  }
  return NELKO_CORE_LOG_PRIORITY_INFO;
}

// Log texts carry what peers sent (names, identifiers, reasons) and end up on terminals and in
// line-based log stores, so a line must show exactly one line and nothing a terminal acts on.
// Printable ASCII and well-formed UTF-8 of printable characters stay as they are; control
// bytes (C0, DEL and the C1 range, which some terminals obey too), bytes that are not part of
// well-formed UTF-8 and the backslash are written as \xNN, which keeps the escaping unambiguous.

// The length of the UTF-8 sequence of a printable character that starts `text`, or 0.
std::size_t printable_sequence(unsigned char const* text, std::size_t size) {
  unsigned char const lead = text[0];
  std::size_t length;
  unsigned char low = 0x80, high = 0xbf;  // the range of the second byte
  if (lead >= 0x20 && lead < 0x7f) return lead == '\\' ? 0 : 1;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    if (lead == 0xc2) low = 0xa0;  // U+0080..U+009F are the C1 controls
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;   // overlong
    if (lead == 0xed) high = 0x9f;  // surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;   // overlong
    if (lead == 0xf4) high = 0x8f;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (size < length || text[1] < low || text[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (text[i] < 0x80 || text[i] > 0xbf) return 0;
  }
  return length;
}

bool needs_escaping(char const* text, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte >= 0x7f || byte == '\\') return true;
  }
  return false;
}

void append_escaped(std::string& out, char const* text, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  auto const* bytes = reinterpret_cast<unsigned char const*>(text);
  for (std::size_t i = 0; i < size;) {
    std::size_t length = printable_sequence(bytes + i, size - i);
    if (length > 0) {
      out.append(text + i, length);
      i += length;
      continue;
    }
    char const escaped[] = {'\\', 'x', kDigits[bytes[i] >> 4], kDigits[bytes[i] & 0xf]};
    out.append(escaped, sizeof escaped);
    ++i;
  }
}

std::string escaped(char const* text) {
  std::string out;
  append_escaped(out, text, std::strlen(text));
  return out;
}

struct Logger {
  explicit Logger(char const* name)
      : ident(escaped(name)), threshold(threshold_from_environment()) {}
  unsigned magic = kLoggerMagic;
  std::string ident;
  int threshold;
};

// Never destroyed: threads may still log while the process exits.
Logger& default_logger() {
  static Logger* logger = new Logger("nelko");
  return *logger;
}

Logger* to_logger(void* handle) {
  if (handle == nullptr) return &default_logger();
  auto* logger = static_cast<Logger*>(handle);
  return logger->magic == kLoggerMagic ? logger : nullptr;
}

bool valid_priority(nelko_core_log_priority priority) {
  return static_cast<int>(priority) >= 0 && static_cast<int>(priority) < kPriorityCount;
}

void write_all(char const* data, std::size_t size) {
  while (size > 0) {
    ssize_t written = ::write(STDERR_FILENO, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

// Formats prefix and message into one buffer (on the stack for ordinary lengths) so that the
// line leaves in one write(2); a message that needs escaping is escaped into a second one.
void write_line(Logger const& logger, int priority, char const* format, va_list args) {
  char stack_buffer[1024];
  int prefix =
      std::snprintf(stack_buffer, sizeof stack_buffer, "%s[%ld]: %s: ", logger.ident.c_str(),
                    static_cast<long>(::getpid()), kPriorityNames[priority]);
  if (prefix < 0) return;
  va_list copy;
  va_copy(copy, args);
  std::size_t offset = static_cast<std::size_t>(prefix) < sizeof stack_buffer
                           ? static_cast<std::size_t>(prefix)
                           : sizeof stack_buffer - 1;
  int message = std::vsnprintf(stack_buffer + offset, sizeof stack_buffer - offset, format, copy);
  va_end(copy);
  if (message < 0) return;
  std::size_t line = static_cast<std::size_t>(prefix) + static_cast<std::size_t>(message) + 1;
  char* text = stack_buffer;
  std::unique_ptr<char[]> heap;
  if (line >= sizeof stack_buffer) {
    heap.reset(new (std::nothrow) char[line + 1]);
    if (!heap) return;
    std::snprintf(heap.get(), line + 1, "%s[%ld]: %s: ", logger.ident.c_str(),
                  static_cast<long>(::getpid()), kPriorityNames[priority]);
    std::vsnprintf(heap.get() + prefix, line + 1 - static_cast<std::size_t>(prefix), format, args);
    text = heap.get();
  }
  auto const message_size = static_cast<std::size_t>(message);
  if (!needs_escaping(text + prefix, message_size)) {
    text[line - 1] = '\n';
    write_all(text, line);
    return;
  }
  try {
    std::string escaped_line(text, static_cast<std::size_t>(prefix));
    append_escaped(escaped_line, text + prefix, message_size);
    escaped_line.push_back('\n');
    write_all(escaped_line.data(), escaped_line.size());
  } catch (std::bad_alloc const&) {
    // The line is lost; logging never fails its caller.
  }
}

}  // namespace

extern "C" {

nelko_core_status nelko_core_logging_init(char const* ident, void** log_handle) {
  if (log_handle == nullptr) return NELKO_CORE_STATUS_INVALID_PARAMS;
  *log_handle = nullptr;
  try {
    *log_handle = new Logger(ident != nullptr ? ident : "nelko");
  } catch (...) {
    return NELKO_CORE_STATUS_ALLOC_FAILED;
  }
  return NELKO_CORE_STATUS_NO_ERROR;
}

nelko_core_status nelko_core_logging_deinit(void* log_handle) {
  if (log_handle == nullptr) return NELKO_CORE_STATUS_NO_ERROR;
  Logger* logger = to_logger(log_handle);
  if (logger == nullptr) return NELKO_CORE_STATUS_INVALID_PARAMS;
  logger->magic = 0;
  delete logger;
  return NELKO_CORE_STATUS_NO_ERROR;
}

nelko_core_status nelko_core_logging_is_priority_active(void* log_handle,
                                                        nelko_core_log_priority priority,
                                                        unsigned int* active) {
  Logger* logger = to_logger(log_handle);
  if (logger == nullptr || active == nullptr || !valid_priority(priority)) {
    return NELKO_CORE_STATUS_INVALID_PARAMS;
  }
  *active = static_cast<int>(priority) <= logger->threshold ? 1 : 0;
  return NELKO_CORE_STATUS_NO_ERROR;
}

nelko_core_status nelko_core_logging_log(void* log_handle, nelko_core_log_priority priority,
                                         char const* format, ...) {
  va_list args;
  va_start(args, format);
  nelko_core_status status = nelko_core_logging_logv(log_handle, priority, format, args);
  va_end(args);
  return status;
}

nelko_core_status nelko_core_logging_logv(void* log_handle, nelko_core_log_priority priority,
                                          char const* format, va_list args) {
  Logger* logger = to_logger(log_handle);
  if (logger == nullptr || format == nullptr || !valid_priority(priority)) {
    return NELKO_CORE_STATUS_INVALID_PARAMS;
  }
  if (static_cast<int>(priority) > logger->threshold) return NELKO_CORE_STATUS_NO_ERROR;
  write_line(*logger, static_cast<int>(priority), format, args);
  return NELKO_CORE_STATUS_NO_ERROR;
}

}  // extern "C"
