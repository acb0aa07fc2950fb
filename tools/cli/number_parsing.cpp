#include "number_parsing.h"

#include <cerrno>
#include <cmath>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <sstream>

#include "cli_errors.h"

namespace nelko::cli {
namespace {

[[noreturn]] void refuse(std::string const& what, std::string const& text, std::string const& why) {
  throw UsageError(what + ": '" + shorten(text) + "' " + why);
}

}  // namespace

std::uint32_t parse_unsigned(std::string const& text, std::string const& what, std::uint32_t max) {
  if (text.empty()) refuse(what, text, "is empty, expected a whole number");
  if (text[0] == '-')
    refuse(what, text, "is negative, expected a whole number 0.." + std::to_string(max));
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') refuse(what, text, "is not a whole number");
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    // Stop before the 64-bit accumulator could wrap on a very long text.
    if (value > max) refuse(what, text, "is too large, the maximum is " + std::to_string(max));
  }
  return static_cast<std::uint32_t>(value);
}

std::optional<double> parse_non_finite(std::string const& text) {
  std::string lower;
  for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "nan") return std::numeric_limits<double>::quiet_NaN();
  if (lower == "inf" || lower == "infinity" || lower == "+inf" || lower == "+infinity")
    return std::numeric_limits<double>::infinity();
  if (lower == "-inf" || lower == "-infinity") return -std::numeric_limits<double>::infinity();
  return std::nullopt;
}

double parse_any_real(std::string const& text, std::string const& what) {
  if (std::optional<double> value = parse_non_finite(text)) return *value;
  return parse_real(text, what);
}

double parse_real(std::string const& text, std::string const& what) {
  // Only the characters of a decimal number: this refuses "nan", "inf", hexadecimal floats and
  // blanks, which strtod would accept. The program never calls setlocale, so strtod reads '.'
  // as the decimal point.
  if (text.empty()) refuse(what, text, "is empty, expected a number");
  if (text.find_first_not_of("0123456789+-.eE") != std::string::npos)
    refuse(what, text, "is not a number");
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) refuse(what, text, "is not a number");
  if ((errno == ERANGE && std::fabs(value) > 1.0) || !std::isfinite(value))
    refuse(what, text, "is out of range");
  return value;
}

double parse_real_in_range(std::string const& text, std::string const& what, double min,
                           double max) {
  double value = parse_real(text, what);
  if (value < min || value > max) {
    std::ostringstream range;
    range.imbue(std::locale::classic());
    range << "is out of range " << min << ".." << max;
    refuse(what, text, range.str());
  }
  return value;
}

}  // namespace nelko::cli
