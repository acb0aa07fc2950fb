#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

TEST_F(TargetCommands, LayoutsStartAsFullFrameAndRoundTripPerStream) {
  EXPECT_EQ(layout_of(0), std::vector<Placement>{kFullFrame});
  EXPECT_EQ(layout_of(3), std::vector<Placement>{kFullFrame});

  std::vector<Placement> const two = {{1, 2, 3, 4, 80, 5, 6, 7, 8},
                                      {100000, 0, 0, 100000, 48, 99999, 1, 100000, 0}};
  EXPECT_EQ(client_.status_of(set_layout_request(2, two)), 0);
  EXPECT_EQ(layout_of(2), two);
  EXPECT_EQ(layout_of(1), std::vector<Placement>{kFullFrame});

  // No placements at all is a layout too: the stream shows nothing.
  EXPECT_EQ(client_.status_of(set_layout_request(2, {})), 0);
  EXPECT_EQ(layout_of(2), std::vector<Placement>{});
}

TEST_F(TargetCommands, BadLayoutsAndStreamIndicesAreRefused) {
  std::string const good = set_layout_request(1, {{0, 0, 1, 1, 7, 0, 0, 1, 1}});
  std::pair<char const*, char const*> const edits[] = {
      {R"("destination_type":[7],)", ""},
      {"[7]", "[7,8]"},
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
    std::string request = good;
    request.replace(request.find(from), std::string(from).size(), to);
    EXPECT_EQ(client_.status_of(request), 1) << request;
  }
  EXPECT_EQ(layout_of(1), std::vector<Placement>{kFullFrame});
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

TEST_F(TargetCommands, RoiAddressesOutsideTheSetsAndMissingAnglesAreRefused) {
  for (std::string const address :
       {R"("roi_index":4,"roi_set":0)", R"("roi_index":0.5,"roi_set":0)",
        R"("roi_index":0,"roi_set":2)", R"("roi_set":-1)"}) {
    EXPECT_EQ(client_.status_of(R"({"command":"Get_roi",)" + address + "}"), 1) << address;
    EXPECT_EQ(client_.status_of(R"({"command":"Set_roi",)" + address +
                                R"(,"pan":1,"tilt":1,"roll":1,"vfov":1})"),
              1)
        << address;
  }
  EXPECT_EQ(client_.status_of(R"({"command":"Set_roi","roi_index":0,"roi_set":0,)"
                              R"("pan":1,"tilt":1,"roll":1})"),
            1);
}

TEST_F(TargetCommands, MalformedRequestsGetAStatusAndServingGoesOn) {
  for (char const* request :
       {R"({"command":"Get_Roi"})", R"({})", R"({"command":3})", R"({"stream_index":0})"}) {
    EXPECT_EQ(client_.status_of(request), 8) << request;
  }
  std::string const deep = std::string(100000, '[') + std::string(100000, ']');
  for (std::string const request : {"not json", "[1,2]", R"({"command":)", "", deep.c_str(),
                                    R"({"command":"Get_stream_layout","stream_index":1e400})",
                                    R"({"command":"Get_stream_layout","stream_index":NaN})"}) {
    EXPECT_EQ(client_.status_of(request), 1) << request.substr(0, 80);
  }
  EXPECT_EQ(client_.call(R"({"command":"Get_num_roi"})")["num"].GetDouble(), 4);
}

}  // namespace
}  // namespace target_test
