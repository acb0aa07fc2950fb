#include "layout_svg.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "child_process.h"
#include "facet_names.h"

namespace stream_layout_cli {
namespace {

std::size_t Count(std::string const& text, std::string const& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++count;
  return count;
}

// The y of each text element whose content is exactly `content`, in document order.
std::vector<double> LabelYs(std::string const& svg, std::string const& content) {
  std::vector<double> ys;
  std::regex text("<text x=\"[-0-9.]+\" y=\"([-0-9.]+)\"[^>]*>" + content + "</text>");
  for (auto m = std::sregex_iterator(svg.begin(), svg.end(), text); m != std::sregex_iterator();
       ++m)
    ys.push_back(std::stod((*m)[1]));
  return ys;
}

Layout CubeFacesFromOneSource() {
  Layout layout;
  layout.stream = 1;
  for (std::uint32_t face = 0; face < 6; ++face) {
    layout.placements.push_back(
        {1 + face, {0, 0, 100000, 100000}, {face % 3 * 33333, face / 3 * 50000, 33333, 50000}});
  }
  return layout;
}

TEST(LayoutSvg, LabelsEveryPlacementInBothFramesAndTheLegend) {
  Layout layout = CubeFacesFromOneSource();
  std::string svg = RenderLayoutSvg(layout, "Cube");
  for (std::size_t i = 0; i < layout.placements.size(); ++i) {
    std::string label = "#" + std::to_string(i) + " " + FacetLabel(layout.placements[i].facet);
    EXPECT_EQ(Count(svg, ">" + label + "</text>"), 3u) << label;
  }
  EXPECT_NE(svg.find(">Stream 1</text>"), std::string::npos);
  EXPECT_NE(svg.find(">50%</text>"), std::string::npos);  // axis ticks
  EXPECT_NE(svg.find("x 33.333\u201366.666 %, y 0\u201350 %"), std::string::npos);
}

TEST(LayoutSvg, LabelsOfEqualSourcesStackInIndexOrder) {
  std::string svg = RenderLayoutSvg(CubeFacesFromOneSource(), "Cube");
  double previous = -1;
  for (std::uint32_t i = 0; i < 6; ++i) {
    std::vector<double> ys = LabelYs(svg, "#" + std::to_string(i) + " " + FacetLabel(1 + i));
    ASSERT_EQ(ys.size(), 3u);
    EXPECT_GT(ys[0], previous) << i;  // the first is the source frame's
    previous = ys[0];
  }
}

TEST(LayoutSvg, ShrinksLabelsToFitSmallRectangles) {
  Layout layout;
  layout.placements.push_back({80, {0, 0, 1000, 1000}, {10000, 0, 40000, 40000}});
  std::string svg = RenderLayoutSvg(layout, "Small");
  EXPECT_EQ(LabelYs(svg, "#0").size(), 1u);           // a 1 % square: the number alone
  EXPECT_EQ(LabelYs(svg, "#0 Metadata").size(), 2u);  // the 40 % square and the legend
}

// xmllint is the judge of well-formedness where it is installed; without it only the basic
// escaping is checked.
TEST(LayoutSvg, IsWellFormedWhateverTheInput) {
  Layout odd;
  odd.stream = 4294967295u;
  // Values a target could send that no layout file may hold: they must not break the picture.
  odd.placements.push_back({30, {4294967295u, 0, 4294967295u, 0}, {0, 0, 0, 0}});
  Layout many;
  for (std::uint32_t i = 0; i < 40; ++i)
    many.placements.push_back({7 + i % 16, {i * 2000, i * 2000, 20000, 20000}, {0, 0, 5000, 5000}});
  struct Case {
    Layout layout;
    std::string title;
  };
  std::vector<Case> const cases = {
      {Layout{}, "empty & <odd> \"title\""},
      {odd, std::string("bad \xC3\x28 \xED\xA0\x80 \xF4\x90\x80\x80 \x01 bytes")},
      {many, "forty"},
      {CubeFacesFromOneSource(), "Cube \u2013 faces"}};
  cli_test::TempDir dir;
  char const* xmllint = std::getenv("XMLLINT");
#ifdef XMLLINT_PROGRAM
  if (xmllint == nullptr) xmllint = XMLLINT_PROGRAM;
#endif
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::string svg = RenderLayoutSvg(cases[i].layout, cases[i].title);
    EXPECT_EQ(svg.find("<odd>"), std::string::npos);
    EXPECT_EQ(svg.find('\x01'), std::string::npos);
    if (xmllint == nullptr) continue;
    std::string file = dir.Write("case" + std::to_string(i) + ".svg", svg);
    cli_test::RunResult lint = cli_test::Run({xmllint, "--noout", file}, dir.path());
    EXPECT_EQ(lint.exit_status, 0) << cases[i].title << "\n" << lint.err;
  }
  EXPECT_NE(RenderLayoutSvg(Layout{}, "t").find("no placements"), std::string::npos);
}

TEST(LayoutSvg, PercentTextKeepsOnlyTheDecimalsNeeded) {
  EXPECT_EQ(PercentText(0), "0");
  EXPECT_EQ(PercentText(50000), "50");
  EXPECT_EQ(PercentText(33333), "33.333");
  EXPECT_EQ(PercentText(12500), "12.5");
  EXPECT_EQ(PercentText(1), "0.001");
  EXPECT_EQ(PercentText(8589934590ull), "8589934.59");
}

}  // namespace
}  // namespace stream_layout_cli
