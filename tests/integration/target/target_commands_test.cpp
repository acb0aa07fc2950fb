// stream-layout-target's commands, as raw JSON through the core's IPC: layouts, ROIs and points,
// and requests that are malformed or read on the target's fast path.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "target_harness.h"

namespace target_test {
namespace {

class TargetCommands : public testing::Test {
 protected:
  std::vector<Placement> layout_of(unsigned int stream) {
    rapidjson::Document const response = client_.call(
        R"({"command":"Get_stream_layout","stream_index":)" + std::to_string(stream) + "}");
    EXPECT_EQ(response["status"].GetDouble(), 0);
    std::vector<Placement> layout(response[kLayoutKeys[0]].Size());
    for (std::size_t key = 0; key < kLayoutKeys.size(); ++key) {
      auto const& list = response[kLayoutKeys[key]];
      EXPECT_EQ(list.Size(), layout.size()) << kLayoutKeys[key];
      for (rapidjson::SizeType i = 0; i < list.Size() && i < layout.size(); ++i) {
        layout[i][key] = static_cast<unsigned int>(list[i].GetDouble());
      }
    }
    return layout;
  }

  // Sets the ROI at `address` (its "roi_index" and "roi_set" members) to `angles` (members)
  // and reads it back.
  rapidjson::Document set_and_get(std::string const& address, std::string const& angles) {
    EXPECT_EQ(client_.status_of(R"({"command":"Set_roi",)" + address + "," + angles + "}"), 0)
        << angles;
    return client_.call(R"({"command":"Get_roi",)" + address + "}");
  }

  TargetProcess target_;  // first: it sets NELKO_IPC_DIR for the client
  TargetClient client_;
};

Placement const kFullFrame = {0, 0, 100000, 100000, 0, 0, 0, 100000, 100000};

// A refused request gets its status (1: bad values, 8: no such command), changes nothing and
// serving goes on: bad layouts and stream indices, ROI addresses outside the sets, a missing
// angle, and requests that are not JSON objects or nest too deep.
TEST_F(TargetCommands, BadRequestsAreRefusedWithTheirStatusAndChangeNothing) {
  std::string const good = set_layout_request(1, {{0, 0, 1, 1, 7, 0, 0, 1, 1}});
  std::vector<std::pair<std::string, int>> cases;
  std::pair<char const*, char const*> const edits[] = {
      {R"("destination_type":[7],)", ""},
      {"[7]", "[7,8]"},
      {"[7]", "[]"},
      {"[7]", "[23]"},
      {"[7]", "[81]"},
      {"[1]", "1"},
      {"[1]", "[100001]"},
      {"[1]", "[0.5]"},
      {"[1]", R"(["1"])"},
      {R"("stream_index":1)", R"("stream_index":4)"},
      {R"("stream_index":1)", R"("stream_index":"1")"},
      {R"("stream_index":1,)", ""},
  };
  for (auto const& [from, to] : edits) {
    cases.push_back({good, 1});
    cases.back().first.replace(good.find(from), std::string(from).size(), to);
  }
  for (std::string const address :
       {R"("roi_index":4,"roi_set":0)", R"("roi_index":0.5,"roi_set":0)",
        R"("roi_index":0,"roi_set":2)", R"("roi_index":0,"roi_set":3)", R"("roi_set":-1)",
        R"("roi_index":01,"roi_set":0)"}) {
    cases.push_back({R"({"command":"Get_roi",)" + address + "}", 1});
    cases.push_back(
        {R"({"command":"Set_roi",)" + address + R"(,"pan":1,"tilt":1,"roll":1,"vfov":1})", 1});
  }
  cases.push_back(
      {R"({"command":"Set_roi","roi_index":0,"roi_set":0,"pan":1,"tilt":1,"roll":1})", 1});
  for (char const* request :
       {R"({"command":"Get_Roi"})", R"({})", R"({"command":3})", R"({"stream_index":0})"}) {
    cases.push_back({request, 8});
  }
  std::string const deep = std::string(100000, '[') + std::string(100000, ']');
  for (std::string const request : {"not json", "[1,2]", R"({"command":)", "", deep.c_str(),
                                    R"({"command":"Get_stream_layout","stream_index":1e400})",
                                    R"({"command":"Get_stream_layout","stream_index":NaN})"}) {
    cases.push_back({request, 1});
  }
  for (auto const& [request, status] : cases) {
    EXPECT_EQ(client_.status_of(request), status) << request.substr(0, 80);
  }
  EXPECT_EQ(layout_of(1), std::vector<Placement>{kFullFrame});
  rapidjson::Document const untouched =
      client_.call(R"({"command":"Get_roi","roi_index":0,"roi_set":0})");
  EXPECT_EQ(untouched["pan"].GetDouble(), 0);
}

TEST_F(TargetCommands, RoisKeepExactValuesPerSetAndIndex) {
  EXPECT_EQ(client_.call(R"({"command":"Get_num_roi"})")["num"].GetDouble(), 4);
  rapidjson::Document const active =
      set_and_get(R"("roi_index":3,"roi_set":1)",
                  R"("pan":0.1,"tilt":-1e-300,"roll":1e300,"vfov":123.45678901234567)");
  EXPECT_EQ(active["pan"].GetDouble(), 0.1);
  EXPECT_EQ(active["tilt"].GetDouble(), -1e-300);
  EXPECT_EQ(active["roll"].GetDouble(), 1e300);
  EXPECT_EQ(active["vfov"].GetDouble(), 123.45678901234567);
  // Short numbers as clients write them, an integer minus zero being zero; spaces between the
  // members change nothing.
  rapidjson::Document const short_numbers =
      set_and_get(R"("roi_index":2,"roi_set":1)",
                  R"( "pan" : -0 , "tilt":-0.0,"roll":0.00000000000003,"vfov":1.2 )");
  EXPECT_FALSE(std::signbit(short_numbers["pan"].GetDouble()));
  EXPECT_TRUE(std::signbit(short_numbers["tilt"].GetDouble()));
  EXPECT_EQ(short_numbers["roll"].GetDouble(), 3e-14);
  EXPECT_EQ(short_numbers["vfov"].GetDouble(), 1.2);
  rapidjson::Document const pending =
      client_.call(R"({"command":"Get_roi","roi_index":3,"roi_set":0})");
  EXPECT_EQ(pending["pan"].GetDouble(), 0);
  EXPECT_EQ(pending["vfov"].GetDouble(), 0);

  rapidjson::Document const odd = set_and_get(
      R"("roi_index":0,"roi_set":0)", R"("pan":NaN,"tilt":Infinity,"roll":-0.0,"vfov":-Infinity)");
  EXPECT_TRUE(std::isnan(odd["pan"].GetDouble()));
  EXPECT_EQ(odd["tilt"].GetDouble(), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::signbit(odd["roll"].GetDouble()));
  EXPECT_EQ(odd["vfov"].GetDouble(), -std::numeric_limits<double>::infinity());
}

// How the service reads requests: plain ones take a fast path of their own, anything else goes
// to the full JSON reader, and both must give one answer. These requests put what ends the fast
// path (an escape, a control byte) at every place of the eight-byte words it reads.

using TargetReading = TargetCommands;

// The first of repeated members counts, and a request with more members than the fast path
// keeps is read whole all the same.
TEST_F(TargetReading, EscapesControlBytesRepeatedAndManyMembersAreReadAsJsonReadsThem) {
  std::string const name = "roi_index";
  for (std::size_t at = 0; at < 8; ++at) {
    // "roi_index" with its letter at `at` escaped: the member is there all the same.
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(name[at]));
    std::string const spelled = name.substr(0, at) + escaped + name.substr(at + 1);
    EXPECT_EQ(client_.status_of(R"({"command":"Get_roi",")" + spelled + R"(":3,"roi_set":1})"), 0)
        << spelled;
    // A raw control byte in a string is not JSON.
    EXPECT_EQ(client_.status_of(R"({"command":"Get_roi","roi_index":0,"roi_set":0,"note":")" +
                                std::string(at, 'p') + "\tabcdefgh\"}"),
              1)
        << at;
  }
  set_and_get(R"("roi_index":0,"roi_set":1)", R"("pan":1,"tilt":2,"roll":3,"vfov":4)");
  set_and_get(R"("roi_index":3,"roi_set":1)", R"("pan":5,"tilt":6,"roll":7,"vfov":8)");
  rapidjson::Document const first =
      client_.call(R"({"command":"Get_roi","roi_index":0,"roi_set":1,"roi_index":3})");
  EXPECT_EQ(first["pan"].GetDouble(), 1);
  std::string many = R"({"command":"Get_roi")";
  for (int i = 0; i < 12; ++i) many += ",\"n" + std::to_string(i) + "\":" + std::to_string(i);
  rapidjson::Document const last = client_.call(many + R"(,"roi_set":1,"roi_index":3})");
  ASSERT_EQ(last["status"].GetDouble(), 0);
  EXPECT_EQ(last["vfov"].GetDouble(), 8);
}

class TargetGeometry : public TargetCommands {
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
  double const side_tilt = 24.094842552110702;    // atan(0.5 / hypot(0.5, 1))
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
      {13, 0.75, 0.25, 67.5, 33.75},  // GridXY21: column 2, row 1
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

  set_layout(2, {});  // no placements is a layout too, of its stream only
  EXPECT_EQ(client_.status_of(point(2, 50000, 50000)), 1);
  expect_direction(1, 25000, 50000, 0, 0);
  EXPECT_EQ(client_.status_of(point(3, 100001, 0)), 1);
  EXPECT_EQ(client_.status_of(point(3, 0, -1)), 1);
  EXPECT_EQ(client_.status_of(point(4, 0, 0)), 1);
  EXPECT_EQ(client_.status_of(R"({"command":"Stream_point_to_pan_tilt","stream_index":3,"x":1})"),
            1);
}

}  // namespace
}  // namespace target_test
