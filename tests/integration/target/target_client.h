// The initiator side of the IPC channel, speaking raw JSON texts to one target.
#ifndef TARGET_TEST_TARGET_CLIENT_H
#define TARGET_TEST_TARGET_CLIENT_H

#include <rapidjson/document.h>

#include <string>

namespace target_test {

class TargetClient {
 public:
  explicit TargetClient(std::string target);
  ~TargetClient();
  TargetClient(TargetClient const&) = delete;
  TargetClient& operator=(TargetClient const&) = delete;

  // Sends a request under a fresh request identifier and returns that identifier.
  std::string send(std::string const& payload);
  // The next response's identifier and payload text; throws when none comes in time.
  struct Response {
    std::string uuid;
    std::string payload;
  };
  Response receive(int timeout_ms = 3000);

  // One round trip, with the response parsed (NaN and infinities allowed).
  rapidjson::Document call(std::string const& payload);
  // Just the "status" of the response to `payload`.
  int status_of(std::string const& payload);

 private:
  std::string target_;
  void* log_ = nullptr;
  void* ipc_ = nullptr;
  unsigned int sent_ = 0;
};

rapidjson::Document parse(std::string const& text);

}  // namespace target_test

#endif
