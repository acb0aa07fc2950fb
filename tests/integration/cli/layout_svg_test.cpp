#include "layout_svg.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "child_process.h"
#include "facet_names.h"

namespace nelko::cli {
namespace {

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
