// dns_test_server - starts and stops the loopback test name server
// (dns_test_server.py, which describes its zones and modes) by PID.
#ifndef TORVANE_TESTS_UNIT_ENGINES_DNS_TEST_SERVER_H_
#define TORVANE_TESTS_UNIT_ENGINES_DNS_TEST_SERVER_H_

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/test_server_process.h"

namespace bltest {

constexpr const char* kPython = "/usr/bin/python3";
constexpr uint16_t kPort = 53;

// True when python3 can import dnslib.
inline bool DnslibAvailable() {
  static const bool available = testproc::PythonModuleAvailable("dnslib");
  return available;
}

// The loopback addresses a server may take, tried in turn.
struct AddressPool {
  const char* prefix;
  int first;
  int last;
};

// One test name server process with its state directory.
class TestNameServer {
 public:
  TestNameServer(std::string state, AddressPool pool,
                 testproc::ServerStderr stderr_mode = testproc::ServerStderr::kShown)
      : state_(std::move(state)), pool_(pool), stderr_mode_(stderr_mode) {}
  TestNameServer(const TestNameServer&) = delete;
  TestNameServer& operator=(const TestNameServer&) = delete;

  // Starts on the first free address of the pool; false when none worked.
  bool Start() {
    std::filesystem::create_directories(state_);
    return !testproc::StartOnFreeAddress(pool_.prefix, pool_.first, pool_.last, kPort,
                                         [this](const std::string& address) { return Launch(address); })
                .empty();
  }

  // Replaces the served records and zone behaviours.
  void Setup(const std::string& json) { Replace("zones.json", json); }
  // How the server treats the next queries, whatever their zone.
  void SetMode(const std::string& mode) { Replace("mode", mode + "\n"); }

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
  void Replace(const std::string& file, const std::string& text) {
    const std::string tmp = state_ + "/" + file + ".tmp";
    std::ofstream(tmp) << text;
    std::filesystem::rename(tmp, state_ + "/" + file);
  }

  std::vector<std::string> CountLines() const {
    std::vector<std::string> lines;
    std::ifstream in(state_ + "/counts");
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty()) lines.push_back(line);
    }
    return lines;
  }

  // Starts the server on `address` and waits until it is bound; false when it exits first.
  bool Launch(const std::string& address) {
    const bool started =
        process_.Start({kPython, kScript, "--address", address, "--state", state_}, state_ + "/ready", stderr_mode_);
    if (started) address_ = address;
    return started;
  }

  static constexpr const char* kScript = TORVANE_SOURCE_DIR "/tests/unit/engines/dns_test_server.py";
  std::string state_;
  AddressPool pool_;
  testproc::ServerStderr stderr_mode_;
  std::string address_;
  testproc::TestServerProcess process_;  // declared last: stopped first
};

// The block-list tests' addresses, apart from the resolver tests' pools.
constexpr AddressPool kBlockListPool = {"127.0.9.", 1, 250};

}  // namespace bltest

#endif  // TORVANE_TESTS_UNIT_ENGINES_DNS_TEST_SERVER_H_
