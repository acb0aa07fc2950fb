#include "target_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "nelko_core.h"

namespace target_test {
namespace {

using Clock = std::chrono::steady_clock;

int wait_for_exit(pid_t pid, int timeout_ms) {
  auto const deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) return -2;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The words that start the target: in a cross build the emulator comes first, as for ctest.
std::vector<std::string> target_command() {
  std::vector<std::string> words;
#ifdef STREAM_LAYOUT_TARGET_EMULATOR
  std::string const emulator = STREAM_LAYOUT_TARGET_EMULATOR;
  for (std::size_t start = 0, end; start <= emulator.size(); start = end + 1) {
    end = std::min(emulator.find('|', start), emulator.size());
    words.push_back(emulator.substr(start, end - start));
  }
#endif
  words.push_back(STREAM_LAYOUT_TARGET_PATH);
  return words;
}

void check(nelko_core_status status, char const* what) {
  if (status != NELKO_CORE_STATUS_NO_ERROR) {
    throw std::runtime_error(std::string(what) + ": status " + std::to_string(status));
  }
}

}  // namespace

std::string unique_target_name() {
  static unsigned int counter = 0;
  return "stream_layout_test_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
}

TargetProcess::TargetProcess(std::vector<std::string> const& arguments) {
  std::vector<std::string> words = target_command();
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  pid_t const parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // A target must not outlive a test that crashed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(ends[1], STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(ends[1]);
  stdout_ = ends[0];
  std::string seen;
  auto const deadline = Clock::now() + std::chrono::seconds(5);
  while (seen.find("ready\n") == std::string::npos) {
    pollfd readable{stdout_, POLLIN, 0};
    char buffer[256];
    ssize_t got = 0;
    if (pid_ < 0 || Clock::now() > deadline || poll(&readable, 1, 100) < 0 ||
        (readable.revents && (got = read(stdout_, buffer, sizeof buffer)) <= 0)) {
      stop_with(SIGKILL, 5000);
      close(stdout_);
      throw std::runtime_error("the target did not become ready; it printed: " + seen);
    }
    seen.append(buffer, static_cast<std::size_t>(got));
  }
}

TargetProcess::~TargetProcess() {
  stop_with(SIGKILL, 5000);
  close(stdout_);
  stdout_ = -1;
}

int TargetProcess::stop_with(int signal, int timeout_ms) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  int status = wait_for_exit(pid_, timeout_ms);
  if (status == -2) {
    kill(pid_, SIGKILL);
    wait_for_exit(pid_, 5000);
    status = -1;
  }
  pid_ = -1;
  return status;
}

std::pair<int, std::string> run_to_end(std::string const& arguments) {
  std::string command;
  for (std::string const& word : target_command()) command += "'" + word + "' ";
  command += arguments + " 2>&1";
  FILE* output = popen(command.c_str(), "r");
  if (!output) throw std::runtime_error("popen failed");
  std::string text;
  char buffer[4096];
  while (std::size_t got = std::fread(buffer, 1, sizeof buffer, output)) text.append(buffer, got);
  int const status = pclose(output);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

TargetClient::TargetClient(std::string target) : target_(std::move(target)) {
  check(nelko_core_logging_init("target_test", &log_), "nelko_core_logging_init");
  check(nelko_core_ipc_initiator_init(log_, "target_test", &ipc_), "nelko_core_ipc_initiator_init");
}

TargetClient::~TargetClient() {
  nelko_core_ipc_deinit(ipc_);
  nelko_core_logging_deinit(log_);
}

std::string TargetClient::send(std::string const& payload) {
  std::string const uuid = "00000000-0000-4000-8000-" + std::to_string(100000000000 + ++sent_);
  check(nelko_core_ipc_initiator_command_send(ipc_, target_.c_str(), "stream_layout", uuid.c_str(),
                                              payload.c_str()),
        "nelko_core_ipc_initiator_command_send");
  return uuid;
}

std::pair<std::string, rapidjson::Document> TargetClient::receive() {
  char *first = nullptr, *interface_name = nullptr, *uuid = nullptr, *payload = nullptr;
  nelko_core_status const status = nelko_core_ipc_initiator_response_receive(
      ipc_, 3000, &first, &interface_name, &uuid, &payload);
  std::string const id = uuid ? uuid : "", text = payload ? payload : "";
  for (char* owned : {first, interface_name, uuid, payload}) std::free(owned);
  check(status, "nelko_core_ipc_initiator_response_receive");
  rapidjson::Document response;
  response.Parse<rapidjson::kParseFullPrecisionFlag | rapidjson::kParseNanAndInfFlag>(text.c_str());
  if (response.HasParseError() || !response.IsObject() || !response.HasMember("status") ||
      !response["status"].IsNumber()) {
    throw std::runtime_error("not a response: " + text);
  }
  return {id, std::move(response)};
}

rapidjson::Document TargetClient::call(std::string const& payload) {
  std::string const uuid = send(payload);
  auto [answered, response] = receive();
  if (answered != uuid) throw std::runtime_error("waited for " + uuid + ", got " + answered);
  return std::move(response);
}

int TargetClient::status_of(std::string const& payload) {
  return static_cast<int>(call(payload)["status"].GetDouble());
}

std::array<char const*, 9> const kLayoutKeys = {"source_upper_left_x_millipercent",
                                                "source_upper_left_y_millipercent",
                                                "source_width_millipercent",
                                                "source_height_millipercent",
                                                "destination_type",
                                                "destination_upper_left_x_millipercent",
                                                "destination_upper_left_y_millipercent",
                                                "destination_width_millipercent",
                                                "destination_height_millipercent"};

std::string set_layout_request(unsigned int stream, std::vector<Placement> const& layout) {
  std::string text = R"({"command":"Set_stream_layout","stream_index":)" + std::to_string(stream);
  for (std::size_t key = 0; key < kLayoutKeys.size(); ++key) {
    text += std::string(",\"") + kLayoutKeys[key] + "\":[";
    for (std::size_t i = 0; i < layout.size(); ++i) {
      text += (i ? "," : "") + std::to_string(layout[i][key]);
    }
    text += "]";
  }
  return text + "}";
}

}  // namespace target_test
