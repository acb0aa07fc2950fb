#include "layout_svg.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "child_process.h"
#include "facet_names.h"

namespace stream_layout_cli {
namespace {

Layout CubeFacesFromOneSource() {
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
      {CubeFacesFromOneSource(), "Cube \u2013 faces"}};
  nelko::test::ScratchDirectory dir;
  char const* xmllint = std::getenv("XMLLINT");
#ifdef XMLLINT_PROGRAM
  if (xmllint == nullptr) xmllint = XMLLINT_PROGRAM;
#endif
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::string svg = RenderLayoutSvg(cases[i].layout, cases[i].title);
    EXPECT_EQ(svg.find("<odd>"), std::string::npos);
    EXPECT_EQ(svg.find('\x01'), std::string::npos);
    if (xmllint == nullptr) continue;
    std::string file = dir.write("case" + std::to_string(i) + ".svg", svg);
    nelko::test::RunResult lint = nelko::test::run({xmllint, "--noout", file}, dir.path());
    EXPECT_EQ(lint.exit_status, 0) << cases[i].title << "\n" << lint.err;
  }
  EXPECT_NE(RenderLayoutSvg(Layout{}, "t").find("no placements"), std::string::npos);
}

}  // namespace
}  // namespace stream_layout_cli
