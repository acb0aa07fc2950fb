// A handle on a borrowed channel over the scripted platform, and helpers to drive it.
#ifndef NELKO_TESTS_INITIATOR_FIXTURE_H
#define NELKO_TESTS_INITIATOR_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "i_stream_layout_initiator.h"
#include "json/text.h"
#include "nelko_api_stream_layout.h"
#include "nelko_core_arrays.h"

// The statuses most cases expect, by short names.
constexpr auto kOk = NELKO_CORE_STATUS_NO_ERROR;
constexpr auto kFailed = NELKO_CORE_STATUS_IPC_FAILED;
constexpr auto kInvalid = NELKO_CORE_STATUS_INVALID_PARAMS;

// A list in the platform's form, freed by its owner with nelko_core_free_uint_array.
inline unsigned int** make_list(std::vector<unsigned int> const& values) {
  unsigned int** list = nelko_core_alloc_uint_array(static_cast<unsigned int>(values.size()));
  for (std::size_t i = 0; i < values.size(); ++i) *list[i] = values[i];
  return list;
}

inline std::vector<unsigned int> list_values(unsigned int** list) {
  std::vector<unsigned int> values;
  for (unsigned int** cell = list; *cell != nullptr; ++cell) values.push_back(**cell);
  return values;
}

class InitiatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform.reset();
    ASSERT_EQ(NELKO_CORE_STATUS_NO_ERROR,
              nelko_api_stream_layout_initiator_init(channel, log_handle, &handle, 0, nullptr));
  }
  void TearDown() override {
    EXPECT_EQ(NELKO_CORE_STATUS_NO_ERROR, nelko_api_stream_layout_initiator_deinit(handle));
  }

  IStream_layoutInitiator* object() { return static_cast<IStream_layoutInitiator*>(handle); }
  // The request the n-th send carried, as JSON text.
  std::string sent_text(std::size_t n = 0) {
    std::lock_guard<std::mutex> lock(platform.mutex);
    if (n >= platform.sent.size()) return "(nothing sent)";
    return json::Write(platform.sent[n].command);
  }
  // The request identifier of the latest send.
  std::string last_uuid() {
    std::lock_guard<std::mutex> lock(platform.mutex);
    return platform.sent.empty() ? "(nothing sent)" : platform.sent.back().uuid;
  }
  // Delivers a response to the handle through its response function, on the calling thread.
  bool deliver(char const* command, std::string const& uuid, std::string const& json_text) {
    return platform.deliver(handle, command, uuid, json_text);
  }

  fake::Platform& platform = fake::Platform::get();
  void* const channel = reinterpret_cast<void*>(0xc4a2);
  void* const log_handle = reinterpret_cast<void*>(0x10c);
  void* handle = nullptr;
};

#endif
