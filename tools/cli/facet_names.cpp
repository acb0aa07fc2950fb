#include "facet_names.h"

#include <array>
#include <cctype>

namespace nelko::cli {
namespace {

constexpr char kPrefix[] = "kStreamLayoutFacet";
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::array<char const*, 7> kFirstNames = {"FullFrame",    "CubeFaceFront", "CubeFaceBack",
                                                    "CubeFaceLeft", "CubeFaceRight", "CubeFaceUp",
                                                    "CubeFaceDown"};
// The numbering of the public header: grid cell (x, y) is 7 + x + 4 * y, the two projection
// families take 16 values each from 48 and 64, and Metadata is 80.
constexpr std::uint32_t kFirstGrid = 7;
constexpr std::uint32_t kFirstEquirect = 48;
constexpr std::uint32_t kFirstImmersive = 64;
constexpr std::uint32_t kMetadata = 80;

std::string lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

char const kFacetNameSummary[] =
    "FullFrame, CubeFaceFront|Back|Left|Right|Up|Down, GridXY00..GridXY33 (column, row), "
    "Equirect0..EquirectF, Immersive0..ImmersiveF, Metadata";

std::optional<std::string> facet_name(std::uint32_t value) {
  if (value < kFirstNames.size()) return std::string(kFirstNames[value]);
  if (value >= kFirstGrid && value < kFirstGrid + 16) {
    std::uint32_t cell = value - kFirstGrid;
    return "GridXY" + std::to_string(cell % 4) + std::to_string(cell / 4);
  }
  if (value >= kFirstEquirect && value < kFirstEquirect + 16)
    return std::string("Equirect") + kHexDigits[value - kFirstEquirect];
  if (value >= kFirstImmersive && value < kFirstImmersive + 16)
    return std::string("Immersive") + kHexDigits[value - kFirstImmersive];
  if (value == kMetadata) return std::string("Metadata");
  return std::nullopt;
}

std::optional<std::uint32_t> facet_value(std::string const& name) {
  std::string wanted = lowercase(name);
  std::string prefix = lowercase(kPrefix);
  if (wanted.compare(0, prefix.size(), prefix) == 0) wanted.erase(0, prefix.size());
  // 81 candidates: a search through the names is simpler than parsing the families again.
  for (std::uint32_t value = 0; value <= kMetadata; ++value) {
    std::optional<std::string> candidate = facet_name(value);
    if (candidate && lowercase(*candidate) == wanted) return value;
  }
  return std::nullopt;
}

std::string facet_label(std::uint32_t value) {
  std::optional<std::string> name = facet_name(value);
  return name ? *name : "facet " + std::to_string(value);
}

}  // namespace nelko::cli
