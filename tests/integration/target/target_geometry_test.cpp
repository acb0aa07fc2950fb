#include <gtest/gtest.h>

#include "target_harness.h"

namespace target_test {
namespace {

class TargetGeometry : public testing::Test {
 protected:
  void set_layout(unsigned int stream, std::vector<Placement> const& layout) {
    ASSERT_EQ(client_.status_of(set_layout_request(stream, layout)), 0);
  }

  std::string point(unsigned int stream, double x, double y) {
    return R"({"command":"Stream_point_to_pan_tilt","stream_index":)" + std::to_string(stream) +
           R"(,"x":)" + std::to_string(x) + R"(,"y":)" + std::to_string(y) + "}";
  }

  void expect_direction(unsigned int stream, double x, double y, double pan, double tilt) {
    SCOPED_TRACE(point(stream, x, y));
    rapidjson::Document const response = client_.call(point(stream, x, y));
    ASSERT_EQ(response["status"].GetDouble(), 0);
    EXPECT_NEAR(response["pan"].GetDouble(), pan, 1e-9);
    EXPECT_NEAR(response["tilt"].GetDouble(), tilt, 1e-9);
  }

  TargetProcess target_;  // first: it sets NELKO_IPC_DIR for the client
  TargetClient client_;
};

TEST_F(TargetGeometry, EveryFacetMapsPointsAwayFromItsCentreLinesAsDocumented) {
  struct Case {
    unsigned int facet;
    double u, v, pan, tilt;
  };
  double const corner_tilt = 35.264389682754654;  // atan(1 / sqrt(2)), a cube corner
  // (u, v) = (0.75, 0.25) on a cube face is the ray centre + right/2 + up/2, so a face whose
  // right or up vector points the wrong way shows in pan or tilt. Points off both centre lines
  // of every kind; the poles read as pan 0.
  double const side_tilt = 24.094842552110702;  // atan(0.5 / hypot(0.5, 1))
  double const updown_tilt = 54.735610317245346;  // atan(1 / hypot(0.5, 0.5))
  Case const cases[] = {
      {0, 0.25, 0.75, -90, -45},
      {0, 0.3, 0, 0, 90},
      {1, 0.75, 0.25, 26.565051177077994, side_tilt},
      {1, 1, 0, 45, corner_tilt},
      {2, 0.75, 0.25, -153.43494882292202, side_tilt},
      {3, 0.75, 0.25, -63.43494882292201, side_tilt},
      {4, 0.75, 0.25, 116.56505117707799, side_tilt},
      {5, 0.75, 0.25, 135, updown_tilt},
      {5, 0.5, 0, 180, 45},
      {5, 0.5, 0.5, 0, 90},
      {6, 0.75, 0.25, 45, -updown_tilt},
      {6, 0.5, 0, 0, -45},
      {6, 0.5, 1, 180, -45},
      {12, 0.75, 0.25, -22.5, 33.75},
      {22, 1, 1, 0, -90},
      {50, 0.25, 0.75, -129.375, -45},
      {64, 0.75, 0.25, 54.977093315058525, 39.31482403055957},
      {68, 0.25, 0.75, 35.02290668494148, -39.31482403055958},
      {64, 0.5, 1, 0, -90},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE("facet " + std::to_string(c.facet));
    set_layout(0, {{0, 0, 100000, 100000, c.facet, 0, 0, 100000, 100000}});
    expect_direction(0, c.u * 100000, c.v * 100000, c.pan, c.tilt);
  }
  // The corners of an immersive facet lie outside its image circle.
  set_layout(0, {{0, 0, 100000, 100000, 70, 0, 0, 100000, 100000}});
  EXPECT_EQ(client_.status_of(point(0, 0, 0)), 1);
  EXPECT_EQ(client_.status_of(point(0, 90000, 95000)), 1);
}

TEST_F(TargetGeometry, PointsFindTheTopmostPlacementAndItsSourceRectangle) {
  // A full frame under a right cube face (top-right quarter) and a metadata strip (bottom-left).
  set_layout(0, {{0, 0, 100000, 100000, 0, 0, 0, 100000, 100000},
                 {0, 0, 100000, 100000, 4, 50000, 0, 50000, 50000},
                 {0, 0, 100000, 100000, 80, 0, 50000, 25000, 50000}});
  expect_direction(0, 25000, 25000, -90, 45);
  expect_direction(0, 75000, 25000, 90, 0);
  expect_direction(0, 50000, 25000, 45, 0);  // on the shared edge the later placement wins
  expect_direction(0, 75000, 75000, 90, -45);
  EXPECT_EQ(client_.status_of(point(0, 10000, 75000)), 1);

  // The middle of the panorama (half its width and height), shown in the stream's left half.
  set_layout(1, {{25000, 25000, 50000, 50000, 0, 0, 0, 50000, 100000}});
  expect_direction(1, 0, 0, -90, 45);
  expect_direction(1, 50000, 100000, 90, -45);
  expect_direction(1, 25000, 50000, 0, 0);
  EXPECT_EQ(client_.status_of(point(1, 75000, 50000)), 1);

  set_layout(2, {});
  EXPECT_EQ(client_.status_of(point(2, 50000, 50000)), 1);
  EXPECT_EQ(client_.status_of(point(3, 100001, 0)), 1);
  EXPECT_EQ(client_.status_of(point(3, 0, -1)), 1);
  EXPECT_EQ(client_.status_of(point(4, 0, 0)), 1);
  EXPECT_EQ(client_.status_of(R"({"command":"Stream_point_to_pan_tilt","stream_index":3,"x":1})"),
            1);
}

}  // namespace
}  // namespace target_test
