// The parts of stream-layout that need no target: its command line, layout files, facet names and
// the SVG picture of a layout.
#include <gtest/gtest.h>

#include <cstdlib>

#include "child_process.h"
#include "cli_errors.h"
#include "command_line.h"
#include "facet_names.h"
#include "layout_file.h"
#include "layout_geometry.h"
#include "layout_svg.h"

namespace nelko::cli {
namespace {

// The forms that are easy to get wrong; every command's plain form runs in cli_program_test.
TEST(CommandLine, ReadsTheLessObviousForms) {
  Invocation v = parse_command_line({"layout", "render", "--from", "-", "--svg=out.svg"});
  EXPECT_EQ(v.command, Command::kLayoutRender);
  EXPECT_EQ(v.layout_file, "-");
  EXPECT_EQ(v.svg_file, "out.svg");

  // Angles may be negative, as the next word or after '='.
  v = parse_command_line(
      {"roi", "set", "1", "--pan", "-10", "--tilt=-2.5", "--roll", "0", "--vfov", "1e1"});
  EXPECT_DOUBLE_EQ(v.pan, -10);
  EXPECT_DOUBLE_EQ(v.tilt, -2.5);
  EXPECT_EQ(parse_command_line({"layout", "get", "4294967295"}).stream, 4294967295u);
  // A ROI set by its number as well as by its name.
  EXPECT_EQ(parse_command_line({"roi", "get", "0", "--set", "1"}).roi_set, 1u);
  EXPECT_EQ(parse_command_line({"roi", "get", "0", "--set=0"}).roi_set, 0u);

  // Global options before or after the command.
  Invocation before =
      parse_command_line({"--target", "cam1", "--timeout", "250", "--json", "roi", "count"});
  Invocation after =
      parse_command_line({"roi", "count", "--json", "--timeout=250", "--target=cam1"});
  for (Invocation const& g : {before, after}) {
    EXPECT_EQ(g.target, "cam1");
    EXPECT_EQ(g.timeout_ms, 250);
    EXPECT_TRUE(g.json);
  }
}

// Each bad command line is refused with a message that names what is wrong.
TEST(CommandLine, RefusesBadCommandLines) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  std::vector<Case> const cases = {
      {{}, "no command"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"layout", "get"}, "STREAM is missing"},
      {{"layout", "get", "4294967296"}, "too large"},
      {{"layout", "render", "0"}, "'--svg' is required"},
      {{"layout", "render", "0", "--from", "f", "--svg", "a.svg"}, "not both"},
      {{"roi", "set", "0", "--pan", "1", "--pan", "2"}, "more than once"},
      {{"--verbose", "version"}, "unknown option '--verbose'"},
      {{"--target", "cam/1", "roi", "count"}, "'cam/1' is not a target name"},
      {{"roi", "set", "0", "--pan", "0x10", "--tilt", "1", "--roll", "1", "--vfov", "1"},
       "not a number"},
  };
  for (Case const& c : cases) {
    std::string joined;
    for (std::string const& arg : c.args) joined += " " + arg;
    try {
      parse_command_line(c.args);
      ADD_FAILURE() << "accepted:" << joined;
    } catch (UsageError const& error) {
      EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos)
          << joined << " -> " << error.what();
    }
  }
}

Layout two_placements() {
  Layout layout;
  layout.stream = 2;
  layout.placements.push_back({1, {0, 0, 50000, 100000}, {0, 0, 50000, 50000}});
  layout.placements.push_back({80, {50000, 0, 50000, 100000}, {99999, 99999, 1, 1}});
  return layout;
}

// What reading a layout with `read` is refused with, or "accepted".
template <class Read>
std::string error_of(Read read) {
  try {
    read();
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
      {with_facet("7.5"), "placements[0].facet: 7.5 is not a whole number"},
      {"{\"placements\": [], \"placements\": []}", "placements: member given twice"},
      {with_source("[0, 0, 1, 1]"), "placements[0].source: must be an object"},
      {with_source("{\"x\": \"0\", \"y\": 0, \"width\": 1, \"height\": 1}"),
       "source.x: must be a whole number 0..100000, not a string"},
      {with_facet("\"" + std::string(100000, 'Q') + "\""),
       "unknown facet \"" + std::string(60, 'Q') + "...(100000 bytes)\"; known"},
      {"[]\n" + std::string(1, '\0') + "[1]", "f.json:2:1: a NUL byte"},
  };
  for (Case const& c : cases) {
    std::string message = error_of([&] { parse_layout_text(c.text, "f.json"); });
    EXPECT_NE(message.find(c.message), std::string::npos)
        << c.text.substr(0, 120) << "\n -> " << message;
    EXPECT_EQ(message.rfind("f.json", 0), 0u) << message;
  }
}

TEST(LayoutFile, ReadsFilesAndRefusesHugeOnes) {
  nelko::test::ScratchDirectory dir;
  std::string good = dir.write("good.json", layout_to_json(two_placements()));
  EXPECT_EQ(read_layout_file(good).placements, two_placements().placements);
  std::string big = dir.write("big.json", std::string(kMaxLayoutFileBytes + 1, ' '));
  EXPECT_NE(error_of([&] { read_layout_file(big); }).find("larger than"), std::string::npos);

  // The most placements a file may hold, and one more.
  Layout most;
  most.placements.assign(kMaxPlacements, two_placements().placements[0]);
  EXPECT_EQ(parse_layout_text(layout_to_json(most), "most.json").placements.size(), kMaxPlacements);
  most.placements.push_back(most.placements[0]);
  std::string const refused =
      error_of([&] { parse_layout_text(layout_to_json(most), "more.json"); });
  EXPECT_NE(refused.find("1001 placements, at most 1000 are allowed"), std::string::npos)
      << refused;
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

Layout cube_faces_from_one_source() {
  Layout layout;
  layout.stream = 1;
  for (std::uint32_t face = 0; face < 6; ++face) {
    layout.placements.push_back(
        {1 + face, {0, 0, 100000, 100000}, {face % 3 * 33333, face / 3 * 50000, 33333, 50000}});
  }
  return layout;
}

// xmllint is the judge of well-formedness where it is installed; without it only the basic
// escaping is checked.
TEST(LayoutSvg, IsWellFormedWhateverTheInput) {
  Layout odd;
  odd.stream = 4294967295u;
  // Values a target could send that no layout file may hold: they must not break the picture.
  odd.placements.push_back({30, {4294967295u, 0, 4294967295u, 0}, {0, 0, 0, 0}});
  struct Case {
    Layout layout;
    std::string title;
  };
  std::vector<Case> const cases = {
      {Layout{}, "empty & <odd> \"title\""},
      {odd, std::string("bad \xC3\x28 \xED\xA0\x80 \xF4\x90\x80\x80 \x01 bytes")},
      {cube_faces_from_one_source(), "Cube \u2013 faces"}};
  nelko::test::ScratchDirectory dir;
  char const* xmllint = std::getenv("XMLLINT");
#ifdef XMLLINT_PROGRAM
  if (xmllint == nullptr) xmllint = XMLLINT_PROGRAM;
#endif
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::string svg = render_layout_svg(cases[i].layout, cases[i].title);
    EXPECT_EQ(svg.find("<odd>"), std::string::npos);
    EXPECT_EQ(svg.find('\x01'), std::string::npos);
    if (xmllint == nullptr) continue;
    std::string file = dir.write("case" + std::to_string(i) + ".svg", svg);
    nelko::test::RunResult lint = nelko::test::run({xmllint, "--noout", file}, dir.path());
    EXPECT_EQ(lint.exit_status, 0) << cases[i].title << "\n" << lint.err;
  }
  EXPECT_NE(render_layout_svg(Layout{}, "t").find("no placements"), std::string::npos);
}

// Source rectangles lie in their facet's image: one frame per facet, each placement's source in
// its facet's frame; what is cut at an edge is drawn and listed.
TEST(LayoutSvg, EachFacetHasItsFrameAndCutsAreShown) {
  Layout layout;
  layout.placements = {{0, {0, 0, 100000, 100000}, {0, 0, 100000, 100000}},
                       {13, {70000, 0, 60000, 500}, {99500, 0, 500, 100000}},
                       {0, {0, 0, 50000, 50000}, {0, 99000, 500, 1000}}};
  std::string const svg = render_layout_svg(layout, "t");
  auto count = [&svg](std::string const& text) {
    std::size_t n = 0;
    for (std::size_t at = svg.find(text); at != std::string::npos; at = svg.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count(">Image of FullFrame</text>"), 1u);
  EXPECT_EQ(count(">Image of GridXY21</text>"), 1u);
  EXPECT_EQ(count(">Notes</text>"), 1u);
  EXPECT_EQ(count("x + width = 130000 reaches past the right edge (100000) and is cut there"), 1u);
  EXPECT_EQ(count("stroke=\"#d62728\" stroke-width=\"3\""), 1u);  // the cut edge
  EXPECT_EQ(render_layout_svg(cube_faces_from_one_source(), "t").find(">Notes</text>"),
            std::string::npos);
}

}  // namespace
}  // namespace nelko::cli
