#include "initiator_fixture.h"

#include "json/text.h"
#include "nelko_core_arrays.h"

unsigned int** make_list(std::vector<unsigned int> const& values) {
  unsigned int** list = nelko_core_alloc_uint_array(static_cast<unsigned int>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i) *list[i] = values[i];
  return list;
}

std::vector<unsigned int> list_values(unsigned int** list) {
  std::vector<unsigned int> values;
  for (unsigned int** cell = list; *cell != nullptr; ++cell) values.push_back(**cell);
  return values;
}

void InitiatorTest::SetUp() {
  platform.reset();
  ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
            nelko_api_stream_layout_initiator_init(channel, log_handle, &handle, 0, nullptr));
}

void InitiatorTest::TearDown() {
  EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_initiator_deinit(handle));
}

std::string InitiatorTest::sent_text(std::size_t n) {
  std::lock_guard<std::mutex> lock(platform.mutex);
  if (n >= platform.sent.size()) return "(nothing sent)";
  return json::Write(platform.sent[n].command);
}

std::string InitiatorTest::last_uuid() {
  std::lock_guard<std::mutex> lock(platform.mutex);
  return platform.sent.empty() ? "(nothing sent)" : platform.sent.back().uuid;
}
