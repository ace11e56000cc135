// dnsbl_test_server - starts and stops dnsbl_test_server.py, a loopback name
// server that acts as several block-list zones (and serves MX, A and PTR
// records) from a JSON description the test writes. Started on the first
// free address of its own loopback pool, stopped by its PID.
#ifndef TORVANE_TESTS_UNIT_ENGINES_DNSBL_TEST_SERVER_H_
#define TORVANE_TESTS_UNIT_ENGINES_DNSBL_TEST_SERVER_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/test_server_process.h"

namespace bltest {

constexpr const char* kPython = "/usr/bin/python3";
// Loopback addresses the server may take (127.0.9.x), apart from the pool of
// the resolver tests, tried in turn so processes side by side each find one.
constexpr int kFirstHost = 1;
constexpr int kLastHost = 250;
constexpr uint16_t kPort = 53;

inline std::string ServerScript() {
  return std::string(TORVANE_SOURCE_DIR "/tests/unit/engines/dnsbl_test_server.py");
}

// True when python3 can import dnslib.
inline bool DnslibAvailable() {
  static const bool available = testproc::PythonModuleAvailable("dnslib");
  return available;
}

// One dnsbl_test_server.py process with its state directory.
class BlTestServer {
 public:
  explicit BlTestServer(std::string state) : state_(std::move(state)) {}
  ~BlTestServer() { Stop(); }
  BlTestServer(const BlTestServer&) = delete;
  BlTestServer& operator=(const BlTestServer&) = delete;

  // Starts on the first free address of the pool; false when none worked.
  bool Start() {
    std::filesystem::create_directories(state_);
    return !testproc::StartOnFreeAddress("127.0.9.", kFirstHost, kLastHost, kPort,
                                         [this](const std::string& address) { return Launch(address); })
                .empty();
  }

  void Stop() { process_.Stop(); }

  // Replaces the served records and zone behaviours (dnsbl_test_server.py
  // describes the JSON).
  void Setup(const std::string& json) {
    const std::string tmp = state_ + "/zones.json.tmp";
    std::ofstream(tmp) << json;
    std::filesystem::rename(tmp, state_ + "/zones.json");
  }

  // Queries received for `name` (lower case) and `type`.
  int Count(const std::string& name, int type) const {
    const std::string key = name + " " + std::to_string(type) + " ";
    for (const std::string& line : CountLines()) {
      if (line.rfind(key, 0) == 0) return std::stoi(line.substr(key.size()));
    }
    return 0;
  }
  // Queries received in all.
  int Total() const {
    int total = 0;
    for (const std::string& line : CountLines()) total += std::stoi(line.substr(line.rfind(' ') + 1));
    return total;
  }

  const std::string& address() const { return address_; }

 private:
  std::vector<std::string> CountLines() const {
    std::vector<std::string> lines;
    std::ifstream in(state_ + "/counts");
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty()) lines.push_back(line);
    }
    return lines;
  }

  // Starts the server on `address` and waits until it is bound; false when
  // it exits first (the address was taken meanwhile) or does not start.
  bool Launch(const std::string& address) {
    if (!process_.Start({kPython, ServerScript(), "--address", address, "--state", state_}, state_ + "/ready")) {
      return false;
    }
    address_ = address;
    return true;
  }

  std::string state_;
  std::string address_;
  testproc::TestServerProcess process_;
};

}  // namespace bltest

#endif  // TORVANE_TESTS_UNIT_ENGINES_DNSBL_TEST_SERVER_H_
