// A handle on a borrowed channel over the scripted platform, and helpers to drive it.
#ifndef NELKO_TESTS_INITIATOR_FIXTURE_H
#define NELKO_TESTS_INITIATOR_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.h"
#include "i_stream_layout_initiator.h"
#include "nelko_api_stream_layout.h"

// A list in the platform's form, freed by its owner with nelko_core_free_uint_array.
unsigned int** make_list(std::vector<unsigned int> const& values);
std::vector<unsigned int> list_values(unsigned int** list);

class InitiatorTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  IStream_layoutInitiator* object() { return static_cast<IStream_layoutInitiator*>(handle); }
  // The request the n-th send carried, as JSON text.
  std::string sent_text(std::size_t n = 0);
  // The request identifier of the latest send.
  std::string last_uuid();
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
