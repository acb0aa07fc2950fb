#include "layout_file.h"

#include <gtest/gtest.h>

#include "child_process.h"
#include "cli_errors.h"
#include "facet_names.h"
#include "layout_geometry.h"

namespace nelko::cli {
namespace {

Layout two_placements() {
  Layout layout;
  layout.stream = 2;
  layout.placements.push_back({1, {0, 0, 50000, 100000}, {0, 0, 50000, 50000}});
  layout.placements.push_back({80, {50000, 0, 50000, 100000}, {99999, 99999, 1, 1}});
  return layout;
}

std::string error_of(std::string const& text) {
  try {
    parse_layout_text(text, "f.json");
  } catch (InputFileError const& error) {
    return error.what();
  }
  return "accepted";
}

// What a service accepts (empty rectangles, rectangles past the edge) comes back through a file
// too, named by the remarks rather than refused.
Layout service_only_layout() {
  Layout layout;
  layout.placements.push_back({0, {60000, 0, 50000, 100000}, {0, 0, 0, 100000}});
  layout.placements.push_back({48, {0, 0, 100000, 100000}, {100000, 100000, 100000, 1}});
  return layout;
}

TEST(LayoutFile, WrittenLayoutsReadBackUnchanged) {
  for (Layout layout : {two_placements(), Layout{}, service_only_layout()}) {
    Layout read = parse_layout_text(layout_to_json(layout), "f.json");
    EXPECT_EQ(read.stream, layout.stream);
    EXPECT_EQ(read.placements, layout.placements);
  }
  EXPECT_TRUE(layout_remarks(two_placements()).empty());
  std::vector<std::string> const remarks = layout_remarks(service_only_layout());
  std::vector<std::string> const expected = {
      "placements[0].source: x + width = 110000 reaches past the right edge (100000) and is cut "
      "there",
      "placements[0].destination: the rectangle is empty (width or height 0) and shows nothing",
      "placements[1].destination: x + width = 200000 reaches past the right edge (100000) and is "
      "cut there",
      "placements[1].destination: y + height = 100001 reaches past the bottom edge (100000) and "
      "is cut there"};
  EXPECT_EQ(remarks, expected);
}

TEST(LayoutFile, AcceptsTheFriendlyForms) {
  // A bare array, the enumerator's prefix, a facet's number, a UTF-8 BOM and
  // whole numbers written with an exponent.
  Layout layout = parse_layout_text(
      "\xEF\xBB\xBF[{\"facet\": \"kStreamLayoutFacetGridXY21\", "
      "\"source\": {\"x\": 0, \"y\": 0, \"width\": 1e5, \"height\": 100000.0},"
      " \"destination\": {\"height\": 1, \"width\": 1, \"y\": 0, \"x\": 0}},"
      " {\"facet\": 64, \"source\": {\"x\": 0, \"y\": 0, \"width\": 1, \"height\": 1},"
      " \"destination\": {\"x\": 0, \"y\": 0, \"width\": 1, \"height\": 1}}]",
      "f.json");
  ASSERT_EQ(layout.placements.size(), 2u);
  EXPECT_EQ(layout.placements[0].facet, 13u);  // 7 + x + 4 * y
  EXPECT_EQ(layout.placements[0].source.width, 100000u);
  EXPECT_EQ(layout.placements[1].facet, 64u);
}

// Each bad file is refused with its name, where in it, and what is wrong.
TEST(LayoutFile, RefusesBadFilesSayingWhereAndWhy) {
  std::string const rect = "{\"x\": 0, \"y\": 0, \"width\": 1, \"height\": 1}";
  auto with_source = [&](std::string const& source) {
    return "[{\"facet\": \"FullFrame\", \"source\": " + source + ", \"destination\": " + rect +
           "}]";
  };
  auto with_facet = [&](std::string const& facet) {
    return "[{\"facet\": " + facet + ", \"source\": " + rect + ", \"destination\": " + rect + "}]";
  };
  struct Case {
    std::string text;
    std::string message;
  };
  std::vector<Case> const cases = {
      {"", "f.json: the file is empty"},
      {"{\"placements\": [", "f.json:1:17: not valid JSON"},
      {"{}", "missing member \"placements\""},
      {"{\"placements\": [], \"comment\": 1}", "comment: unknown member"},
      {"{\"stream\": -1, \"placements\": []}", "stream: -1 is negative"},
      {with_facet("\"CubeFront\""), "placements[0].facet: unknown facet \"CubeFront\"; known"},
      {with_facet("30"), "30 is not a facet value"},
      {with_source("[0, 0, 1, 1]"), "placements[0].source: must be an object"},
      {with_source("{\"x\": \"0\", \"y\": 0, \"width\": 1, \"height\": 1}"),
       "source.x: must be a whole number 0..100000, not a string"},
      {with_facet("\"" + std::string(100000, 'Q') + "\""),
       "unknown facet \"" + std::string(60, 'Q') + "...(100000 bytes)\"; known"},
      {"[]\n" + std::string(1, '\0') + "[1]", "f.json:2:1: a NUL byte"},
  };
  for (Case const& c : cases) {
    std::string message = error_of(c.text);
    EXPECT_NE(message.find(c.message), std::string::npos)
        << c.text.substr(0, 120) << "\n -> " << message;
    EXPECT_EQ(message.rfind("f.json", 0), 0u) << message;
  }
}

TEST(LayoutFile, ReadsFilesAndRefusesHugeOnes) {
  nelko::test::ScratchDirectory dir;
  std::string good = dir.write("good.json", layout_to_json(two_placements()));
  EXPECT_EQ(read_layout_file(good).placements, two_placements().placements);

  auto error_of = [](std::string const& path) {
    try {
      read_layout_file(path);
    } catch (InputFileError const& error) {
      return std::string(error.what());
    }
    return std::string("accepted");
  };
  std::string big = dir.write("big.json", std::string(kMaxLayoutFileBytes + 1, ' '));
  EXPECT_NE(error_of(big).find("larger than"), std::string::npos);
}

TEST(FacetNames, EveryFacetReadsBackFromItsName) {
  int named = 0;
  for (std::uint32_t value = 0; value < 100; ++value) {
    std::optional<std::string> name = facet_name(value);
    bool is_facet = value <= 22 || (value >= 48 && value <= 80);
    ASSERT_EQ(name.has_value(), is_facet) << value;
    if (!name) {
      EXPECT_EQ(facet_label(value), "facet " + std::to_string(value));
      continue;
    }
    ++named;
    EXPECT_EQ(facet_value(*name), value);
    EXPECT_EQ(facet_value("kStreamLayoutFacet" + *name), value);
  }
  EXPECT_EQ(named, 56);
}

}  // namespace
}  // namespace nelko::cli
