#include "layout_request.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace target_test {

std::array<char const*, 9> const kLayoutKeys = {"source_upper_left_x_millipercent",
                                                "source_upper_left_y_millipercent",
                                                "source_width_millipercent",
                                                "source_height_millipercent",
                                                "destination_type",
                                                "destination_upper_left_x_millipercent",
                                                "destination_upper_left_y_millipercent",
                                                "destination_width_millipercent",
                                                "destination_height_millipercent"};

rapidjson::Document set_layout_request(unsigned int stream, std::vector<Placement> const& layout) {
  rapidjson::Document request(rapidjson::kObjectType);
  auto& allocator = request.GetAllocator();
  request.AddMember("command", "Set_stream_layout", allocator);
  request.AddMember("stream_index", stream, allocator);
  for (std::size_t key = 0; key < kLayoutKeys.size(); ++key) {
    rapidjson::Value list(rapidjson::kArrayType);
    for (auto const& placement : layout) list.PushBack(placement[key], allocator);
    request.AddMember(rapidjson::StringRef(kLayoutKeys[key]), list, allocator);
  }
  return request;
}

std::string to_text(rapidjson::Value const& value) {
  rapidjson::StringBuffer text;
  rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                    rapidjson::CrtAllocator, rapidjson::kWriteNanAndInfFlag>
      writer(text);
  value.Accept(writer);
  return text.GetString();
}

}  // namespace target_test
