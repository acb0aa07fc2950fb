// Names of the StreamLayoutFacet values as layout files and pictures show them: the enumerator
// without its kStreamLayoutFacet prefix ("FullFrame", "CubeFaceFront", "GridXY21", "EquirectA").
#ifndef STREAM_LAYOUT_CLI_FACET_NAMES_H
#define STREAM_LAYOUT_CLI_FACET_NAMES_H

#include <cstdint>
#include <optional>
#include <string>

namespace nelko::cli {

// The short name of a facet value; nothing for values that are not facets (23..47, above 80).
std::optional<std::string> facet_name(std::uint32_t value);

// The value of a facet name. Case does not matter and the "kStreamLayoutFacet" prefix may be
// given; nothing for an unknown name.
std::optional<std::uint32_t> facet_value(std::string const& name);

// The name, or "facet N" for a value without one, for labels and messages.
std::string facet_label(std::uint32_t value);

// One line listing the valid names, for error messages and help.
extern char const kFacetNameSummary[];

}  // namespace nelko::cli

#endif
