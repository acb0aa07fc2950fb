// Builds the JSON requests that carry a stream layout.
#ifndef TARGET_TEST_LAYOUT_REQUEST_H
#define TARGET_TEST_LAYOUT_REQUEST_H

#include <rapidjson/document.h>

#include <array>
#include <string>
#include <vector>

namespace target_test {

// The nine layout members, in the order the requests and responses carry them.
extern std::array<char const*, 9> const kLayoutKeys;

// One placement: the nine values of a layout entry, in the order of kLayoutKeys.
using Placement = std::array<unsigned int, 9>;

rapidjson::Document set_layout_request(unsigned int stream, std::vector<Placement> const& layout);
std::string to_text(rapidjson::Value const& value);

}  // namespace target_test

#endif
