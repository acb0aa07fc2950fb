// The simulated stream_layout service: the state of a camera (stream layouts and two ROI sets)
// and the answer to each request. Requests and responses are JSON texts as they travel over the
// IPC channel; transport and timing are someone else's business (see main.cpp).
#ifndef STREAM_LAYOUT_TARGET_STREAM_LAYOUT_SERVICE_H
#define STREAM_LAYOUT_TARGET_STREAM_LAYOUT_SERVICE_H

#include <rapidjson/document.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace nelko::target {

struct ServiceConfig {
  unsigned int streams = 4;
  unsigned int rois = 4;
  unsigned int version_major = 0;
  unsigned int version_minor = 9;
  bool strict = false;  // refuse ROI values a camera refuses (roi_limits.h)
};

class ResponseText;    // stream_layout_service.cpp
class RequestMembers;  // stream_layout_service.cpp

class StreamLayoutService {
 public:
  explicit StreamLayoutService(ServiceConfig const& config);

  // Answers one request into `response`, replacing its text but keeping its memory, so that a
  // caller that reuses one string does not allocate per request. Never throws: a request that
  // is not a JSON object, or whose members are missing or of the wrong type or out of range,
  // gets status 1; a request without a known "command" gets status 8. Results are present only
  // with status 0. One call at a time: the state is not locked, since the program answers on
  // one thread (the channel's I/O thread; see main.cpp for the hand-over when it reopens).
  void handle(std::string_view request, std::string& response);
  // The same, with the response written at the start of `buffer`, which is scratch memory: the
  // returned text (followed by a NUL byte) is not the whole buffer, whose size only ever grows.
  // A caller that reuses one buffer neither allocates nor clears memory per request.
  std::string_view respond(std::string_view request, std::string& buffer);
  std::string handle(std::string_view request);

 private:
  // One of the nine parallel lists of a layout, in the order of kLayoutKeys.
  using Layout = std::array<std::vector<unsigned int>, 9>;
  struct Roi {
    double pan = 0, tilt = 0, roll = 0, vfov = 0;
  };
  using Request = RequestMembers;
  using Response = ResponseText;

  // The answer to a request that reads as an object, which is then valid while `buffer` is.
  // Throws only when out of memory.
  std::string_view answer_to(Request const& request, std::string& buffer);

  int get_stream_layout(Request const& request, Response& response);
  int set_stream_layout(Request const& request, Response& response);
  int set_roi(Request const& request, Response& response);
  int get_roi(Request const& request, Response& response);
  int get_num_roi(Request const& request, Response& response);
  int stream_point_to_pan_tilt(Request const& request, Response& response);
  int get_target_version(Request const& request, Response& response);

  Roi* find_roi(Request const& request);

  ServiceConfig const config_;
  std::vector<Layout> layouts_;
  std::array<std::vector<Roi>, 2> roi_sets_;  // pending (0) and active (1)
};

}  // namespace nelko::target

#endif
