// The seven commands of the stream_layout interface, each described once: its command name, its
// request members (after "command", in order, with their C types), its result members (read from
// a successful response, in order, with their C types) and the client function that completes it
// asynchronously. Everything else is generated from these descriptions and the list `Commands`:
// the builders, synchronous reads and completions, the callback registries and the dispatch table
// (IStream_layoutInitiator), and the call forms (src/api/call_forms.h). `Params` are the request
// members, `Inputs` what a client passes (the same but for the version query, whose request
// carries the object's own version).
//
// FIXED NAMES: each description also carries the names that the platform gives this command's
// builder, reader and completion members. Log lines print them, so they stay exactly as they are;
// they serve as nothing but text.
#ifndef NELKO_INITIATOR_STREAM_LAYOUT_COMMANDS_H
#define NELKO_INITIATOR_STREAM_LAYOUT_COMMANDS_H

#include <array>
#include <tuple>
#include <type_traits>

#include "nelko_api_stream_layout.h"
#include "wire_values.h"

namespace nelko {
namespace stream_layout {

constexpr char const* kInterfaceName = "stream_layout";
constexpr int kDefaultTimeoutMs = 5000;

// The member names of the nine lists of a stream layout record, in the record's fixed order.
constexpr std::array<char const*, 9> kLayoutKeys = {{
    "source_upper_left_x_millipercent",
    "source_upper_left_y_millipercent",
    "source_width_millipercent",
    "source_height_millipercent",
    "destination_type",
    "destination_upper_left_x_millipercent",
    "destination_upper_left_y_millipercent",
    "destination_width_millipercent",
    "destination_height_millipercent",
}};

using LayoutLists = std::tuple<List, List, List, List, List, List, List, List, List>;

// The out-parameters of the synchronous forms: one pointer per result.
template <typename Tuple>
struct OutsOf;
template <typename... T>
struct OutsOf<std::tuple<T...>> {
  using type = std::tuple<T*...>;
};

struct GetStreamLayout {
  static constexpr char const* kName = "Get_stream_layout";
  static constexpr char const* kBuilderName = "stream_layout_get_stream_layout_utility_send";
  static constexpr char const* kReaderName = "stream_layout_get_stream_layout_receive";
  static constexpr char const* kCompletionName = "stream_layoutGet_stream_layoutCallback";
  using Params = std::tuple<unsigned int>;
  using Inputs = Params;
  static constexpr std::array<char const*, 1> kParamNames{{"stream_index"}};
  using Results = LayoutLists;
  static constexpr std::array<char const*, 9> kResultNames = kLayoutKeys;
  using Callback = nelko_api_stream_layout_get_stream_layout_method_callback_func_ptr;
};

struct SetStreamLayout {
  static constexpr char const* kName = "Set_stream_layout";
  static constexpr char const* kBuilderName = "stream_layout_set_stream_layout_utility_send";
  static constexpr char const* kReaderName = "stream_layout_set_stream_layout_receive";
  static constexpr char const* kCompletionName = "stream_layoutSet_stream_layoutCallback";
  using Params = std::tuple<unsigned int, List, List, List, List, List, List, List, List, List>;
  using Inputs = Params;
  static constexpr std::array<char const*, 10> kParamNames{
      {"stream_index", kLayoutKeys[0], kLayoutKeys[1], kLayoutKeys[2], kLayoutKeys[3],
       kLayoutKeys[4], kLayoutKeys[5], kLayoutKeys[6], kLayoutKeys[7], kLayoutKeys[8]}};
  using Results = std::tuple<>;
  static constexpr std::array<char const*, 0> kResultNames{};
  using Callback = nelko_api_stream_layout_set_stream_layout_method_callback_func_ptr;
};

struct StreamPointToPanTilt {
  static constexpr char const* kName = "Stream_point_to_pan_tilt";
  static constexpr char const* kBuilderName = "stream_layout_stream_point_to_pan_tilt_utility_send";
  static constexpr char const* kReaderName = "stream_layout_stream_point_to_pan_tilt_receive";
  static constexpr char const* kCompletionName = "stream_layoutStream_point_to_pan_tiltCallback";
  using Params = std::tuple<unsigned int, double, double>;
  using Inputs = Params;
  static constexpr std::array<char const*, 3> kParamNames{{"stream_index", "x", "y"}};
  using Results = std::tuple<double, double>;
  static constexpr std::array<char const*, 2> kResultNames{{"pan", "tilt"}};
  using Callback = nelko_api_stream_layout_stream_point_to_pan_tilt_method_callback_func_ptr;
};

struct GetNumRoi {
  static constexpr char const* kName = "Get_num_roi";
  static constexpr char const* kBuilderName = "stream_layout_get_num_roi_utility_send";
  static constexpr char const* kReaderName = "stream_layout_get_num_roi_receive";
  static constexpr char const* kCompletionName = "stream_layoutGet_num_roiCallback";
  using Params = std::tuple<>;
  using Inputs = Params;
  static constexpr std::array<char const*, 0> kParamNames{};
  using Results = std::tuple<unsigned int>;
  static constexpr std::array<char const*, 1> kResultNames{{"num"}};
  using Callback = nelko_api_stream_layout_get_num_roi_method_callback_func_ptr;
};

struct GetRoi {
  static constexpr char const* kName = "Get_roi";
  static constexpr char const* kBuilderName = "stream_layout_get_roi_utility_send";
  static constexpr char const* kReaderName = "stream_layout_get_roi_receive";
  static constexpr char const* kCompletionName = "stream_layoutGet_roiCallback";
  using Params = std::tuple<unsigned int, unsigned int>;
  using Inputs = Params;
  static constexpr std::array<char const*, 2> kParamNames{{"roi_index", "roi_set"}};
  using Results = std::tuple<double, double, double, double>;
  static constexpr std::array<char const*, 4> kResultNames{{"pan", "tilt", "roll", "vfov"}};
  using Callback = nelko_api_stream_layout_get_roi_method_callback_func_ptr;
};

struct SetRoi {
  static constexpr char const* kName = "Set_roi";
  static constexpr char const* kBuilderName = "stream_layout_set_roi_utility_send";
  static constexpr char const* kReaderName = "stream_layout_set_roi_receive";
  static constexpr char const* kCompletionName = "stream_layoutSet_roiCallback";
  using Params = std::tuple<unsigned int, unsigned int, double, double, double, double>;
  using Inputs = Params;
  static constexpr std::array<char const*, 6> kParamNames{
      {"roi_index", "roi_set", "pan", "tilt", "roll", "vfov"}};
  using Results = std::tuple<>;
  static constexpr std::array<char const*, 0> kResultNames{};
  using Callback = nelko_api_stream_layout_set_roi_method_callback_func_ptr;
};

// Sends the initiator's own version; its results are compared with it (a mismatch is logged, not
// an error), and its request identifier is released as soon as a response with status 0 has been
// received, before it is read.
struct GetTargetVersion {
  static constexpr char const* kName = "__get_target_version__";
  static constexpr char const* kBuilderName = "stream_layout___get_target_version___utility_send";
  static constexpr char const* kReaderName = "stream_layout___get_target_version___receive";
  static constexpr char const* kCompletionName = "stream_layout__get_target_version__Callback";
  using Params = std::tuple<unsigned int, unsigned int>;  // filled from the object's version
  using Inputs = std::tuple<>;
  static constexpr std::array<char const*, 2> kParamNames{{"initiator_major", "initiator_minor"}};
  using Results = std::tuple<unsigned int, unsigned int>;
  static constexpr std::array<char const*, 2> kResultNames{{"target_major", "target_minor"}};
  using Callback = nelko_api_stream_layout___get_target_version___method_callback_func_ptr;
};

template <typename Command>
constexpr bool kIsVersionQuery = std::is_same<Command, GetTargetVersion>::value;

// Every command, in the order of the registries.
using Commands = std::tuple<GetStreamLayout, SetStreamLayout, StreamPointToPanTilt, GetNumRoi,
                            GetRoi, SetRoi, GetTargetVersion>;

}  // namespace stream_layout
}  // namespace nelko

#endif
