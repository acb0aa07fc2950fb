// Strict conversions of command-line texts to numbers: the whole text must be the number, with
// no sign where none is allowed, no blanks and no overflow. Each throws UsageError naming `what`
// (for example "STREAM" or "--pan").
#ifndef STREAM_LAYOUT_CLI_NUMBER_PARSING_H
#define STREAM_LAYOUT_CLI_NUMBER_PARSING_H

#include <cstdint>
#include <optional>
#include <string>

namespace nelko::cli {

// A decimal whole number 0..max.
std::uint32_t parse_unsigned(std::string const& text, std::string const& what,
                             std::uint32_t max = UINT32_MAX);

// A finite decimal number ("12", "-3.5", "1e3"); no "nan", "inf" or hexadecimal.
double parse_real(std::string const& text, std::string const& what);

// parse_real, or NaN or an infinity written as "nan", "inf", "infinity", "-inf" or "-infinity"
// (any letter case): ROI values, which a target may hold and hand back whatever they are.
double parse_any_real(std::string const& text, std::string const& what);

// NaN or an infinity written as above; nothing for any other text.
std::optional<double> parse_non_finite(std::string const& text);

// A finite decimal number min..max.
double parse_real_in_range(std::string const& text, std::string const& what, double min,
                           double max);

}  // namespace nelko::cli

#endif
